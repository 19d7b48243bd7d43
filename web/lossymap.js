// Which pixels of the supporter's canvas came from JPEG, by tile of 64 pixels: the picture's
// bookkeeping for making the picture exact again (see picture.js). No dependencies, so that it
// can be tested on its own.

export const TILE = 64;

// Which pixels of the canvas came from JPEG, and when each tile last received a new JPEG picture.
// The mask has a byte per pixel; each tile counts its JPEG pixels, so that what is asked of the
// map between two drawings (is anything lossy, which tiles are) costs the tiles, not the pixels:
// those questions come at every frame and every tick of the page's timer.
export class LossyMap {
  constructor() {
    this.resize(0, 0);
  }

  resize(width, height) {
    this.width = width;
    this.height = height;
    this.mask = new Uint8Array(width * height);
    this.columns = Math.ceil(width / TILE);
    this.rows = Math.ceil(height / TILE);
    this.changedAt = new Float64Array(this.columns * this.rows);
    this.lossyPixels = new Uint32Array(this.columns * this.rows);
    this.lossyTotal = 0;
  }

  // Clipped to the framebuffer; null when nothing is left.
  clip(x, y, w, h) {
    const x0 = Math.max(0, x), y0 = Math.max(0, y);
    const x1 = Math.min(this.width, x + w), y1 = Math.min(this.height, y + h);
    return x1 > x0 && y1 > y0 ? { x0, y0, x1, y1 } : null;
  }

  // Calls `visit(tile, x0, y0, x1, y1)` for each tile's part of the clipped area.
  eachTile(r, visit) {
    for (let ty = Math.floor(r.y0 / TILE); ty * TILE < r.y1; ++ty) {
      const y0 = Math.max(r.y0, ty * TILE), y1 = Math.min(r.y1, (ty + 1) * TILE);
      for (let tx = Math.floor(r.x0 / TILE); tx * TILE < r.x1; ++tx)
        visit(ty * this.columns + tx, Math.max(r.x0, tx * TILE), y0, Math.min(r.x1, (tx + 1) * TILE), y1);
    }
  }

  // JPEG pixels in a part of one tile.
  countLossy(x0, y0, x1, y1) {
    let count = 0;
    for (let row = y0; row < y1; ++row) {
      const start = row * this.width;
      for (let i = start + x0; i < start + x1; ++i)
        count += this.mask[i];
    }
    return count;
  }

  // Writes `value` (0 or 1) over a part of one tile, keeping its count.
  fillTilePart(tile, x0, y0, x1, y1, value) {
    const area = (x1 - x0) * (y1 - y0);
    const before = this.lossyPixels[tile];
    // A tile that is all one value needs no counting.
    const had = before === 0 ? 0 : before === this.tileArea(tile) ? area : this.countLossy(x0, y0, x1, y1);
    for (let row = y0; row < y1; ++row)
      this.mask.fill(value, row * this.width + x0, row * this.width + x1);
    const now = value ? area : 0;
    this.lossyPixels[tile] = before - had + now;
    this.lossyTotal += now - had;
  }

  tileArea(tile) {
    const tx = tile % this.columns, ty = Math.floor(tile / this.columns);
    return (Math.min(this.width, (tx + 1) * TILE) - tx * TILE) *
           (Math.min(this.height, (ty + 1) * TILE) - ty * TILE);
  }

  set(x, y, w, h, value) {
    const r = this.clip(x, y, w, h);
    if (r)
      this.eachTile(r, (tile, x0, y0, x1, y1) => this.fillTilePart(tile, x0, y0, x1, y1, value));
  }

  lossy(x, y, w, h, now, change) {
    this.set(x, y, w, h, 1);
    const r = this.clip(x, y, w, h);
    if (r && change)
      this.eachTile(r, (tile) => { this.changedAt[tile] = now; });
  }

  exact(x, y, w, h) {
    this.set(x, y, w, h, 0);
  }

