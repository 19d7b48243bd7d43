// The Windows package whole, with nothing stood in: velmora-win32.zip unpacked in a folder,
// velmora.exe under Wine on a private Xvfb desktop with openbox, starting the winvnc4.exe and
// websockify.exe that came with it; the Linux velmora-server; headless Chromium as the supporter.
// A Windows window with a known text and colour is on top of the desktop (tests/web/win32, built
// with the Windows build): the first session (as soon as the agent is online, so winvnc4.exe may
// still be starting) must show it in the canvas, and a click and keys typed in the page must reach
// it (it reports them on its standard output), and the clipboard must cross both ways. The
// session ends from the page; a wrong password is refused; a second session works; a native
// viewer sees the desktop through velmora-connect; winvnc4.exe's log is where LEEME.txt says.
// Then either program missing from the folder stops the agent's start-up at that program.
// Prints the time from the start of velmora.exe to "Listo".
//   node winechain.mjs VELMORA_SERVER VELMORA_WIN32_ZIP READPASSWORD_HELPER VELMORA_CONNECT
import { execFileSync } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, readdirSync, renameSync, rmSync, statSync,
         writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import assert from 'node:assert/strict';

import { ChildProcesses, waitFor } from './childprocesses.mjs';
import { startDisplay, startServer, launchBrowser, enterId, logIn, logInAfterLock, message, pointOf,
         desktopShare } from './session.mjs';

const [serverBin, zip, readPasswordBin, connectBin] = process.argv.slice(2);
const artifacts = process.env.VELMORA_ARTIFACT_DIR || tmpdir();
const sourceDir = process.env.VELMORA_SOURCE_DIR ||
  path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const wineRun = path.join(sourceDir, 'scripts/wine-run.sh');
// A prefix of this test's own beside the Windows build, made once (about 20 s) and kept.
const winePrefix = path.join(path.dirname(zip), 'wine-chain');
// The recorder's colour, and what is typed to it.
const desktopColour = [0x33, 0x66, 0xcc];
const screen = { width: 1024, height: 768 };
const typed = 'hola';
const recorderExe = path.join(path.dirname(zip), 'tests/bin/recorder.exe');

for (const tool of ['wine', 'wineserver', 'openbox', 'xdotool', 'import', 'convert', 'vncsnapshot']) {
  try {
    execFileSync('sh', ['-c', `command -v ${tool}`], { stdio: 'ignore' });
  } catch {
    console.log(`SKIP: ${tool} is not installed (scripts/install-deps.sh --test)`);
    process.exit(77);
  }
}

const work = mkdtempSync(path.join(tmpdir(), 'velmora-winechain-'));
const children = new ChildProcesses();
const start = children.start.bind(children);
let browser = null;
let wineEnv = null;

async function cleanUp() {
  if (browser)
    await browser.close().catch(() => {});
  await children.stopAll();
  if (wineEnv)
    try { execFileSync('wineserver', ['-k'], { env: wineEnv, stdio: 'ignore' }); } catch {}
  rmSync(work, { recursive: true, force: true });
}

// A Windows path for a file here, through Wine's Z: drive.
const windowsPath = (file) => 'Z:' + file.replace(/\//g, '\\');

// Resolves once `check` returns a true value (with that value), testing at every turn of
// `intervalMs`; fails after `timeoutMs` with `what`.
async function until(what, check, timeoutMs = 30000, intervalMs = 100) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = await check();
    if (value)
      return value;
    if (Date.now() > deadline)
      throw new Error(`${what} within ${timeoutMs} ms`);
    await new Promise((resolve) => setTimeout(resolve, intervalMs));
  }
}

// The X screen's pixels, as raw RGB.
function screenPixels(env) {
  return execFileSync('import', ['-window', 'root', '-depth', '8', 'rgb:-'], { env, maxBuffer: 1 << 24 });
}

