// The supporter's page end to end: velmora-server serves it, a real agent (the built `velmora`
// with the stand-in programs, so real TigerVNC and websockify) runs on a private Xvfb desktop
// painted a known colour, and headless Chromium plays the supporter: an unknown ID, a wrong
// password, the right one (the desktop's colour must appear in noVNC's canvas), and a second
// supporter who finds the session busy.
// With --tls the server serves the page over https (and its WebSocket over wss) with a certificate
// made for the run, and the agent, which speaks ws:// only, uses a plain listener beside it.
//   node supporter_page.mjs VELMORA_SERVER VELMORA_AGENT READPASSWORD_HELPER [--tls]
import { chromium } from 'playwright-core';
import { spawn, execFileSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, writeFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import assert from 'node:assert/strict';

const [serverBin, agentBin, readPasswordBin, mode] = process.argv.slice(2);
const tls = mode === '--tls';
const artifacts = path.join(process.env.VELMORA_ARTIFACT_DIR || tmpdir(), tls ? 'tls' : '');
mkdirSync(artifacts, { recursive: true });
const sourceDir = process.env.VELMORA_SOURCE_DIR || path.resolve(import.meta.dirname, '../..');
const desktopColour = [0x33, 0x66, 0xcc];

const work = mkdtempSync(path.join(tmpdir(), 'velmora-web-'));
const children = [];
let browser = null;

// A child process whose output is kept and can be waited on line by line.
function start(name, command, args, options = {}) {
  const child = spawn(command, args, { stdio: ['ignore', 'pipe', 'pipe'], ...options });
  const entry = { name, child, output: '', waiters: [] };
  const take = (data) => {
    entry.output += data.toString();
    entry.waiters = entry.waiters.filter((waiter) => !waiter());
  };
  child.stdout.on('data', take);
  child.stderr.on('data', take);
  child.on('exit', () => take(''));
  children.push(entry);
  return entry;
}

// Resolves with the first match of `pattern` in the output (counting from `from`), or fails after
// `timeoutMs`.
function waitFor(entry, pattern, timeoutMs = 20000, from = 0) {
  return new Promise((resolve, reject) => {
    const check = () => {
      const match = entry.output.slice(from).match(pattern);
      if (match) {
        clearTimeout(timer);
        resolve(match);
        return true;
      }
      return false;
    };
    const timer = setTimeout(() => {
      reject(new Error(`${entry.name}: no ${pattern} within ${timeoutMs} ms. Output:\n` +
                       entry.output.slice(-3000)));
    }, timeoutMs);
    if (!check())
      entry.waiters.push(check);
  });
}

async function cleanUp() {
  if (browser)
    await browser.close().catch(() => {});
  for (const { child } of children.reverse()) {
    if (child.exitCode === null && child.signalCode === null) {
      child.kill('SIGTERM');
      await new Promise((resolve) => {
        const timer = setTimeout(() => { child.kill('SIGKILL'); resolve(); }, 5000);
        child.on('exit', () => { clearTimeout(timer); resolve(); });
      });
    }
  }
  rmSync(work, { recursive: true, force: true });
}

// Shares of the canvas's pixels that are the desktop's colour.
async function desktopShare(page) {
  return page.evaluate((rgb) => {
    const canvas = document.querySelector('#screen canvas');
    if (!canvas || canvas.width === 0 || canvas.height === 0)
      return 0;
    const pixels = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
    let matching = 0;
    for (let i = 0; i < pixels.length; i += 4) {
      if (Math.abs(pixels[i] - rgb[0]) < 8 && Math.abs(pixels[i + 1] - rgb[1]) < 8 &&
          Math.abs(pixels[i + 2] - rgb[2]) < 8)
        ++matching;
    }
    return matching / (pixels.length / 4);
  }, desktopColour);
}

async function message(page) {
  const box = page.locator('#message');
  await box.waitFor({ state: 'visible', timeout: 20000 });
  return box.textContent();
}

// Enters the ID and waits for either the password prompt or a message.
async function enterId(page, id) {
  await page.locator('#session-id').fill(id);
  await page.locator('#connect').click();
  // Locator waits, not waitForFunction: the page's policy forbids the eval that the latter uses.
  await page.locator('#password-panel:not([hidden]), #message:not([hidden])').first()
    .waitFor({ timeout: 20000 });
  return page.locator('#password-panel').isVisible();
}

async function main() {
  // The desktop: a private X server painted a colour the canvas must show.
  const xvfb = start('Xvfb', 'Xvfb', ['-displayfd', '1', '-screen', '0', '1024x768x24', '-nolisten', 'tcp']);
  const display = ':' + (await waitFor(xvfb, /^(\d+)\s*$/m))[1];
  // A full-screen terminal in that colour (Xvfb's root window keeps no colour xsetroot gives it).
  start('xterm', 'xterm', ['-bg', '#3366cc', '-fg', '#3366cc', '-geometry', '400x200+0+0'],
                        { env: { ...process.env, DISPLAY: display } });


  // The certificates for --tls: a CA and a certificate for 127.0.0.1 that it signed.
  if (tls)
    execFileSync('bash', [path.join(sourceDir, 'tests/support/testcertificates.sh'), work]);
  const tlsArguments = ['--tls-cert', path.join(work, 'server.crt'),
                        '--tls-key', path.join(work, 'server.key'), '--plain-listen', '127.0.0.1:0'];

  // The server, with a short lock so that the right password can follow the wrong one soon.
  const server = start('velmora-server', serverBin, [
    '--listen', '127.0.0.1:0', '--secret-file', path.join(work, 'server.secret'),
    '--web', path.join(sourceDir, 'web'), '--lockout-base', '1', ...(tls ? tlsArguments : [])]);
  const port = Number((await waitFor(server, /listening on 127\.0\.0\.1:(\d+)/))[1]);
  const agentPort = tls
    ? Number((await waitFor(server, /listening on 127\.0\.0\.1:(\d+) \(plain\)/))[1]) : port;
  await waitFor(server, /serving noVNC from/);

  // The agent, as the helped person starts it: in its own folder with velmora.conf, the
  // stand-ins for the Windows programs first on PATH (the test environment sets that).
  const agentDir = path.join(work, 'agent');
  execFileSync('mkdir', ['-p', agentDir]);
  writeFileSync(path.join(agentDir, 'velmora.conf'), `server_host: 127.0.0.1\nserver_port: ${agentPort}\n`);
  const agent = start('velmora', agentBin, [], {
    cwd: agentDir,
    env: { ...process.env, DISPLAY: display, QT_QPA_PLATFORM: 'xcb' },
  });
  const id = (await waitFor(agent, /Your ID:\s+"?(\d{9})/, 60000))[1];
  await waitFor(server, new RegExp(`agent online id=${id}`));
  const password = execFileSync(readPasswordBin, [path.join(agentDir, 'vnc_password_session.dat')])
    .toString().trim();
  assert.match(password, /^\d{4}$/);
  const wrong = String((Number(password) + 1) % 10000).padStart(4, '0');

  // A fresh profile every run.
  browser = await chromium.launchPersistentContext(path.join(work, 'chromium'), {
    executablePath: '/usr/bin/chromium',
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    viewport: { width: 1100, height: 800 },
    // The certificate made for the run is signed by a CA that Chromium does not know.
    ignoreHTTPSErrors: tls,
  });
  const page = await browser.newPage();
  const violations = [];
  page.on('console', (entry) => {
    if (/Content Security Policy|Refused to/.test(entry.text()))
      violations.push(entry.text());
  });
  const sockets = [];
  page.on('websocket', (socket) => sockets.push(socket.url()));
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
  let prompted = false;
  for (let tries = 0; tries < 10 && !prompted; ++tries) {
    prompted = await enterId(page, id);
    if (!prompted) {
      const text = await message(page);
      // Only the lock can still be running; the server says how long.
      assert.match(text, /Por seguridad/);
      const seconds = Number((text.match(/(\d+) segundos?/) || [0, 1])[1]);
      await page.waitForTimeout(seconds * 1000);
    }
  }
  assert.ok(prompted, 'the password prompt came back');
  await page.locator('#password').fill(password);
  await page.locator('#send-password').click();
  await page.locator('#status', { hasText: `Conectado a ${id}` }).waitFor({ timeout: 30000 });
  await waitFor(server, new RegExp(`password accepted id=${id}`));
  let share = 0;
  for (let i = 0; i < 100 && share < 0.3; ++i) {
    share = await desktopShare(page);
    if (share < 0.3)
      await page.evaluate(() => new Promise((resolve) => requestAnimationFrame(resolve)));
  }
  await page.screenshot({ path: path.join(artifacts, 'supporter-page.png') });
  assert.ok(share >= 0.3, `the desktop colour covers ${(share * 100).toFixed(1)} % of the canvas`);
  console.log(`right password: desktop shown (${(share * 100).toFixed(1)} % of the canvas is its colour)`);

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
