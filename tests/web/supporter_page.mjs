// The supporter's page end to end: velmora-server serves it, a real agent (the built `velmora`
// with the stand-in programs, so real TigerVNC and websockify) runs on a private Xvfb desktop
// painted a known colour, and headless Chromium plays the supporter: an unknown ID, a wrong
// password, the right one (the desktop's colour must appear in noVNC's canvas), and a second
// supporter who finds the session busy.
// Then the "Calidad" control: each choice must reach the VNC server (the JPEG pictures that come
// back carry that level's quantisation tables) while the desktop (velmora-slowlink-desktop)
// pans a photo-like picture, and once it stops, the canvas must equal the desktop pixel for pixel.
// With --tls the server serves the page over https (and its WebSocket over wss) with a certificate
// made for the run, and the agent, which speaks ws:// only, uses a plain listener beside it.
//   node supporter_page.mjs VELMORA_SERVER VELMORA_AGENT READPASSWORD_HELPER DESKTOP [--tls]
import { execFileSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import assert from 'node:assert/strict';

import { ChildProcesses, waitFor } from './childprocesses.mjs';
import { startDisplay, startServer, startAgent, launchBrowser, enterId, logInAfterLock, message,
         desktopShare } from './session.mjs';

const [serverBin, agentBin, readPasswordBin, desktopBin, mode] = process.argv.slice(2);
const tls = mode === '--tls';
const artifacts = path.join(process.env.VELMORA_ARTIFACT_DIR || tmpdir(), tls ? 'tls' : '');
mkdirSync(artifacts, { recursive: true });
const sourceDir = process.env.VELMORA_SOURCE_DIR || path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const desktopColour = [0x33, 0x66, 0xcc];

const work = mkdtempSync(path.join(tmpdir(), 'velmora-web-'));
const children = new ChildProcesses();
const start = children.start.bind(children);
let browser = null;

async function cleanUp() {
  if (browser)
    await browser.close().catch(() => {});
  await children.stopAll();
  rmSync(work, { recursive: true, force: true });
}

// TigerVNC's JPEG quality for each of the ten levels a viewer may ask for.
const JPEG_QUALITY = [15, 29, 41, 42, 62, 77, 79, 86, 92, 100];
// libjpeg's luminance table, and the order in which a JPEG file stores a table's entries.
const LUMINANCE = [
  16, 11, 10, 16, 24, 40, 51, 61, 12, 12, 14, 19, 26, 58, 60, 55, 14, 13, 16, 24, 40, 57, 69, 56,
  14, 17, 22, 29, 51, 87, 80, 62, 18, 22, 37, 56, 68, 109, 103, 77, 24, 35, 55, 64, 81, 104, 113, 92,
  49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99];
const ZIGZAG = [
  0, 1, 8, 16, 9, 2, 3, 10, 17, 24, 32, 25, 18, 11, 4, 5, 12, 19, 26, 33, 40, 48, 41, 34, 27, 20,
  13, 6, 7, 14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51, 58, 59, 52,
  45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63];
const quantisation = new Map();
for (let quality = 1; quality <= 100; ++quality) {
  const scale = quality < 50 ? Math.floor(5000 / quality) : 200 - quality * 2;
  const table = ZIGZAG.map((n) => Math.min(255, Math.max(1, Math.floor((LUMINANCE[n] * scale + 50) / 100))));
  quantisation.set(table.join(','), quality);
}

// The JPEG qualities whose luminance tables (DQT segments with an 8-bit table 0) a message holds.
function jpegQualities(bytes) {
  const found = [];
  for (let i = bytes.indexOf(0xff); i !== -1 && i + 69 <= bytes.length; i = bytes.indexOf(0xff, i + 1)) {
    if (bytes[i + 1] === 0xdb && bytes[i + 2] === 0x00 && bytes[i + 3] === 0x43 && bytes[i + 4] === 0x00) {
      const quality = quantisation.get([...bytes.subarray(i + 5, i + 69)].join(','));
      if (quality)
        found.push(quality);
    }
  }
  return found;
}

// Compares the canvas with the desktop's own pixels (raw RGB) at every animation frame until they
// are equal or `timeoutMs` has passed; the last comparison's differing pixels and largest
// difference of a channel.
async function compareWithDesktop(page, rgb, timeoutMs) {
  return page.evaluate(async ({ base64, timeoutMs }) => {
    const text = atob(base64);
    const expected = new Uint8Array(text.length);
    for (let i = 0; i < text.length; ++i)
      expected[i] = text.charCodeAt(i);
    const canvas = document.querySelector('#screen canvas');
    const deadline = performance.now() + timeoutMs;
    for (;;) {
      const data = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
      let differing = 0, worst = 0;
      for (let i = 0, j = 0; j < expected.length; i += 4, j += 3) {
        const d = Math.max(Math.abs(data[i] - expected[j]), Math.abs(data[i + 1] - expected[j + 1]),
                           Math.abs(data[i + 2] - expected[j + 2]));
        if (d) {
          ++differing;
          worst = Math.max(worst, d);
        }
      }
      if (differing === 0 || performance.now() > deadline)
        return { differing, worst };
      await new Promise((resolve) => requestAnimationFrame(resolve));
    }
  }, { base64: rgb.toString('base64'), timeoutMs });
}

async function main() {
  // The desktop: a private X server painted a colour the canvas must show.
  const display = await startDisplay(children);
  // A full-screen terminal in that colour (Xvfb's root window keeps no colour xsetroot gives it).
  start('xterm', 'xterm', ['-bg', '#3366cc', '-fg', '#3366cc', '-geometry', '400x200+0+0'],
                        { env: { ...process.env, DISPLAY: display } });

  // The certificates for --tls: a CA and a certificate for 127.0.0.1 that it signed.
  if (tls)
    execFileSync('bash', [path.join(sourceDir, 'tests/support/testcertificates.sh'), work]);
  const tlsArguments = ['--tls-cert', path.join(work, 'server.crt'),
                        '--tls-key', path.join(work, 'server.key'), '--plain-listen', '127.0.0.1:0'];

  // The server, with a short lock so that the right password can follow the wrong one soon.
  const { server, port, agentPort } = await startServer(children, {
    serverBin, work, sourceDir, extraArgs: ['--lockout-base', '1', ...(tls ? tlsArguments : [])] });

  // The agent, as the helped person starts it.
  const { id, password } = await startAgent(children, {
    agentBin, readPasswordBin, work, display, port: agentPort, server });
  assert.match(password, /^\d{4}$/);
  const wrong = String((Number(password) + 1) % 10000).padStart(4, '0');

  // A fresh profile every run; the certificate made for the run is signed by a CA that Chromium
  // does not know.
  browser = await launchBrowser(work, { ignoreHTTPSErrors: tls });
  const page = await browser.newPage();
  const violations = [];
  page.on('console', (entry) => {
    if (/Content Security Policy|Refused to/.test(entry.text()))
      violations.push(entry.text());
  });
  const sockets = [];
  // JPEG qualities as they arrive, and who waits for which.
  let jpegWaiters = [];
  page.on('websocket', (socket) => {
    sockets.push(socket.url());
    socket.on('framereceived', ({ payload }) => {
      if (typeof payload === 'string')
        return;
      const qualities = jpegQualities(payload);
      if (qualities.length)
        jpegWaiters = jpegWaiters.filter((waiter) => !waiter(qualities));
    });
  });
  // Resolves once a JPEG picture of `quality` arrives.
  const jpegOf = (quality, timeoutMs = 30000) => new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`no JPEG of quality ${quality} within ${timeoutMs} ms`)),
                             timeoutMs);
    jpegWaiters.push((qualities) => {
      if (!qualities.includes(quality))
        return false;
      clearTimeout(timer);
      resolve();
      return true;
    });
  });
  const url = `${tls ? 'https' : 'http'}://127.0.0.1:${port}/`;
  await page.goto(url);
  assert.equal(await page.title(), 'Velmora · Soporte remoto');

  // An ID nobody has.
  const unknown = id === '123456789' ? '987654321' : '123456789';
  assert.equal(await enterId(page, unknown), false);
  assert.match(await message(page), /No hay ninguna sesión activa con ese ID/);
  console.log('unknown ID: message shown');

  // A wrong password: the VNC server's refusal, then the server's close with the wait.
  assert.equal(await enterId(page, id), true);
  await page.locator('#password').fill(wrong);
  await page.locator('#send-password').click();
  assert.match(await message(page),
               /^Contraseña incorrecta\. Podrá volver a intentarlo en \d+ segundos?\.$/);
  await page.screenshot({ path: path.join(artifacts, 'supporter-wrong-password.png') });
  await waitFor(server, new RegExp(`attempt refused id=${id} .*: wrong-password`));
  console.log('wrong password: message shown');

  // The agent comes back after its session (it reconnects every four seconds); then the right
  // password. The lock (1 s here) has passed by then, but a slow machine may still meet it.
  await waitFor(server, new RegExp(`agent online id=${id}`), 30000,
                server.output.lastIndexOf(`session end id=${id}`));
  await logInAfterLock(page, id, password);
  await waitFor(server, new RegExp(`password accepted id=${id}`));
  let share = 0;
  for (let i = 0; i < 100 && share < 0.3; ++i) {
    share = await desktopShare(page, desktopColour);
    if (share < 0.3)
      await page.evaluate(() => new Promise((resolve) => requestAnimationFrame(resolve)));
  }
  await page.screenshot({ path: path.join(artifacts, 'supporter-page.png') });
  assert.ok(share >= 0.3, `the desktop colour covers ${(share * 100).toFixed(1)} % of the canvas`);
  console.log(`right password: desktop shown (${(share * 100).toFixed(1)} % of the canvas is its colour)`);

  // The "Calidad" control, in Spanish, on "Automática" to begin with.
  assert.equal(await page.locator('label[for="quality"]').textContent(), 'Calidad');
  assert.deepEqual(await page.locator('#quality option').allTextContents(),
                   ['Automática', 'Alta', 'Media', 'Baja']);
  assert.equal(await page.locator('#quality').inputValue(), 'auto');

  // A desktop that changes all the time, with a photo-like picture that the server sends as JPEG.
  const desktop = start('desktop', desktopBin, [], {
    env: { ...process.env, DISPLAY: display }, stdio: ['pipe', 'pipe', 'pipe'] });
  await waitFor(desktop, /^ready \d+ \d+$/m);
  desktop.child.stdin.write('run\n');
  // Each fixed choice reaches the VNC server: its JPEG pictures come at that level's quality.
  for (const [choice, level] of [['baja', 2], ['alta', 8], ['media', 5]]) {
    const arrived = jpegOf(JPEG_QUALITY[level]);
    await page.locator('#quality').selectOption(choice);
    await page.locator(`#quality[data-level="${level}"]`).waitFor({ timeout: 5000 });
    await arrived;
    console.log(`Calidad "${choice}": JPEG pictures at quality ${JPEG_QUALITY[level]} (level ${level})`);
  }
  await page.locator('#quality[data-lossless="lossy"]').waitFor({ timeout: 10000 });
  await page.locator('#quality').selectOption('auto');
  const automatic = Number(await page.locator('#quality').getAttribute('data-level'));
  assert.ok(automatic >= 1 && automatic <= 6, `Automática chose level ${automatic}`);
  await jpegOf(JPEG_QUALITY[automatic]);
  console.log(`Calidad "auto": JPEG pictures at level ${automatic}`);
  await page.screenshot({ path: path.join(artifacts, 'supporter-changing.png') });

  // Once the desktop stops, the page asks again for what came as JPEG, losslessly: the canvas
  // must equal the desktop exactly (the server's own refresh at JPEG quality 100 is not exact).
  const stopped = desktop.output.length;
  desktop.child.stdin.write('stop\n');
  await waitFor(desktop, /^stopped /m, 10000, stopped);
  await page.locator('#quality[data-lossless="exact"]').waitFor({ timeout: 30000 });
  const shot = path.join(work, 'desktop.rgb');
  desktop.child.stdin.write(`dump ${shot}\n`);
  await waitFor(desktop, /^dumped /m, 10000, stopped);
  const difference = await compareWithDesktop(page, readFileSync(shot), 5000);
  await page.screenshot({ path: path.join(artifacts, 'supporter-exact.png') });
  assert.deepEqual(difference, { differing: 0, worst: 0 },
                   `canvas against desktop: ${difference.differing} pixels differ, by up to ${difference.worst}`);
  console.log('desktop stopped: the canvas equals the desktop pixel for pixel');

  // A second supporter finds the session busy.
  const other = await browser.newPage();
  await other.goto(url);
  assert.equal(await enterId(other, id), false);
  assert.equal(await message(other), 'Otro técnico ya está conectado a esa sesión.');
  await other.screenshot({ path: path.join(artifacts, 'supporter-busy.png') });
  console.log('second supporter: busy message shown');

  // The metrics count what happened.
  const metrics = await (await page.request.get(`${url}metrics`)).text();
  assert.match(metrics, /velmora_supporter_refusals_total\{reason="wrong-password"\} 1\n/);
  assert.match(metrics, /velmora_supporter_refusals_total\{reason="busy"\} 1\n/);
  assert.match(metrics, /velmora_handshakes_total\{outcome="success"\} 1\n/);

  // The supporter ends the session.
  await page.locator('#disconnect').click();
  assert.equal(await message(page), 'Sesión finalizada.');
  assert.deepEqual(violations, []);
  console.log('disconnected; no content security policy violations');
  assert.ok(sockets.length > 0);
  for (const socket of sockets)
    assert.ok(socket.startsWith(`${tls ? 'wss' : 'ws'}://127.0.0.1:${port}/viewer/`), socket);
  console.log(`every WebSocket of the page went to ${tls ? 'wss' : 'ws'}://127.0.0.1:${port}/viewer/`);
}

let failed = false;
try {
  await main();
} catch (error) {
  failed = true;
  console.error(error);
}
await cleanUp();
console.log(failed ? '0 passed, 1 failed' : '1 passed, 0 failed');
process.exit(failed ? 1 : 0);
