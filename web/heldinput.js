// Nothing stays held on the helped person's desktop. A key or button that is down there when the
// supporter's page stops seeing the keyboard or mouse (the window loses focus, the tab is hidden,
// the page is left, the supporter disconnects) would stay down: the desktop would repeat the key
// or drag with the button until something released it. This releases them at those moments.
//
// noVNC releases keys on the window's blur itself; this adds the other moments, and buttons,
// which noVNC does not release. It relies on noVNC 1.3's RFB internals _keyboard._allKeysUp,
// _mouseButtonMask and _sendMouse.

export class HeldInput {
  constructor(rfb, target = window) {
    this.rfb = rfb;
    this.target = target;
    // Where the last pointer event put the pointer: a release goes there, not elsewhere, so that
    // it cannot drop what is dragged somewhere else.
    this.position = null;
    const sendMouse = rfb._sendMouse;
    if (typeof sendMouse === 'function') {
      rfb._sendMouse = (x, y, mask) => {
        this.position = { x, y };
        return sendMouse.call(rfb, x, y, mask);
      };
    }
    this.onLost = () => this.releaseAll();
    this.onVisibility = () => {
      if (target.document && target.document.hidden)
        this.releaseAll();
    };
    target.addEventListener('blur', this.onLost);
    target.addEventListener('pagehide', this.onLost);
    target.addEventListener('beforeunload', this.onLost);
    if (target.document)
      target.document.addEventListener('visibilitychange', this.onVisibility);
  }

  // Key-ups for every key noVNC holds down, and a pointer event without buttons where the
  // pointer last was.
  releaseAll() {
    const rfb = this.rfb;
    if (rfb._keyboard && typeof rfb._keyboard._allKeysUp === 'function')
      rfb._keyboard._allKeysUp();
    if (rfb._mouseButtonMask && this.position && typeof rfb._sendMouse === 'function') {
      rfb._mouseButtonMask = 0;
      rfb._sendMouse(this.position.x, this.position.y, 0);
    }
  }

  stop() {
    const target = this.target;
    target.removeEventListener('blur', this.onLost);
    target.removeEventListener('pagehide', this.onLost);
    target.removeEventListener('beforeunload', this.onLost);
    if (target.document)
      target.document.removeEventListener('visibilitychange', this.onVisibility);
  }
}
