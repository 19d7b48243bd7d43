// The first picture as soon as the password is accepted. noVNC waits for the VNC server's answer
// to the password before it sends ClientInit, and for the server's ServerInit before it asks for
// the picture: two round trips through the agent. This sends ClientInit, SetPixelFormat,
// SetEncodings and a full update request together with the password's response, and drops
// noVNC's own copies of them later. The rendezvous server holds whatever follows the response
// until the VNC server has accepted the password (and drops it otherwise), so nothing reaches the
// VNC server sooner than it would have.
//
// It relies on noVNC 1.3's RFB.messages and its private _sendEncodings, _shared and _fbDepth; it
// wraps only the send of the page's own WebSocket.

import RFB from './novnc/core/rfb.js';

// The framebuffer's size is unknown before ServerInit; the server clips a request to it.
const WHOLE = 0xffff;

// The bytes that noVNC's message builders write, without sending them.
function build(write) {
  const sock = { _sQ: new Uint8Array(4096), _sQlen: 0, flush() {} };
  write(sock);
  return sock._sQ.slice(0, sock._sQlen);
}

function same(a, b) {
  return a.length === b.length && a.every((value, i) => value === b[i]);
}

const isFullUpdateRequest = (bytes) => bytes.length === 10 && bytes[0] === 3 && bytes[1] === 0;

export function pipelineLogin(rfb, socket) {
  const send = socket.send.bind(socket);
  let armed = false;
  // What noVNC will send again after the password is accepted: each is dropped once.
  let pending = [];
  // Replies to the first messages of the session. The agent's connection to the rendezvous
  // server waits, before a small message, until the server has acknowledged the previous one
  // (Nagle's algorithm), and the server acknowledges at once only when it has something to
  // send to the agent; noVNC's own replies used to provide that. An incremental update request
  // of one pixel asks the VNC server for nothing new.
  let nudge = 0;
  const nudgeBytes = build((sock) => RFB.messages.fbUpdateRequest(sock, true, 0, 0, 1, 1));
  socket.addEventListener('message', () => {
    if (nudge > 0) {
      --nudge;
      send(nudgeBytes);
    }
  });
  socket.send = (data) => {
    const bytes = data instanceof Uint8Array ? data : new Uint8Array(data);
    if (armed && bytes.length === 16) {
      armed = false;
      const init = [
        Uint8Array.of(rfb._shared ? 1 : 0),
        build((sock) => RFB.messages.pixelFormat(sock, 24, true)),
        build((sock) => rfb._sendEncodings.call(Object.assign(Object.create(rfb),
                                                              { _sock: sock, _fbDepth: 24 }))),
        build((sock) => RFB.messages.fbUpdateRequest(sock, false, 0, 0, WHOLE, WHOLE)),
      ];
      pending = init.map((message, index) => ({ message, index }));
      const all = new Uint8Array(16 + init.reduce((n, m) => n + m.length, 0));
      all.set(bytes);
      let at = 16;
      for (const message of init) {
        all.set(message, at);
        at += message.length;
      }
      send(all);
      nudge = 40;
      return;
    }
    if (pending.length) {
      // ClientInit and the full update request are dropped whatever their content (a second
      // ClientInit would be read as another message); the others only when equal, since a
      // changed SetEncodings carries a newer choice.
      const match = pending.findIndex(({ message, index }) =>
        (index === 0 && bytes.length === 1) || (index === 3 && isFullUpdateRequest(bytes)) ||
        same(message, bytes));
      if (match !== -1) {
        // noVNC's full update request comes last; whatever was not matched by then was changed
        // on purpose and went through.
        pending = pending[match].index === 3 ? [] : pending.filter((_, i) => i !== match);
        return;
      }
    }
    send(data);
  };
  return {
    // Call right before rfb.sendCredentials(): its response is the next 16 bytes sent.
    arm() {
      armed = typeof rfb._sendEncodings === 'function' && RFB.messages &&
              typeof RFB.messages.pixelFormat === 'function';
      pending = [];
    },
  };
}
