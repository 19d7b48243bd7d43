// The picture as the link allows. The VNC server's Tight encoding sends photo-like areas as JPEG
// at the quality the page asks for (noVNC's qualityLevel, 0-9); this module picks that level from
// what the page measures, or keeps the one the supporter chose, and makes the picture exact again
// once the desktop stops changing: it asks for the areas that arrived as JPEG once more, with
// SetEncodings that leave the quality out, which makes the server encode them losslessly.
//
// Beyond noVNC's public qualityLevel and compressionLevel this reaches into the RFB object of
// noVNC 1.3 (Debian's novnc): its display (to see which areas arrive as JPEG), its socket,
// _sendEncodings, _framebufferUpdate and _handleExtendedDesktopSize. Without them the chosen
// level still applies; the measuring and the lossless end state are lost.

import RFB from './novnc/core/rfb.js';
import { encodings } from './novnc/core/encodings.js';
import { LossyMap, TILE } from './lossymap.js';

// The levels behind the "Calidad" choices. Level 9 is never asked for: TigerVNC counts JPEG at 9
// as lossless and would never refresh what it sent at it, though it is not exact.
export const FIXED_LEVELS = { alta: 8, media: 5, baja: 2 };
// "Automática" ranges up to noVNC's default, 6, which fast links keep; it starts low and climbs as
// soon as the link shows room. The first whole picture comes at the lowest level, the smallest,
// since the supporter waits for it; the level for the changes applies once it has arrived.
const AUTO = { min: 1, max: 6, start: 3, firstPicture: 1 };
// A picture that moves at this many frames per second looks fluid; below it, on a full link, the
// level goes down.
const TARGET_FPS = 30;
// Bytes of a frame at level i + 1 over level i, roughly (TigerVNC's JPEG qualities and chroma
// subsampling for the ten levels); used to predict the frame rate one level up.
const GROWTH = [1.3, 1.25, 1.15, 1.35, 1.3, 1.25, 1.3, 1.35, 1.5];
// How far updates fall behind (round trip above the lowest seen), in ms: above HIGH the link is
// full; below LOW it has room whatever the frame rate.
const LAG_HIGH = 40;
const LAG_LOW = 15;
// After a step, time for the frames of the new level to arrive and be measured.
const HOLD_MS = 2000;
const WINDOW_MS = 1500;
// zlib effort for what is not JPEG (text, flat areas): more on slow links, where bytes cost more
// than the helped person's CPU. Below 2 TigerVNC also stops comparing frames, so never below.
const compressionFor = (level) => (level <= 4 ? 6 : 2);
// The lossless pass asks for this much link time at once, so that a desktop that starts changing
// again is noticed between two pieces (see Picture.passDraw).
const PASS_PIECE_MS = 150;
// Lossless photo-like areas take about this many bytes per pixel.
const LOSSLESS_BYTES_PER_PIXEL = 2.5;

const QUALITY_FIRST = encodings.pseudoEncodingQualityLevel0;
const QUALITY_LAST = encodings.pseudoEncodingQualityLevel9;

// The sockets whose SetEncodings go out without a quality level, so that the server sends no JPEG.
const losslessSockets = new WeakSet();
const clientEncodings = RFB.messages.clientEncodings;
RFB.messages.clientEncodings = (sock, list) => clientEncodings(
  sock, losslessSockets.has(sock) ? list.filter((e) => e < QUALITY_FIRST || e > QUALITY_LAST) : list);

// True when a JPEG's quantisation tables are all 1: the server's own near-lossless refresh
// (TigerVNC refreshes lossy areas at quality 100 once they stop changing), not a new picture.
export function jpegAtTopQuality(data) {
  let seen = false;
  for (let i = 2; i + 4 <= data.length;) {
    if (data[i] !== 0xff)
      return false;
    const marker = data[i + 1];
    const length = (data[i + 2] << 8) | data[i + 3];
    if (marker === 0xda) // start of scan: the tables are behind
      break;
    if (marker === 0xdb) {
      for (let j = i + 4; j < i + 2 + length;) {
        const wide = data[j] >> 4;
        ++j;
        for (let k = 0; k < 64; ++k, j += wide ? 2 : 1) {
          if ((wide ? (data[j] << 8) | data[j + 1] : data[j]) !== 1)
            return false;
        }
        seen = true;
      }
    }
    i += 2 + length;
  }
  return seen;
}

