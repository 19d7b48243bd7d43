// Injected into the page before its own scripts (Playwright's addInitScript): records the page's
// long tasks, the supporter's input events as the browser timed them, and the input messages the
// page sends on its WebSockets, so that a test can tell how long each event took to leave.
(() => {
  const probe = {
    longTasks: [],   // [start, duration] in ms
    events: [],      // [time, kind] with kind 'key' or 'pointer'; time is the event's timeStamp
    sent: [],        // [time, kind, detail]
    reset() {
      this.longTasks.length = 0;
      this.events.length = 0;
      this.sent.length = 0;
    },
  };
  window.__inputProbe = probe;
  try {
    new PerformanceObserver((list) => {
      for (const entry of list.getEntries())
        probe.longTasks.push([entry.startTime, entry.duration]);
    }).observe({ type: 'longtask', buffered: true });
  } catch (error) {
    probe.longTasks = null; // not supported: the test says so rather than passing
  }
  for (const type of ['keydown', 'keyup'])
    addEventListener(type, (event) => probe.events.push([event.timeStamp, 'key', type, event.key]), true);
  for (const type of ['mousedown', 'mouseup', 'wheel'])
    addEventListener(type, (event) => probe.events.push([event.timeStamp, 'pointer', type]), true);

  // RFB client messages that carry input: KeyEvent (4), QEMU's extended KeyEvent (255, 0) and
  // PointerEvent (5), alone or several in one message; anything else ends the parsing of a message.
  const send = WebSocket.prototype.send;
  WebSocket.prototype.send = function (data) {
    const bytes = data instanceof Uint8Array ? data
      : data instanceof ArrayBuffer ? new Uint8Array(data) : null;
    const now = performance.now();
    const u32 = (at) => ((bytes[at] << 24) | (bytes[at + 1] << 16) | (bytes[at + 2] << 8) | bytes[at + 3]) >>> 0;
    for (let at = 0; bytes && at < bytes.length;) {
      if (bytes[at] === 4 && at + 8 <= bytes.length) {
        probe.sent.push([now, 'key', bytes[at + 1] ? 'down' : 'up', u32(at + 4)]);
        at += 8;
      } else if (bytes[at] === 255 && bytes[at + 1] === 0 && at + 12 <= bytes.length) {
        probe.sent.push([now, 'key', bytes[at + 3] ? 'down' : 'up', u32(at + 4)]);
        at += 12;
      } else if (bytes[at] === 5 && at + 6 <= bytes.length) {
        probe.sent.push([now, 'pointer', bytes[at + 1]]);
        at += 6;
      } else {
        break;
      }
    }
    return send.call(this, data);
  };
})();