  copy(fromX, fromY, x, y, w, h) {
    const from = this.clip(fromX, fromY, w, h);
    const to = this.clip(x, y, w, h);
    if (!from || !to || from.x1 - from.x0 !== to.x1 - to.x0 || from.y1 - from.y0 !== to.y1 - to.y0) {
      // Partly outside: whatever arrives there cannot be vouched for.
      this.set(x, y, w, h, 1);
      return;
    }
    const width = to.x1 - to.x0, height = to.y1 - to.y0;
    const was = [];
    this.eachTile(to, (tile, x0, y0, x1, y1) => was.push([tile, this.countLossy(x0, y0, x1, y1)]));
    // Rows in the order that reads overlapping sources before they are overwritten.
    const downwards = to.y0 <= from.y0;
    for (let i = 0; i < height; ++i) {
      const row = downwards ? i : height - 1 - i;
      const source = (from.y0 + row) * this.width + from.x0;
      this.mask.copyWithin((to.y0 + row) * this.width + to.x0, source, source + width);
    }
    let at = 0;
    this.eachTile(to, (tile, x0, y0, x1, y1) => {
      const now = this.countLossy(x0, y0, x1, y1);
      const had = was[at++][1];
      this.lossyPixels[tile] += now - had;
      this.lossyTotal += now - had;
    });
  }

  any() {
    return this.lossyTotal > 0;
  }

  // Whether the area holds a pixel whose mask has `value` (0 or 1).
  has(x, y, w, h, value) {
    const r = this.clip(x, y, w, h);
    if (!r)
      return false;
    let found = false;
    this.eachTile(r, (tile, x0, y0, x1, y1) => {
      const lossy = this.lossyPixels[tile];
      if (found || lossy === 0 || lossy === this.tileArea(tile)) {
        // A tile of one value answers without looking at its pixels.
        found = found || (lossy === 0) === (value === 0);
        return;
      }
      for (let row = y0; row < y1 && !found; ++row)
        found = this.mask.subarray(row * this.width + x0, row * this.width + x1).indexOf(value) !== -1;
    });
    return found;
  }

  anyIn(rects) {
    return rects.some((r) => this.has(r.x, r.y, r.w, r.h, 1));
  }

  // Whether the area holds an exact pixel outside all of `rects`: something new drawn over a
  // picture already exact, rather than what was asked for.
  exactOutside(x, y, w, h, rects) {
    const r = this.clip(x, y, w, h);
    if (!r)
      return false;
    for (let row = r.y0; row < r.y1; ++row) {
      // The row's stretches that no rectangle covers, left to right.
      const covers = rects.filter((q) => row >= q.y && row < q.y + q.h && q.x < r.x1 && q.x + q.w > r.x0)
        .sort((a, b) => a.x - b.x);
      let from = r.x0;
      const start = row * this.width;
      for (const q of [...covers, { x: r.x1, w: 0 }]) {
        const to = Math.min(r.x1, q.x);
        if (to > from && this.mask.subarray(start + from, start + to).indexOf(0) !== -1)
          return true;
        from = Math.max(from, q.x + q.w);
      }
    }
    return false;
  }

  // Runs of tiles along each row of tiles that hold JPEG pixels and got no new JPEG picture
  // since `before`, as rectangles to ask for again.
  quietRects(before) {
    const rects = [];
    for (let ty = 0; ty < this.rows; ++ty) {
      const y = ty * TILE, h = Math.min(this.height, y + TILE) - y;
      let run = null;
      for (let tx = 0; tx <= this.columns; ++tx) {
        const tile = ty * this.columns + tx;
        const take = tx < this.columns && this.changedAt[tile] <= before && this.lossyPixels[tile] > 0;
        if (take && run === null) {
          run = tx;
        } else if (!take && run !== null) {
          const x = run * TILE;
          rects.push({ x, y, w: Math.min(this.width, tx * TILE) - x, h });
          run = null;
        }
      }
    }
    return rects;
  }
}
