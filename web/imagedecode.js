// JPEG pictures decoded away from the page's main thread. noVNC 1.3 turns each JPEG rectangle into
// a base64 data: URL for an <img>; the browser then decodes it inside drawImage, on the main
// thread, where a large picture holds the supporter's keys for tens of milliseconds.
// createImageBitmap decodes on the browser's own threads; the picture is drawn once it is ready,
// in the order noVNC queued it (its render queue waits for an item's "load", as it does for an
// <img>).
//
// It replaces noVNC 1.3's Display.imageRect and relies on its render queue (_renderQPush, items
// of type 'img' whose img has complete, width, height and a "load" event). Install it before
// anything wraps imageRect (picture.js does).

export function decodeImagesOffThread(display) {
  if (typeof createImageBitmap !== 'function' || typeof display._renderQPush !== 'function')
    return false;
  display.imageRect = function (x, y, width, height, mime, data) {
    // noVNC's queue cannot handle empty pictures.
    if (width === 0 || height === 0)
      return;
    // Stands for the picture until it is decoded; the queue listens to it for "load".
    const pending = new EventTarget();
    pending.complete = false;
    const item = { type: 'img', img: pending, x, y, width, height };
    // The Blob copies the bytes now: `data` is a view of noVNC's receive buffer.
    createImageBitmap(new Blob([data], { type: mime })).then((bitmap) => {
      bitmap.complete = true;
      item.img = bitmap;
    }, () => {
      // A picture that does not decode is left out, as a broken <img> would draw nothing; the
      // rest of the queue goes on.
      item.type = 'skipped';
    }).then(() => {
      pending.complete = true;
      pending.dispatchEvent(new Event('load'));
    });
    this._renderQPush(item);
  };
  return true;
}
