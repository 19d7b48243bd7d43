// What the browser tests share: a private Xvfb desktop, velmora-server serving the page, the real
// agent (with the stand-ins for the Windows programs, so real TigerVNC and websockify), headless
// Chromium, and the supporter's steps on the page.
import { chromium } from 'playwright-core';
import { execFileSync } from 'node:child_process';
import { mkdirSync, writeFileSync } from 'node:fs';
import path from 'node:path';

import { waitFor } from './childprocesses.mjs';

// A private X server; resolves with its display name (":N").
export async function startDisplay(children, { width = 1024, height = 768 } = {}) {
  const xvfb = children.start('Xvfb', 'Xvfb', ['-displayfd', '1', '-screen', '0',
                                               `${width}x${height}x24`, '-nolisten', 'tcp']);
  return ':' + (await waitFor(xvfb, /^(\d+)\s*$/m))[1];
}

// velmora-server on a free port, serving the page from the source tree. Resolves with the entry
// and its port (and the plain port for agents, when `extraArgs` asks for a TLS listener).
export async function startServer(children, { serverBin, work, sourceDir, extraArgs = [] }) {
  const server = children.start('velmora-server', serverBin, [
    '--listen', '127.0.0.1:0', '--secret-file', path.join(work, 'server.secret'),
    '--web', path.join(sourceDir, 'web'), ...extraArgs]);
  const port = Number((await waitFor(server, /listening on 127\.0\.0\.1:(\d+)/))[1]);
  const plain = extraArgs.includes('--plain-listen')
    ? Number((await waitFor(server, /listening on 127\.0\.0\.1:(\d+) \(plain\)/))[1]) : port;
  await waitFor(server, /serving noVNC from/);
  return { server, port, agentPort: plain };
}

// The agent, as the helped person starts it: in its own folder with velmora.conf (the test
// environment puts the stand-ins first on PATH). Resolves with its entry, its session ID, the
// password read from its password file, and its VNC server's port.
export async function startAgent(children, { agentBin, readPasswordBin, work, display, port, server }) {
  const agentDir = path.join(work, 'agent');
  mkdirSync(agentDir, { recursive: true });
  writeFileSync(path.join(agentDir, 'velmora.conf'), `server_host: 127.0.0.1\nserver_port: ${port}\n`);
  const agent = children.start('velmora', agentBin, [], {
    cwd: agentDir,
    env: { ...process.env, DISPLAY: display, QT_QPA_PLATFORM: 'xcb' },
  });
  const id = (await waitFor(agent, /Your ID:\s+"?(\d{9})/, 60000))[1];
  const vncPort = Number((await waitFor(agent, /VNC port:\s+"?(\d+)/))[1]);
  await waitFor(server, new RegExp(`agent online id=${id}`));
  const password = execFileSync(readPasswordBin, [path.join(agentDir, 'vnc_password_session.dat')])
    .toString().trim();
  return { agent, id, password, vncPort, agentDir };
}

// Headless Chromium with a fresh profile.
export function launchBrowser(work, { viewport = { width: 1100, height: 800 }, ignoreHTTPSErrors = false } = {}) {
  return chromium.launchPersistentContext(path.join(work, 'chromium'), {
    executablePath: '/usr/bin/chromium',
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    viewport,
    ignoreHTTPSErrors,
  });
}

// The page's message box, once shown.
export async function message(page) {
  const box = page.locator('#message');
  await box.waitFor({ state: 'visible', timeout: 20000 });
  return box.textContent();
}

// Enters the ID and waits for either the password prompt (true) or a message (false).
export async function enterId(page, id) {
  await page.locator('#session-id').fill(id);
  await page.locator('#connect').click();
  // Locator waits, not waitForFunction: the page's policy forbids the eval that the latter uses.
  await page.locator('#password-panel:not([hidden]), #message:not([hidden])').first()
    .waitFor({ timeout: 20000 });
  return page.locator('#password-panel').isVisible();
}

// The right password at the prompt; resolves once the page shows the session connected.
async function sendPassword(page, id, password) {
  await page.locator('#password').fill(password);
  await page.locator('#send-password').click();
  await page.locator('#status', { hasText: `Conectado a ${id}` }).waitFor({ timeout: 30000 });
}

// The ID and the right password; resolves once the page shows the session connected.
export async function logIn(page, id, password) {
  if (!await enterId(page, id))
    throw new Error(`no password prompt for ${id}: ${await message(page)}`);
  await sendPassword(page, id, password);
}

// logIn() after a wrong password: the ID may still be locked for the seconds the server's message
// names, so the ID is entered again once they have passed, up to `tries` times.
export async function logInAfterLock(page, id, password, tries = 10) {
  for (let attempt = 0; attempt < tries; ++attempt) {
    if (await enterId(page, id))
      return sendPassword(page, id, password);
    // Only the lock can still be running; the server says how long.
    const text = await message(page);
    if (!/Por seguridad/.test(text))
      throw new Error(`no password prompt for ${id}: ${text}`);
    const seconds = Number((text.match(/(\d+) segundos?/) || [0, 1])[1]);
    await page.waitForTimeout(seconds * 1000);
  }
  throw new Error(`the password prompt for ${id} did not come back`);
}

// The page's point for a point of the remote screen.
export async function pointOf(page, canvas, x, y, size) {
  const box = await page.locator(canvas).boundingBox();
  return { x: box.x + (x + 0.5) * box.width / size.width, y: box.y + (y + 0.5) * box.height / size.height };
}

// Share of the canvas's pixels that are the desktop's colour.
export async function desktopShare(page, rgb) {
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
  }, rgb);
}
