// The supporter's page: session ID → the remote desktop through noVNC on /viewer/<ID>.
import RFB from './novnc/core/rfb.js';
import { Picture } from './picture.js';
import { pipelineLogin } from './login.js';
import { paceWork } from './pacing.js';
import { decodeImagesOffThread } from './imagedecode.js';
import { HeldInput } from './heldinput.js';
import { COMBOS, sendCombo } from './keycombos.js';

const $ = (id) => document.getElementById(id);

// What the server's close reasons mean to the supporter. A reason is "name" or
// "name;retry-after=SECONDS"; `wait` is that time in words, or '' when the server gave none.
const REFUSALS = {
  'invalid-id': () => 'El ID de sesión tiene nueve cifras.',
  'unknown-id': () =>
    'No hay ninguna sesión activa con ese ID. Compruebe el número con la persona a la que ayuda ' +
    'y que su ventana de Velmora muestre "Listo".',
  'offline': (wait) =>
    'El equipo remoto se está volviendo a conectar con el servidor. ' +
    (wait ? `Vuelva a intentarlo en ${wait}.` : 'Vuelva a intentarlo en unos segundos.'),
  'busy': () => 'Otro técnico ya está conectado a esa sesión.',
  'agent-timeout': (wait) =>
    'El equipo remoto no respondió a tiempo. ' +
    (wait ? `Vuelva a intentarlo en ${wait}.` : 'Vuelva a intentarlo.'),
  'locked': (wait) =>
    `Por seguridad, esta sesión no admite intentos durante ${wait}. Vuelva a intentarlo después.`,
  'too-many-attempts': (wait) =>
    `Demasiados intentos con IDs que no existen desde su conexión. Espere ${wait}.`,
  'wrong-password': (wait) =>
    `Contraseña incorrecta. Podrá volver a intentarlo en ${wait}.`,
  'agent-gone': () => 'La sesión terminó: el equipo remoto se desconectó.',
  'replaced': () => 'La sesión terminó: el equipo remoto se volvió a conectar.',
  'unsupported-security': () =>
    'El equipo remoto pidió un tipo de seguridad que no se puede usar a través de Velmora.',
  'desktop-refused': (wait) =>
    'El equipo remoto rechazó la conexión antes de pedir la contraseña. ' +
    (wait ? `Vuelva a intentarlo en ${wait}.` : 'Vuelva a intentarlo más tarde.'),
  'server-shutdown': () => 'La sesión terminó: el servidor se está reiniciando.',
  'password-timeout': () =>
    'Se agotó el tiempo para escribir la contraseña. Vuelva a conectar.',
  'unavailable': (wait) =>
    'El servidor no puede atender nuevas conexiones en este momento. ' +
    (wait ? `Vuelva a intentarlo en ${wait}.` : 'Vuelva a intentarlo en unos segundos.'),
};

let rfb = null;
let picture = null;
let login = null;
let slicing = null;
let heldInput = null;
let closeInfo = null;
let connected = false;
let passwordRefused = false;
let endedByUser = false;

function parseReason(reason) {
  const [name, ...params] = (reason || '').split(';');
  const values = {};
  for (const param of params) {
    const [key, value] = param.split('=');
    values[key.trim()] = value;
  }
  return { name: name.trim(), retryAfter: Number(values['retry-after']) || 0 };
}

function duration(seconds) {
  if (seconds < 60) return seconds === 1 ? '1 segundo' : `${seconds} segundos`;
  const minutes = Math.ceil(seconds / 60);
  if (minutes < 60) return minutes === 1 ? '1 minuto' : `${minutes} minutos`;
  const hours = Math.ceil(minutes / 60);
  return hours === 1 ? '1 hora' : `${hours} horas`;
}

function showMessage(text, kind = 'error') {
  const box = $('message');
  box.textContent = text;
  box.className = `message ${kind}`;
  box.hidden = !text;
}

function showStart() {
  $('session').hidden = true;
  $('password-panel').hidden = true;
  $('start').hidden = false;
  $('connect').disabled = false;
  $('session-id').focus();
}