// Pixels of `rect` where the canvas and `rgb` (the whole screen, raw RGB) differ by more than
// `tolerance` in a channel (the first pictures may come as JPEG); retried at every animation frame
// until none or `timeoutMs`.
async function canvasAgainst(page, rgb, rect, tolerance, timeoutMs) {
  return page.evaluate(async ({ base64, rect, width, tolerance, timeoutMs }) => {
    const text = atob(base64);
    const canvas = document.querySelector('#screen canvas');
    const deadline = performance.now() + timeoutMs;
    for (;;) {
      let differing = 0;
      if (canvas && canvas.width >= rect.x + rect.w && canvas.height >= rect.y + rect.h) {
        const data = canvas.getContext('2d').getImageData(rect.x, rect.y, rect.w, rect.h).data;
        for (let y = 0; y < rect.h; ++y) {
          for (let x = 0; x < rect.w; ++x) {
            const i = (y * rect.w + x) * 4, j = ((rect.y + y) * width + rect.x + x) * 3;
            for (let c = 0; c < 3; ++c) {
              if (Math.abs(data[i + c] - text.charCodeAt(j + c)) > tolerance) {
                ++differing;
                break;
              }
            }
          }
        }
      } else {
        differing = rect.w * rect.h;
      }
      if (differing === 0 || performance.now() > deadline)
        return differing;
      await new Promise((resolve) => requestAnimationFrame(resolve));
    }
  }, { base64: rgb.toString('base64'), rect, width: screen.width, tolerance, timeoutMs });
}

// Once the agent is online again after the session that ended last.
function agentBack(server, id) {
  return waitFor(server, new RegExp(`agent online id=${id}`), 60000,
                 server.output.lastIndexOf(`session end id=${id}`));
}