// The events of the last `span` ms.
class Window {
  constructor(span) {
    this.span = span;
    this.events = [];
  }

  add(time, value = 1) {
    this.events.push([time, value]);
    this.trim(time);
  }

  trim(now) {
    let drop = 0;
    while (drop < this.events.length && this.events[drop][0] < now - this.span)
      ++drop;
    if (drop)
      this.events.splice(0, drop);
  }

  values(now) {
    this.trim(now);
    return this.events.map(([, value]) => value);
  }

  sum(now) {
    return this.values(now).reduce((total, value) => total + value, 0);
  }

  count(now) {
    this.trim(now);
    return this.events.length;
  }
}

const median = (values) => {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted.length ? sorted[Math.floor(sorted.length / 2)] : NaN;
};

export class Picture {
  // `onChange(state)` hears of every change of level or of the lossless state, and of the
  // measurements.
  constructor(rfb, socket, { mode = 'auto', onChange = () => {}, now = () => performance.now() } = {}) {
    this.rfb = rfb;
    this.onChange = onChange;
    this.now = now;
    this.mode = mode;
    this.level = mode === 'auto' ? AUTO.start : FIXED_LEVELS[mode];
    // Pixels drawn so far, until the first whole picture is in.
    this.firstPixels = mode === 'auto' ? 0 : null;
    this.map = new LossyMap();
    this.timer = null;
    this.nextStep = 0;
    this.ceiling = null;
    // Measurements.
    this.bytes = new Window(WINDOW_MS);
    this.frames = new Window(WINDOW_MS);
    this.rates = new Window(20000);
    this.rtts = new Window(30000);
    this.ping = null;
    this.fps = NaN;
    this.rate = NaN;
    this.lag = NaN;
    // Changes of the desktop, as new JPEG pictures.
    this.lastChange = -Infinity;
    this.frameChanged = false;
    this.lastChangedFrame = -Infinity;
    this.changeIntervals = [];
    this.quietTimer = null;
    // The lossless pass under way: pieces still to ask for, and those asked for.
    this.pass = null;
    this.hooked = this.hook();
    socket.addEventListener('message', (event) => this.bytes.add(this.now(), event.data.byteLength || 0));
    this.apply();
  }

  // When noVNC reports the session connected.
  start() {
    this.nextStep = this.now() + HOLD_MS;
    if (this.hooked && !this.timer)
      this.timer = setInterval(() => this.tick(), 250);
  }

  stop() {
    clearInterval(this.timer);
    clearTimeout(this.quietTimer);
    this.timer = null;
  }

  setMode(mode) {
    this.mode = mode;
    this.firstPixels = null;
    this.setLevel(mode === 'auto' ? Math.max(AUTO.min, Math.min(AUTO.max, this.level))
                                  : FIXED_LEVELS[mode]);
  }

  // `hold`: how long the level then stays before the next automatic step.
  setLevel(level, hold = HOLD_MS) {
    this.level = Math.max(0, Math.min(8, level));
    this.nextStep = this.now() + hold;
    this.apply();
    this.report();
  }

  apply() {
    // noVNC sends SetEncodings when these change and it is connected (during a lossless pass
    // without the quality, see losslessSockets).
    const level = this.firstPixels === null ? this.level : AUTO.firstPicture;
    this.rfb.compressionLevel = compressionFor(level);
    this.rfb.qualityLevel = level;
  }

  // The first whole picture is in once as many pixels as the screen has were drawn.
  drawn(w, h) {
    if (this.firstPixels === null)
      return;
    this.firstPixels += w * h;
    if (this.firstPixels >= this.map.width * this.map.height && this.map.width) {
      this.firstPixels = null;
      this.apply();
    }
  }

  state() {
    return {
      mode: this.mode, level: this.level,
      lossless: this.pass ? 'pass' : this.map.any() ? 'lossy' : 'exact',
      fps: this.fps, rate: this.rate, lag: this.lag,
    };
  }

  report() {
    this.onChange(this.state());
  }