function normaliseId(text) {
  return text.replace(/[\s-]/g, '');
}

function viewerUrl(id) {
  const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
  return `${scheme}//${location.host}/viewer/${id}`;
}

function explainEnd() {
  const { name, retryAfter } = parseReason(closeInfo && closeInfo.reason);
  const explain = REFUSALS[name];
  if (explain)
    return explain(retryAfter > 0 ? duration(retryAfter) : '');
  if (passwordRefused)
    return 'Contraseña incorrecta.';
  if (endedByUser)
    return null;
  if (connected)
    return 'La sesión terminó.';
  return 'No se pudo conectar con el servidor de Velmora.';
}

function onDisconnect() {
  const text = explainEnd();
  if (picture)
    picture.stop();
  if (slicing)
    slicing.stop();
  if (heldInput)
    heldInput.stop();
  rfb = null;
  picture = null;
  login = null;
  slicing = null;
  heldInput = null;
  leaveFullscreen();
  showStart();
  if (endedByUser && !text)
    showMessage('Sesión finalizada.', 'info');
  else
    showMessage(text, connected && !closeInfo?.reason ? 'info' : 'error');
}

function connect(id) {
  closeInfo = null;
  connected = false;
  passwordRefused = false;
  endedByUser = false;
  showMessage('');
  $('connect').disabled = true;

  // Our own socket, so that the server's close code and reason reach the page; noVNC does not
  // pass them on.
  const socket = new WebSocket(viewerUrl(id), ['binary']);
  socket.addEventListener('close', (event) => {
    closeInfo = { code: event.code, reason: event.reason };
  });

  $('start').hidden = true;
  $('session').hidden = false;
  $('status').textContent = `Conectando con ${id}…`;
  rfb = new RFB($('screen'), socket, { shared: false });
  rfb.scaleViewport = true;
  rfb.resizeSession = false;
  rfb.focusOnClick = true;
  login = pipelineLogin(rfb, socket);
  // Before the picture's bookkeeping wraps what draws JPEG.
  decodeImagesOffThread(rfb._display);
  picture = new Picture(rfb, socket, { mode: $('quality').value, onChange: showQuality });
  slicing = paceWork(rfb);
  heldInput = new HeldInput(rfb);

  rfb.addEventListener('credentialsrequired', () => {
    $('session').hidden = true;
    $('password-panel').hidden = false;
    $('password').value = '';
    $('password').focus();
  });
  rfb.addEventListener('securityfailure', () => {
    passwordRefused = true;
  });
  rfb.addEventListener('connect', () => {
    connected = true;
    $('password-panel').hidden = true;
    $('session').hidden = false;
    $('status').textContent = `Conectado a ${id}`;
    picture.start();
    rfb.focus();
  });
  rfb.addEventListener('disconnect', () => {
    // noVNC reports a failed login before the socket has closed; the server's reason (how long
    // to wait) comes with the close, so wait for it, though not for ever.
    let done = false;
    const finish = () => {
      if (!done) {
        done = true;
        onDisconnect();
      }
    };
    if (socket.readyState === WebSocket.CLOSED) {
      setTimeout(finish, 0);
      return;
    }
    const timer = setTimeout(finish, 3000);
    socket.addEventListener('close', () => {
      clearTimeout(timer);
      finish();
    }, { once: true });
  });
  rfb.addEventListener('clipboard', (event) => {
    $('clipboard-text').value = event.detail.text;
  });
  rfb.addEventListener('desktopname', (event) => {
    if (connected)
      $('status').textContent = `Conectado a ${id} · ${event.detail.name}`;
  });
}

function disconnect() {
  endedByUser = true;
  if (heldInput)
    heldInput.releaseAll();
  if (rfb)
    rfb.disconnect();
  else
    showStart();
}

$('connect-form').addEventListener('submit', (event) => {
  event.preventDefault();
  const id = normaliseId($('session-id').value);
  if (!/^\d{9}$/.test(id)) {
    showMessage(REFUSALS['invalid-id']());
    return;
  }
  connect(id);
});

