// Key combinations that the supporter's browser or system keeps for itself (a page never sees
// Ctrl+W, Alt+Tab or the Windows key), offered as buttons that send them to the helped person's
// desktop. In full screen, where the browser allows it, the page takes these keys from the
// keyboard directly (see velmora.js).

import KeyTable from './novnc/core/input/keysym.js';

const KEY = {
  ctrl: [KeyTable.XK_Control_L, 'ControlLeft'],
  alt: [KeyTable.XK_Alt_L, 'AltLeft'],
  shift: [KeyTable.XK_Shift_L, 'ShiftLeft'],
  win: [KeyTable.XK_Super_L, 'MetaLeft'],
  tab: [KeyTable.XK_Tab, 'Tab'],
  esc: [KeyTable.XK_Escape, 'Escape'],
  del: [KeyTable.XK_Delete, 'Delete'],
  f4: [KeyTable.XK_F4, 'F4'],
  print: [KeyTable.XK_Print, 'PrintScreen'],
  r: [KeyTable.XK_r, 'KeyR'],
  w: [KeyTable.XK_w, 'KeyW'],
};

// Label (as a Spanish keyboard names the keys) and the keys, pressed in order and released in
// reverse order.
export const COMBOS = [
  { label: 'Tecla Windows', keys: ['win'] },
  { label: 'Windows+R (Ejecutar)', keys: ['win', 'r'] },
  { label: 'Alt+Tab', keys: ['alt', 'tab'] },
  { label: 'Alt+F4', keys: ['alt', 'f4'] },
  { label: 'Ctrl+W', keys: ['ctrl', 'w'] },
  { label: 'Ctrl+Esc', keys: ['ctrl', 'esc'] },
  { label: 'Ctrl+Mayús+Esc (Administrador de tareas)', keys: ['ctrl', 'shift', 'esc'] },
  { label: 'Impr Pant', keys: ['print'] },
];

export function sendCombo(rfb, keys) {
  for (const name of keys)
    rfb.sendKey(...KEY[name], true);
  for (const name of [...keys].reverse())
    rfb.sendKey(...KEY[name], false);
}