async function main() {
  assert.ok(existsSync(zip), `${zip} is missing (scripts/win32-build.sh makes it)`);

  assert.ok(existsSync(recorderExe), `${recorderExe} is missing (scripts/win32-build.sh makes it)`);

  // The helped person's desktop: a private X server with a window manager, nothing but Wine's
  // windows on it.
  const display = await startDisplay(children, screen);
  const xEnv = { ...process.env, DISPLAY: display };
  start('openbox', 'openbox', [], { env: xEnv });

  // The package as the person gets it, unpacked in a folder of its own.
  const agentDir = path.join(work, 'Velmora');
  mkdirSync(agentDir);
  execFileSync('cmake', ['-E', 'tar', 'xf', zip], { cwd: agentDir });
  assert.deepEqual(readdirSync(agentDir).sort(),
                   ['LEEME.txt', 'licencias', 'velmora.conf', 'velmora.exe', 'websockify.exe', 'winvnc4.exe']);
  assert.ok(readdirSync(path.join(agentDir, 'licencias')).some((name) => /TigerVNC/.test(name)));
  assert.ok(existsSync(zip.replace(/velmora-win32\.zip$/, 'velmora-win32-fuentes.tar')),
            'the source archive beside the zip');

  const { server, port } = await startServer(children, {
    serverBin, work, sourceDir, extraArgs: ['--lockout-base', '1'] });
  writeFileSync(path.join(agentDir, 'velmora.conf'),
                `server_host: 127.0.0.1\r\nserver_port: ${port}\r\n`);

  // Wine, as a fresh Windows: no C:\temp, where winvnc4.exe writes its log.
  wineEnv = { ...xEnv, WINEPREFIX: winePrefix };
  execFileSync(wineRun, ['cmd', '/c', 'exit', '0'], { env: wineEnv, stdio: 'ignore' });
  const wineTemp = path.join(winePrefix, 'drive_c/temp');
  rmSync(wineTemp, { recursive: true, force: true });

  // The recorder: always on top, so it stays above the agent's window that opens later.
  const recorder = start('recorder.exe', wineRun, [windowsPath(recorderExe)],
                         { env: wineEnv, stdio: ['pipe', 'pipe', 'pipe'] });
  const ask = (line) => recorder.child.stdin.write(`${line}\n`);
  await waitFor(recorder, /^ready\r?$/m, 120000);
  // Where its client area is, as it last reported it (the window manager places it once mapped).
  const geometry = await until('the recorder placed', () => {
    const places = [...recorder.output.matchAll(/^place (-?\d+) (-?\d+) (\d+) (\d+)/gm)];
    const [x, y, w, h] = places.length ? places[places.length - 1].slice(1).map(Number) : [];
    return w >= 600 && h >= 400 && x >= 0 && y >= 0 && x + w <= screen.width && y + h <= screen.height &&
      { X: x, Y: y, WIDTH: w, HEIGHT: h };
  });
  const window = { x: geometry.X, y: geometry.Y, w: geometry.WIDTH, h: geometry.HEIGHT };
  console.log(`recorder at ${JSON.stringify(window)}`);

  // velmora.exe as the person starts it: a double click in the folder.
  const started = performance.now();
  const agent = start('velmora.exe', wineRun, [path.join(agentDir, 'velmora.exe')],
                      { cwd: agentDir, env: wineEnv });
  const id = (await waitFor(agent, /Your ID:\s+"?(\d{9})/, 120000))[1];
  await waitFor(server, new RegExp(`agent online id=${id}`));
  const ready = (performance.now() - started) / 1000;
  console.log(`from the start of velmora.exe to "Listo": ${ready.toFixed(1)} s`);
  const password = execFileSync(readPasswordBin, [path.join(agentDir, 'vnc_password_session.dat')])
    .toString().trim();
  assert.match(password, /^\d{4}$/);

  // The first session at once.
  browser = await launchBrowser(work, { viewport: { width: 1200, height: 900 } });
  const page = await browser.newPage();
  const url = `http://127.0.0.1:${port}/`;
  await page.goto(url);
  await logIn(page, id, password);
  await until('the desktop colour in the canvas', async () => await desktopShare(page, desktopColour) >= 0.3);
  // The recorder with its text, as the X server shows it.
  const before = screenPixels(xEnv);
  const differing = await canvasAgainst(page, before, window, 48, 20000);
  await page.screenshot({ path: path.join(artifacts, 'wine-chain-page.png') });
  assert.ok(differing <= window.w * window.h / 200,
            `${differing} pixels of the recorder's window differ between the canvas and the screen`);
  console.log(`first session: the recorder in the canvas (${differing} pixels off)`);

  // A click at a known point of the recorder, then keys: they reach it once the click has made it
  // the foreground window.
  const point = { x: Math.round(window.w / 2), y: Math.round(window.h * 2 / 3) };
  const at = await pointOf(page, '#screen canvas', window.x + point.x, window.y + point.y, screen);
  const clicks = recorder.output.length;
  await page.mouse.click(at.x, at.y);
  const [, cx, cy] = (await waitFor(recorder, /^click (-?\d+) (-?\d+)/m, 20000, clicks)).map(Number);
  assert.ok(Math.abs(cx - point.x) <= 2 && Math.abs(cy - point.y) <= 2,
            `the click reached the recorder at ${cx},${cy}, not ${point.x},${point.y}`);
  const keys = recorder.output.length;
  await page.keyboard.type(typed);
  const got = await until('the typed characters at the recorder', () => {
    const text = [...recorder.output.slice(keys).matchAll(/^char (\d+)/gm)]
      .map((m) => String.fromCharCode(Number(m[1]))).join('');
    return text.length >= typed.length && text;
  }, 20000).catch((error) => error.message);
  execFileSync('import', ['-window', 'root', path.join(artifacts, 'wine-chain-desktop.png')], { env: xEnv });
  await page.screenshot({ path: path.join(artifacts, 'wine-chain-typed.png') });
  assert.equal(got, typed);
  console.log(`click and keys reached the recorder: a click at ${cx},${cy}, ${JSON.stringify(got)} typed`);

  // The clipboard both ways, with "ñ" and "€": the Windows clipboard's text appears in the page's
  // panel, and what the supporter sends from there lands on the Windows clipboard.
  await page.locator('#clipboard-toggle').click();
  const remoteText = 'Contraseña del wifi: 15 € (niño)';
  const owned = recorder.output.length;
  ask(`set-clipboard ${remoteText}`);
  await waitFor(recorder, /^owned\r?$/m, 20000, owned);
  const panel = page.locator('#clipboard-text');
  let shown = '';
  await until('the Windows clipboard in the page', async () => (shown = await panel.inputValue()) === remoteText,
              20000).catch(() => {});
  assert.equal(shown, remoteText, 'the Windows clipboard as the page shows it');
  const localText = 'Año 2026 · 20 € · señal';
  await panel.fill(localText);
  await page.locator('#clipboard-send').click();
  let remote = '';
  await until('the page\'s text on the Windows clipboard', async () => {
    const asked = recorder.output.length;
    ask('get-clipboard');
    remote = (await waitFor(recorder, /^clipboard (.*?)\r?$/m, 10000, asked))[1];
    return remote === localText;
  }, 20000, 250).catch(() => {});
  assert.equal(remote, localText, 'the Windows clipboard after the page sent its text');
  await page.locator('#clipboard-toggle').click();
  console.log(`clipboard both ways: ${JSON.stringify(remoteText)} to the page, ${JSON.stringify(localText)} to Windows`);

  // The supporter ends the session from the page.
  await page.locator('#disconnect').click();
  assert.equal(await message(page), 'Sesión finalizada.');
  await waitFor(server, new RegExp(`session end id=${id}`));
  console.log('session ended from the page');

  // A wrong password: winvnc4.exe refuses it.
  await agentBack(server, id);
  const wrong = String((Number(password) + 1) % 10000).padStart(4, '0');
  assert.equal(await enterId(page, id), true);
  await page.locator('#password').fill(wrong);
  await page.locator('#send-password').click();
  assert.match(await message(page), /^Contraseña incorrecta\./);
  await waitFor(server, new RegExp(`attempt refused id=${id} .*: wrong-password`));
  console.log('wrong password refused');

  // A second session, once the agent is back and the short lock has passed.
  await agentBack(server, id);
  await logInAfterLock(page, id, password);
  await until('the desktop colour in the second session', async () => await desktopShare(page, desktopColour) >= 0.3);
  await page.screenshot({ path: path.join(artifacts, 'wine-chain-second.png') });
  await page.locator('#disconnect').click();
  assert.equal(await message(page), 'Sesión finalizada.');
  console.log('second session: desktop shown, ended from the page');

  // A native viewer through velmora-connect.
  await agentBack(server, id);
  const bridge = start('velmora-connect', connectBin, [
    '--server', `ws://127.0.0.1:${port}`, '--id', id, '--listen', '127.0.0.1:0']);
  const bridgePort = (await waitFor(bridge, /127\.0\.0\.1:(\d+)/))[1];
  const snapshot = path.join(artifacts, 'wine-chain-viewer.jpg');
  execFileSync('vncsnapshot', ['-quiet', '-encodings', 'raw', '-passwd',
                               path.join(agentDir, 'vnc_password_session.dat'),
                               `127.0.0.1::${bridgePort}`, snapshot], { timeout: 60000 });
  const centre = `1x1+${window.x + Math.round(window.w / 2)}+${window.y + Math.round(window.h / 2)}`;
  const pixel = execFileSync('convert', [snapshot, '-crop', centre, '-depth', '8', 'txt:-'])
    .toString().match(/#([0-9A-F]{6})/i)[1];
  const rgb = [0, 2, 4].map((i) => parseInt(pixel.slice(i, i + 2), 16));
  assert.ok(rgb.every((v, i) => Math.abs(v - desktopColour[i]) < 16), `viewer's pixel #${pixel}`);
  console.log(`native viewer through velmora-connect: desktop shown (#${pixel})`);

  // winvnc4.exe's own log, where LEEME.txt says, although the folder was not there.
  const log = path.join(wineTemp, 'WinVNC4.log');
  assert.ok(existsSync(log) && statSync(log).size > 0, `${log} is missing or empty`);
  console.log(`winvnc4.exe logged ${statSync(log).size} bytes to C:\\temp\\WinVNC4.log`);

  // Either program missing from the folder: the window stays at "Iniciando..." (the chain stops
  // at that program) and the agent never comes online.
  await stop(agent);
  for (const [program, error, next] of [
    ['winvnc4.exe', /VNC Server errorOccurred QProcess::FailedToStart/, /VNCWsProxy|Your ID/],
    ['websockify.exe', /VNCWsProxy errorOccurred QProcess::FailedToStart/, /Your ID/]]) {
    const aside = path.join(work, program);
    renameSync(path.join(agentDir, program), aside);
    const online = server.output.length;
    const lacking = start(`velmora.exe without ${program}`, wineRun,
                          [path.join(agentDir, 'velmora.exe')], { cwd: agentDir, env: wineEnv });
    await waitFor(lacking, error, 120000);
    await stop(lacking);
    assert.doesNotMatch(lacking.output.slice(lacking.output.search(error)), next);
    assert.doesNotMatch(server.output.slice(online), /agent online/);
    renameSync(aside, path.join(agentDir, program));
    console.log(`${program} missing: the agent reports it and goes no further`);
  }
}

// Ends a child and waits for it.
async function stop(entry) {
  if (entry.child.exitCode !== null || entry.child.signalCode !== null)
    return;
  const ended = new Promise((resolve) => entry.child.on('exit', resolve));
  entry.child.kill('SIGTERM');
  await ended;
}

let failed = false;
try {
  await main();
} catch (error) {
  failed = true;
  console.error(error);
  for (const entry of children.entries)
    console.error(`--- ${entry.name}\n${entry.output.slice(-2000)}`);
}
await cleanUp();
console.log(failed ? '0 passed, 1 failed' : '1 passed, 0 failed');
process.exit(failed ? 1 : 0);
