// LossyMap (web/lossymap.js) against a plain model that keeps one value per pixel and answers
// every question by looking at each pixel: random drawings, copies and resizes, then every
// question the page asks, compared. The map's tile counts are what keep the page's timer from
// scanning the screen; a count that drifts gives wrong answers here.
//   node --test lossymap.test.mjs
import { test } from 'node:test';
import assert from 'node:assert/strict';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const sourceDir = process.env.VELMORA_SOURCE_DIR || path.resolve(here, '../..');
const { LossyMap, TILE } = await import(pathToFileURL(path.join(sourceDir, 'web/lossymap.js')));

class Model {
  constructor(width, height) {
    this.width = width;
    this.height = height;
    this.mask = new Uint8Array(width * height);
    this.changedAt = new Map();
  }

  at(x, y) {
    return x >= 0 && y >= 0 && x < this.width && y < this.height ? this.mask[y * this.width + x] : null;
  }

  set(x, y, w, h, value) {
    for (let row = y; row < y + h; ++row)
      for (let col = x; col < x + w; ++col)
        if (this.at(col, row) !== null)
          this.mask[row * this.width + col] = value;
  }

  lossy(x, y, w, h, now, change) {
    this.set(x, y, w, h, 1);
    if (!change)
      return;
    for (let row = y; row < y + h; ++row)
      for (let col = x; col < x + w; ++col)
        if (this.at(col, row) !== null)
          this.changedAt.set(`${Math.floor(col / TILE)},${Math.floor(row / TILE)}`, now);
  }

  copy(fromX, fromY, x, y, w, h) {
    const inside = (px, py) => px >= 0 && py >= 0 && px + w <= this.width && py + h <= this.height;
    if (!inside(fromX, fromY) || !inside(x, y)) {
      // The map's rule for copies that reach outside: the destination counts as lossy.
      this.set(x, y, w, h, 1);
      return;
    }
    const source = [];
    for (let row = 0; row < h; ++row)
      source.push(this.mask.slice((fromY + row) * this.width + fromX, (fromY + row) * this.width + fromX + w));
    for (let row = 0; row < h; ++row)
      this.mask.set(source[row], (y + row) * this.width + x);
  }

  has(x, y, w, h, value) {
    for (let row = y; row < y + h; ++row)
      for (let col = x; col < x + w; ++col)
        if (this.at(col, row) === value)
          return true;
    return false;
  }

  exactOutside(x, y, w, h, rects) {
    for (let row = y; row < y + h; ++row)
      for (let col = x; col < x + w; ++col)
        if (this.at(col, row) === 0 &&
            !rects.some((q) => col >= q.x && col < q.x + q.w && row >= q.y && row < q.y + q.h))
          return true;
    return false;
  }

  quietTiles(before) {
    const tiles = [];
    for (let ty = 0; ty * TILE < this.height; ++ty)
      for (let tx = 0; tx * TILE < this.width; ++tx)
        if ((this.changedAt.get(`${tx},${ty}`) ?? 0) <= before && this.has(tx * TILE, ty * TILE, TILE, TILE, 1))
          tiles.push(`${tx},${ty}`);
    return tiles;
  }
}

// A deterministic generator, so that a failure repeats.
function random(seed) {
  let state = seed >>> 0;
  return (n) => {
    state = (Math.imul(state, 1664525) + 1013904223) >>> 0;
    return state % n;
  };
}

function tilesOf(rects) {
  const tiles = [];
  for (const r of rects) {
    assert.equal(r.x % TILE, 0);
    assert.equal(r.y % TILE, 0);
    for (let tx = r.x / TILE; tx * TILE < r.x + r.w; ++tx)
      tiles.push(`${tx},${r.y / TILE}`);
  }
  return tiles;
}

test('every answer equals the per-pixel model after random drawings and copies', () => {
  // Sizes that are and are not multiples of a tile.
  for (const [width, height, seed] of [[200, 130, 1], [256, 192, 2], [70, 300, 3], [1, 1, 4]]) {
    const next = random(seed);
    const map = new LossyMap();
    map.resize(width, height);
    const model = new Model(width, height);
    const rect = () => {
      // Mostly inside, sometimes across an edge.
      const x = next(width + 40) - 20, y = next(height + 40) - 20;
      return [x, y, 1 + next(Math.max(1, width / 2)), 1 + next(Math.max(1, height / 2))];
    };
    for (let step = 0; step < 400; ++step) {
      const now = step + 1;
      const choice = next(10);
      const [x, y, w, h] = rect();
      if (choice < 4) {
        const change = next(2) === 0;
        map.lossy(x, y, w, h, now, change);
        model.lossy(x, y, w, h, now, change);
      } else if (choice < 7) {
        map.exact(x, y, w, h);
        model.set(x, y, w, h, 0);
      } else {
        const [fromX, fromY] = rect();
        map.copy(fromX, fromY, x, y, w, h);
        model.copy(fromX, fromY, x, y, w, h);
      }
      const context = `size ${width}x${height}, seed ${seed}, step ${step}`;
      assert.equal(map.any(), model.has(0, 0, width, height, 1), context);
      const [qx, qy, qw, qh] = rect();
      for (const value of [0, 1])
        assert.equal(map.has(qx, qy, qw, qh, value), model.has(qx, qy, qw, qh, value),
                     `${context}: has(${qx}, ${qy}, ${qw}, ${qh}, ${value})`);
      const asked = [];
      for (let i = next(3); i > 0; --i) {
        const [ax, ay, aw, ah] = rect();
        asked.push({ x: ax, y: ay, w: aw, h: ah });
      }
      assert.equal(map.exactOutside(qx, qy, qw, qh, asked), model.exactOutside(qx, qy, qw, qh, asked),
                   `${context}: exactOutside`);
      const before = next(now + 1);
      assert.deepEqual(tilesOf(map.quietRects(before)).sort(), model.quietTiles(before).sort(),
                       `${context}: quietRects(${before})`);
    }
  }
});

test('a resize forgets everything', () => {
  const map = new LossyMap();
  map.resize(100, 100);
  map.lossy(0, 0, 100, 100, 1, true);
  map.resize(120, 80);
  assert.equal(map.any(), false);
  assert.deepEqual(map.quietRects(10), []);
  assert.equal(map.has(0, 0, 120, 80, 0), true);
});

// The questions that come at every tick cost the tiles, not the pixels: on a 4K screen with one
// lossy pixel, a thousand rounds of them take well under a second (a scan of every pixel per
// question would take minutes).
test('the questions asked at every tick do not scan the screen', () => {
  const map = new LossyMap();
  map.resize(3840, 2160);
  map.lossy(3839, 2159, 1, 1, 1, true);
  const started = performance.now();
  for (let i = 0; i < 1000; ++i) {
    assert.equal(map.any(), true);
    assert.equal(map.quietRects(5).length, 1);
    assert.equal(map.anyIn([{ x: 0, y: 0, w: 3840, h: 2048 }]), false);
  }
  const elapsed = performance.now() - started;
  console.log(`1000 rounds of any, quietRects and anyIn on 3840x2160: ${elapsed.toFixed(0)} ms`);
  assert.ok(elapsed < 5000, `${elapsed.toFixed(0)} ms`);
});