  // Wraps what noVNC's display draws, to follow JPEG areas, and its handling of frames and of
  // the desktop size, to count frames and time the round trips.
  hook() {
    const rfb = this.rfb;
    const display = rfb._display;
    if (!display || !rfb._sock || typeof rfb._sendEncodings !== 'function' ||
        typeof rfb._framebufferUpdate !== 'function' ||
        typeof rfb._handleExtendedDesktopSize !== 'function')
      return false;
    const map = this.map;
    const picture = this;
    const before = (object, name, call) => {
      const original = object[name];
      object[name] = function (...args) {
        call(...args);
        return original.apply(this, args);
      };
    };
    const after = (object, name, call) => {
      const original = object[name];
      object[name] = function (...args) {
        const done = original.apply(this, args);
        if (done)
          call();
        return done;
      };
    };
    before(display, 'resize', (width, height) => {
      if (width !== map.width || height !== map.height)
        map.resize(width, height);
    });
    before(display, 'imageRect', (x, y, w, h, mime, data) => {
      if (mime !== 'image/jpeg') {
        this.drawExact(x, y, w, h);
        return;
      }
      this.drawn(w, h);
      const now = this.now();
      const change = !jpegAtTopQuality(data);
      map.lossy(x, y, w, h, now, change);
      if (change) {
        this.lastChange = now;
        this.frameChanged = true;
        if (this.pass)
          this.endPass();
      }
    });
    // Drawing calls that come from noVNC's queue were seen when they were queued.
    before(display, 'blitImage', (x, y, w, h, data, offset, fromQueue) => {
      if (!fromQueue)
        this.drawExact(x, y, w, h);
    });
    before(display, 'fillRect', (x, y, w, h, color, fromQueue) => {
      if (!fromQueue)
        this.drawExact(x, y, w, h);
    });
    before(display, 'copyImage', (fromX, fromY, x, y, w, h, fromQueue) => {
      if (fromQueue)
        return;
      if (this.pass)
        this.endPass();
      map.copy(fromX, fromY, x, y, w, h);
    });
    after(rfb, '_framebufferUpdate', () => picture.frameDone());
    after(rfb, '_handleExtendedDesktopSize', () => picture.pong());
    return true;
  }

  drawExact(x, y, w, h) {
    this.drawn(w, h);
    // During a pass, something drawn over pixels already exact and not asked for is a change of
    // the desktop, sent losslessly now: give the link back to the changes. (A few pixels, such
    // as a ping's, are not worth it.)
    if (this.pass && w * h >= 256 && this.map.exactOutside(x, y, w, h, this.pass.asked.flat()))
      this.endPass();
    this.map.exact(x, y, w, h);
  }

  // ---- Measuring ----

  // A frame round trip: a full update of one pixel, whose answer starts with the desktop size
  // and comes behind whatever the server has queued, so it shows how far updates fall behind.
  sendPing() {
    if (!this.map.width)
      return;
    this.ping = this.now();
    RFB.messages.fbUpdateRequest(this.rfb._sock, false, 0, 0, 1, 1);
  }

  pong() {
    if (this.ping === null)
      return;
    const now = this.now();
    this.rtts.add(now, now - this.ping);
    this.ping = null;
  }

  frameDone() {
    const now = this.now();
    this.frames.add(now);
    if (this.frameChanged) {
      this.frameChanged = false;
      this.changeIntervals.push(now - this.lastChangedFrame);
      if (this.changeIntervals.length > 9)
        this.changeIntervals.shift();
      this.lastChangedFrame = now;
      // The lossless pass follows as soon as the desktop is seen to have stopped.
      clearTimeout(this.quietTimer);
      if (this.timer)
        this.quietTimer = setTimeout(() => this.maybeStartPass(this.now()), this.quietDelay() + 1);
    }
    if (this.pass)
      this.passProgress(now);
  }

  // ---- Choosing the level ----

  tick() {
    const now = this.now();
    this.fps = this.frames.count(now) * 1000 / WINDOW_MS;
    this.rate = this.bytes.sum(now) * 1000 / WINDOW_MS;
    this.rates.add(now, this.rate);
    const rtts = this.rtts.values(now);
    const recent = this.rtts.events.filter(([time]) => time > now - 2500).map(([, rtt]) => rtt);
    this.lag = median(recent) - Math.min(...rtts);
    if (this.ping !== null && now - this.ping > 5000)
      this.ping = null;
    // Pings serve the choice of level, which is made while the desktop changes.
    const changing = now - this.lastChange < 1000;
    if (this.mode === 'auto' && changing && this.ping === null && !this.pass)
      this.sendPing();
    if (this.pass) {
      if (now - this.pass.progress > 5000)
        this.endPass();
    } else {
      // Only while new pictures arrive: a desktop that stops changing slows the frame rate too.
      if (this.mode === 'auto' && now - this.lastChange < 300)
        this.adapt(now);
      this.maybeStartPass(now);
    }
    this.report();
  }