$('password-form').addEventListener('submit', (event) => {
  event.preventDefault();
  if (!rfb)
    return;
  $('password-panel').hidden = true;
  $('session').hidden = false;
  $('status').textContent = 'Comprobando la contraseña…';
  login.arm();
  rfb.sendCredentials({ password: $('password').value });
});

// The picture's state on the control, for whoever looks closer (and for the tests).
function showQuality(state) {
  const control = $('quality');
  control.dataset.level = state.level;
  control.dataset.lossless = state.lossless;
  control.title = `Nivel JPEG ${state.level}` +
    (Number.isFinite(state.fps) ? ` · ${state.fps.toFixed(0)} imágenes/s` : '') +
    (Number.isFinite(state.rate) ? ` · ${(state.rate * 8 / 1e6).toFixed(1)} Mbit/s` : '') +
    (state.lossless === 'exact' ? ' · imagen exacta' : '');
}

$('quality').addEventListener('change', () => {
  if (picture)
    picture.setMode($('quality').value);
});
$('cancel').addEventListener('click', disconnect);
$('disconnect').addEventListener('click', disconnect);
// After a button of the toolbar, the keyboard goes back to the remote desktop.
function backToScreen() {
  if (rfb)
    rfb.focus();
}

$('ctrl-alt-del').addEventListener('click', () => {
  if (rfb)
    rfb.sendCtrlAltDel();
  backToScreen();
});

function togglePanel(button, panel) {
  panel.hidden = !panel.hidden;
  button.setAttribute('aria-expanded', String(!panel.hidden));
}
$('keys-toggle').addEventListener('click', () => togglePanel($('keys-toggle'), $('keys-panel')));
$('clipboard-toggle').addEventListener('click', () => togglePanel($('clipboard-toggle'), $('clipboard-panel')));
for (const combo of COMBOS) {
  const button = document.createElement('button');
  button.type = 'button';
  button.className = 'secondary';
  button.textContent = combo.label;
  button.addEventListener('click', () => {
    if (rfb)
      sendCombo(rfb, combo.keys);
    backToScreen();
  });
  $('keys-panel').append(button);
}

$('clipboard-send').addEventListener('click', () => {
  if (rfb)
    rfb.clipboardPasteFrom($('clipboard-text').value);
  backToScreen();
});
$('clipboard-copy').addEventListener('click', async () => {
  try {
    await navigator.clipboard.writeText($('clipboard-text').value);
  } catch (error) {
    // Without the browser's clipboard (an insecure page, a refusal), the text is selected for
    // the supporter to copy by hand.
    $('clipboard-text').select();
  }
});

// In full screen the page may take the keys that the browser otherwise keeps (Alt+Tab, Ctrl+W,
// the Windows key) where the browser offers keyboard lock; holding Esc leaves full screen.
$('fullscreen').addEventListener('click', async () => {
  if (document.fullscreenElement) {
    leaveFullscreen();
    return;
  }
  try {
    await $('session').requestFullscreen({ navigationUI: 'hide' });
    if (navigator.keyboard && navigator.keyboard.lock)
      await navigator.keyboard.lock();
  } catch (error) {
    // Refused by the browser: the buttons under "Teclas" still send those keys.
  }
  backToScreen();
});

function leaveFullscreen() {
  if (navigator.keyboard && navigator.keyboard.unlock)
    navigator.keyboard.unlock();
  if (document.fullscreenElement)
    document.exitFullscreen().catch(() => {});
}
document.addEventListener('fullscreenchange', () => {
  $('fullscreen').textContent = document.fullscreenElement ? 'Salir de pantalla completa' : 'Pantalla completa';
  if (!document.fullscreenElement && navigator.keyboard && navigator.keyboard.unlock)
    navigator.keyboard.unlock();
});

const fromAddress = new URLSearchParams(location.search).get('id');
if (fromAddress)
  $('session-id').value = fromAddress;
