// The supporter's input before the picture. noVNC decodes and draws everything that has arrived
// in one task of the page; on a desktop that changes a lot that is tens of milliseconds, and the
// browser runs the supporter's key and mouse events only between tasks, so a key-up could wait
// behind the picture while the helped person's desktop repeats the key. This cuts noVNC's work on
// what arrived into slices of a few milliseconds, each a task of its own: input events, which the
// browser runs ahead of other tasks, go out between two slices.
//
// The same for drawing: once a JPEG picture is decoded, noVNC draws everything queued behind it
// in one task; sliceDrawing cuts that too.
//
// It reaches into noVNC 1.3's RFB object (_handleMessage, _normalMsg, _handleRect and the
// socket's message handler) and its Display (_scanRenderQ, _renderQ). A slice ends only between
// two messages or two rectangles of an update, where noVNC itself stops when it waits for more
// data, or between two drawing operations, so nothing is decoded or drawn twice or out of order.

// Long enough to do real work per task, short enough that a key waits a frame at most.
export const SLICE_MS = 4;

// Runs `work` as a task of its own, at once unless one is already queued. A message to a channel
// of our own is a new task without setTimeout's minimum delay.
function laterTask(work) {
  const channel = new MessageChannel();
  let queued = false;
  channel.port1.onmessage = () => {
    queued = false;
    work();
  };
  return {
    queue() {
      if (!queued) {
        queued = true;
        channel.port2.postMessage(null);
      }
    },
    stop() {
      channel.port1.onmessage = null;
      channel.port1.close();
    },
  };
}

// Returns false (and changes nothing) when the RFB object lacks what this relies on.
export function sliceReceiving(rfb, { budgetMs = SLICE_MS, now = () => performance.now() } = {}) {
  const sock = rfb._sock;
  if (!sock || typeof sock.on !== 'function' || typeof rfb._handleMessage !== 'function' ||
      typeof rfb._normalMsg !== 'function' || typeof rfb._handleRect !== 'function')
    return false;
  const handleMessage = rfb._handleMessage;
  const normalMsg = rfb._normalMsg;
  const handleRect = rfb._handleRect;
  let sliceStart = 0;
  const resume = laterTask(() => {
    if (rfb._rfbConnectionState === 'connected' && sock.rQlen > 0)
      rfb._handleMessage();
  });
  // Stops the current slice: noVNC then returns as if it waited for data, which it still has.
  const pause = () => {
    resume.queue();
    return false;
  };
  const spent = () => now() - sliceStart > budgetMs;

  rfb._handleMessage = function (...args) {
    sliceStart = now();
    return handleMessage.apply(this, args);
  };
  rfb._normalMsg = function (...args) {
    return spent() ? pause() : normalMsg.apply(this, args);
  };
  rfb._handleRect = function (...args) {
    return spent() ? pause() : handleRect.apply(this, args);
  };
  // noVNC bound its handler when it was constructed; the socket must call the slicing one.
  sock.on('message', () => rfb._handleMessage());
  return resume;
}

// noVNC 1.3's Display._scanRenderQ, drawing for at most `budgetMs` per task. Returns false (and
// changes nothing) when the Display lacks what this relies on.
export function sliceDrawing(display, { budgetMs = SLICE_MS, now = () => performance.now() } = {}) {
  if (!Array.isArray(display._renderQ) || typeof display._scanRenderQ !== 'function' ||
      typeof display._resumeRenderQ !== 'function')
    return false;
  const resume = laterTask(() => display._scanRenderQ());
  display._scanRenderQ = function () {
    const start = now();
    let ready = true;
    while (ready && this._renderQ.length > 0) {
      if (now() - start > budgetMs) {
        resume.queue();
        return;
      }
      const a = this._renderQ[0];
      switch (a.type) {
      case 'flip':
        this.flip(true);
        break;
      case 'copy':
        this.copyImage(a.oldX, a.oldY, a.x, a.y, a.width, a.height, true);
        break;
      case 'fill':
        this.fillRect(a.x, a.y, a.width, a.height, a.color, true);
        break;
      case 'blit':
        this.blitImage(a.x, a.y, a.width, a.height, a.data, 0, true);
        break;
      case 'img':
        if (a.img.complete) {
          // A picture of another size than announced is dropped; the queue goes on.
          if (a.img.width === a.width && a.img.height === a.height)
            this.drawImage(a.img, a.x, a.y);
        } else {
          // In order: wait for the picture.
          a.img._noVNCDisplay = this;
          a.img.addEventListener('load', this._resumeRenderQ);
          ready = false;
        }
        break;
      default:
        break;
      }
      if (ready)
        this._renderQ.shift();
    }
    if (this._renderQ.length === 0 && this._flushing) {
      this._flushing = false;
      this.onflush();
    }
  };
  return resume;
}

// Both of the above; `stop()` ends the tasks they may still have queued.
export function paceWork(rfb) {
  const parts = [sliceReceiving(rfb), rfb._display && sliceDrawing(rfb._display)].filter(Boolean);
  return { stop: () => parts.forEach((part) => part.stop()) };
}