  adapt(now) {
    if (now < this.nextStep || !(this.fps >= 2) || !Number.isFinite(this.lag))
      return;
    const capacity = Math.max(...this.rates.values(now));
    const level = this.level;
    const full = this.lag > LAG_HIGH || (this.lag > LAG_LOW && this.rate >= 0.85 * capacity);
    if (this.fps < TARGET_FPS && full && level > AUTO.min) {
      // Down as far as the frame rate needs, two levels at most at once.
      let to = level - 1;
      if (this.fps * GROWTH[to] < TARGET_FPS && to > AUTO.min)
        --to;
      this.ceiling = { level: to + 1, until: now + 15000 };
      this.setLevel(to);
      return;
    }
    if (level >= AUTO.max)
      return;
    // Up when the link has room, or when the frame rate one level up, were the link the limit,
    // would still be fluid; not back to a level that proved too much a moment ago.
    const predicted = capacity / (this.rate / this.fps * GROWTH[level]);
    const refused = this.ceiling && now < this.ceiling.until && level + 1 >= this.ceiling.level;
    if (this.lag < LAG_LOW || (!refused && predicted >= 1.1 * TARGET_FPS))
      this.setLevel(level + 1, this.lag < LAG_LOW ? HOLD_MS / 2 : HOLD_MS);
  }

  // ---- The lossless end state ----

  // The desktop has stopped once no new JPEG picture came for three of the intervals at which
  // they came while it changed.
  quietDelay() {
    const typical = median(this.changeIntervals.filter(Number.isFinite));
    return Math.max(150, Math.min(1000, 3 * (Number.isFinite(typical) ? typical : 100)));
  }

  maybeStartPass(now) {
    const quiet = this.quietDelay();
    if (this.pass || !this.timer || now - this.lastChange < quiet)
      return;
    const rects = this.map.quietRects(now - quiet);
    if (!rects.length)
      return;
    // Pieces of about PASS_PIECE_MS of the link each, from what it carried at its best lately.
    const capacity = Math.max(64 * 1024, ...this.rates.values(now));
    const piecePixels = Math.max(4 * TILE * TILE, capacity * PASS_PIECE_MS / 1000 / LOSSLESS_BYTES_PER_PIXEL);
    const pieces = [];
    let piece = [], pixels = 0;
    for (const r of rects) {
      piece.push(r);
      pixels += r.w * r.h;
      if (pixels >= piecePixels) {
        pieces.push(piece);
        piece = [];
        pixels = 0;
      }
    }
    if (piece.length)
      pieces.push(piece);
    this.pass = { pieces, asked: [], progress: now };
    losslessSockets.add(this.rfb._sock);
    this.rfb._sendEncodings();
    // Two pieces in flight, so that the link does not idle between them.
    this.askNext();
    this.askNext();
    this.report();
  }

  askNext() {
    const pass = this.pass;
    while (pass.pieces.length) {
      const piece = pass.pieces.shift();
      // The server's own refresh may have done it already.
      if (!this.map.anyIn(piece))
        continue;
      pass.asked.push(piece);
      for (const r of piece)
        RFB.messages.fbUpdateRequest(this.rfb._sock, false, r.x, r.y, r.w, r.h);
      return;
    }
  }

  passProgress(now) {
    const pass = this.pass;
    const before = pass.asked.length;
    pass.asked = pass.asked.filter((piece) => this.map.anyIn(piece));
    for (let done = before - pass.asked.length; done > 0; --done) {
      pass.progress = now;
      this.askNext();
    }
    if (!pass.asked.length && !pass.pieces.length)
      this.endPass();
  }

  endPass() {
    this.pass = null;
    losslessSockets.delete(this.rfb._sock);
    this.rfb._sendEncodings();
    // The frames of the pass say nothing about the level.
    this.nextStep = this.now() + HOLD_MS;
    this.report();
  }
}
