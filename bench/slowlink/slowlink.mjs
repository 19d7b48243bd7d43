// The supporter's picture over a slow link: our page (velmora-server, the real agent with its
// stand-ins) against noVNC's own page through plain websockify to the same TigerVNC, in
// alternating trials, on a link shaped with tbf between network namespaces.
//
//   agent ns  (agent, TigerVNC, its websockify, the direct websockify)
//     |  veth, tbf at the uplink rate on the agent's side (the helped person's upload);
//     |  optionally through a delay line that adds delay and loss
//   server ns (velmora-server; routes between the two links)
//     |  veth, tbf at the downlink rate when one is given (the supporter's download)
//   browser ns (Chromium)
//
// Both paths cross both links: ours as agent -> server -> browser, direct noVNC as browser ->
// websockify in the agent's namespace, routed through the server's.
//
// The desktop (velmora-slowlink-desktop on Xvfb; with --wine, its Windows build under Wine on the
// same Xvfb) paints numbered frames; a script in the page reads the number from the canvas at
// every animation frame. Per trial it prints the time from the password being sent to the first
// desktop pixels, frames per second and latency (frame painted to frame shown) while the desktop
// changes, bytes per frame on the uplink, and the time from the last change until the canvas
// equals the desktop pixel for pixel.
//
// Run by run.sh, which checks what it needs; see there for the options.

import { execFileSync } from 'node:child_process';
import { mkdtempSync, writeFileSync, readFileSync, rmSync, chmodSync, mkdirSync, existsSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

import { ChildProcesses, waitFor } from '../../tests/web/childprocesses.mjs';

const sourceDir = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const { chromium } = await import(
  pathToFileURL(path.join(sourceDir, 'tests/web/node_modules/playwright-core/index.mjs')).href);

// ---------------------------------------------------------------------------------------------
// Options

function usage(message) {
  if (message)
    console.error(message);
  console.error(`usage: slowlink.mjs --server BIN --agent BIN --readpassword BIN --desktop BIN
    --delayline BIN
    [--rates 2,10,50,0]   uplink rates in Mbit/s; 0 is unshaped
    [--trials N]          trials per path and rate (default 3)
    [--seconds S]         measured seconds per trial while the desktop changes (default 10)
    [--warmup S]          seconds after the first picture before measuring (default 3)
    [--downlink MBIT]     also shape the supporter's download
    [--deflate LEVEL]     the server offers permessage-deflate at zlib LEVEL (0-9) to our page
    [--delay MS]          one-way delay on the uplink path (through the delay line)
    [--loss PERCENT]      packet loss on the uplink path, both directions
    [--paths ours,direct] which pages to run
    [--quality MODE]      our page's "Calidad": auto, alta, media, baja (default auto)
    [--web DIR]           serve our page from DIR instead of web/ (to compare two versions)
    [--wine ZIP]          the Windows agent instead: velmora-win32.zip unpacked, velmora.exe
                          under Wine with the winvnc4.exe and websockify.exe that came with it,
                          and the desktop drawn by a Windows program under Wine too
    [--wine-desktop EXE]  that Windows program (default: bench/slowlink/velmora-slowlink-desktop.exe
                          of the Windows build that holds ZIP)
    [--trace]             print the page's WebSocket messages from the password to the first
                          picture (time, size, first bytes)
    [--keep DIR]          save the canvas and the desktop of every trial that did not end exact
    [--check]             exit 1 unless every trial worked: pictures on both paths while the
                          desktop changed, our canvas exact within the 10 s allowed and showing
                          the last frame, and, on an uplink of 10 Mbit/s or less (which the
                          desktop fills), Automática below noVNC's default level
    [--targets]           exit 1 unless, at the first rate, our median frame rate is at least
                          direct's, our canvas was exact within 2 s in every trial and our median
                          time to the first picture at most 1.2 times direct's`);
  process.exit(2);
}

function parseOptions(argv) {
  const options = {
    rates: [2, 10, 50, 0], trials: 3, seconds: 10, warmup: 3, downlink: 0, delay: 0, loss: 0,
    paths: ['ours', 'direct'], quality: 'auto', check: false, targets: false,
  };
  for (let i = 0; i < argv.length; ++i) {
    const flag = argv[i];
    if (flag === '--check' || flag === '--targets' || flag === '--trace') {
      options[flag.slice(2)] = true;
      continue;
    }
    const value = argv[++i];
    if (value === undefined)
      usage(`${flag} needs a value`);
    const number = Number(value);
    switch (flag) {
    case '--server': options.server = value; break;
    case '--agent': options.agent = value; break;
    case '--readpassword': options.readPassword = value; break;
    case '--desktop': options.desktop = value; break;
    case '--delayline': options.delayLine = value; break;
    case '--rates':
      options.rates = value.split(',').map(Number);
      if (options.rates.some((rate) => !(rate >= 0)))
        usage('--rates takes Mbit/s, 0 for unshaped');
      break;
    case '--trials': options.trials = number; break;
    case '--seconds': options.seconds = number; break;
    case '--warmup': options.warmup = number; break;
    case '--downlink': options.downlink = number; break;
    case '--deflate': options.deflate = number; break;
    case '--delay': options.delay = number; break;
    case '--loss': options.loss = number; break;
    case '--paths': options.paths = value.split(','); break;
    case '--quality': options.quality = value; break;
    case '--keep': options.keep = path.resolve(value); break;
    case '--web': options.web = path.resolve(value); break;
    case '--wine': options.wine = path.resolve(value); break;
    case '--wine-desktop': options.wineDesktop = path.resolve(value); break;
    default: usage(`unknown option ${flag}`);
    }
  }
  for (const name of ['server', 'agent', 'readPassword', 'desktop', 'delayLine'])
    if (!options[name])
      usage(`missing --${name.toLowerCase()}`);
  if (!(options.trials >= 1 && options.seconds > 0 && options.warmup >= 0 && options.downlink >= 0 &&
        options.delay >= 0 && options.loss >= 0 && options.loss < 100 &&
        (options.deflate === undefined || (Number.isInteger(options.deflate) &&
                                           options.deflate >= 0 && options.deflate <= 9))))
    usage('a number is out of range');
  if (options.paths.some((p) => p !== 'ours' && p !== 'direct'))
    usage('--paths takes ours and direct');
  if (!['auto', 'alta', 'media', 'baja'].includes(options.quality))
    usage('--quality takes auto, alta, media or baja');
  if (options.wineDesktop && !options.wine)
    usage('--wine-desktop goes with --wine');
  if (options.wine) {
    options.wineDesktop ??=
      path.join(path.dirname(options.wine), 'bench/slowlink/velmora-slowlink-desktop.exe');
    if (!existsSync(options.wineDesktop))
      usage(`${options.wineDesktop} is not built (scripts/win32-build.sh)`);
  }
  return options;
}

const options = parseOptions(process.argv.slice(2));
// The Windows agent's own Wine prefix beside its build, made on first use and kept.
if (options.wine)
  process.env.WINEPREFIX = path.join(path.dirname(options.wine), 'wine-bench');

// ---------------------------------------------------------------------------------------------
// Processes

const work = mkdtempSync(path.join(tmpdir(), 'velmora-slowlink-'));
const children = new ChildProcesses();
const start = children.start.bind(children);
const namespaces = [];
let browser = null;

function run(command, args) {
  return execFileSync(command, args, { stdio: ['ignore', 'pipe', 'pipe'] }).toString();
}

function inNs(ns, command, args) {
  return run('ip', ['netns', 'exec', ns, command, ...args]);
}

async function cleanUp() {
  if (browser)
    await browser.close().catch(() => {});
  await children.stopAll();
  if (options.wine)
    try { run('wineserver', ['-k']); } catch {}
  for (const ns of namespaces) {
    try {
      run('ip', ['netns', 'del', ns]);
    } catch {
      // Already gone.
    }
  }
  rmSync(work, { recursive: true, force: true });
}

// ---------------------------------------------------------------------------------------------
// The network

const tag = `vsl${process.pid}`;
const ns = { agent: `${tag}a`, server: `${tag}s`, browser: `${tag}b`, line: `${tag}d` };
const address = { agent: '10.71.1.1', serverUp: '10.71.1.2', serverDown: '10.71.2.2', browser: '10.71.2.1' };
// Interface names live inside their namespaces, so they need not be unique on the machine.
const uplinkDevice = 'up0';

function setUpNetwork() {
  for (const name of [ns.agent, ns.server, ns.browser]) {
    run('ip', ['netns', 'add', name]);
    namespaces.push(name);
    // IPv4 only: an IPv6 address that appears a moment after the link is up makes Chromium drop
    // the page's loads with ERR_NETWORK_CHANGED.
    inNs(name, 'sysctl', ['-q', '-w', 'net.ipv6.conf.all.disable_ipv6=1']);
    inNs(name, 'sysctl', ['-q', '-w', 'net.ipv6.conf.default.disable_ipv6=1']);
    inNs(name, 'ip', ['link', 'set', 'lo', 'up']);
  }
  if (options.delay > 0 || options.loss > 0) {
    // The agent's link to the server runs through a namespace where the delay line forwards
    // frames between two interfaces that have no addresses of their own.
    run('ip', ['netns', 'add', ns.line]);
    namespaces.push(ns.line);
    run('ip', ['link', 'add', uplinkDevice, 'netns', ns.agent, 'type', 'veth', 'peer', 'name',
               'la', 'netns', ns.line]);
    run('ip', ['link', 'add', 'ls', 'netns', ns.line, 'type', 'veth', 'peer', 'name', 'toagent',
               'netns', ns.server]);
    // No addresses, no IPv6 chatter of its own: the namespace only forwards.
    inNs(ns.line, 'sysctl', ['-q', '-w', 'net.ipv6.conf.all.disable_ipv6=1']);
    inNs(ns.line, 'sysctl', ['-q', '-w', 'net.ipv6.conf.default.disable_ipv6=1']);
    for (const device of ['la', 'ls'])
      inNs(ns.line, 'ip', ['link', 'set', device, 'up']);
  } else {
    run('ip', ['link', 'add', uplinkDevice, 'netns', ns.agent, 'type', 'veth', 'peer', 'name',
               'toagent', 'netns', ns.server]);
  }
  run('ip', ['link', 'add', 'tobrowser', 'netns', ns.server, 'type', 'veth', 'peer', 'name', 'down0',
             'netns', ns.browser]);
  inNs(ns.agent, 'ip', ['addr', 'add', `${address.agent}/24`, 'dev', uplinkDevice]);
  inNs(ns.agent, 'ip', ['link', 'set', uplinkDevice, 'up']);
  inNs(ns.agent, 'ip', ['route', 'add', 'default', 'via', address.serverUp]);
  inNs(ns.server, 'ip', ['addr', 'add', `${address.serverUp}/24`, 'dev', 'toagent']);
  inNs(ns.server, 'ip', ['addr', 'add', `${address.serverDown}/24`, 'dev', 'tobrowser']);
  inNs(ns.server, 'ip', ['link', 'set', 'toagent', 'up']);
  inNs(ns.server, 'ip', ['link', 'set', 'tobrowser', 'up']);
  inNs(ns.server, 'sysctl', ['-q', '-w', 'net.ipv4.ip_forward=1']);
  inNs(ns.browser, 'ip', ['addr', 'add', `${address.browser}/24`, 'dev', 'down0']);
  inNs(ns.browser, 'ip', ['link', 'set', 'down0', 'up']);
  inNs(ns.browser, 'ip', ['route', 'add', 'default', 'via', address.serverDown]);
  if (options.downlink > 0)
    shape(ns.server, 'tobrowser', options.downlink);
}

// tbf at `mbit` Mbit/s (0: none). The queue holds 50 ms at the rate (at least 64 KiB), as a
// home router's would; the bucket takes a few full-size packets, so the rate holds at short
// time scales too.
function shape(namespace, device, mbit) {
  try {
    inNs(namespace, 'tc', ['qdisc', 'del', 'dev', device, 'root']);
  } catch {
    // No qdisc of ours yet.
  }
  if (!(mbit > 0))
    return;
  const bytesPerSecond = mbit * 1e6 / 8;
  const limit = Math.max(65536, Math.round(bytesPerSecond * 0.05));
  const burst = Math.max(16 * 1514, Math.round(bytesPerSecond * 0.002));
  inNs(namespace, 'tc', ['qdisc', 'add', 'dev', device, 'root', 'tbf', 'rate', `${mbit}mbit`,
                         'burst', String(burst), 'limit', String(limit)]);
}

function uplinkBytes() {
  return Number(inNs(ns.agent, 'cat', [`/sys/class/net/${uplinkDevice}/statistics/tx_bytes`]).trim());
}

// CPU time of a process so far, in ms (user and system).
function cpuMs(pid) {
  const fields = readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
  return (Number(fields[11]) + Number(fields[12])) * 10;
}

function downlinkBytes() {
  return Number(inNs(ns.server, 'cat', ['/sys/class/net/tobrowser/statistics/tx_bytes']).trim());
}

// ---------------------------------------------------------------------------------------------
// The page-side probe: reads the frame number from the canvas at every animation frame.

// Where the desktop paints its barcode: picture at (24, 56), code 16 px inside it, two rows of
// sixteen 16-px cells (the number's bits, then their complement).
const CODE = { x: 24 + 16, y: 56 + 16, cell: 16, bits: 16 };

function probeSource(code, width, height) {
  return `(() => {
    const code = ${JSON.stringify(code)};
    const probe = window.__probe = { frames: [], first: null, sentAt: null, exactAt: null,
                                     expected: null, lastDiff: null, checks: 0, waiters: [] };
    // Resolves with the probe's field once it is set, or with null after timeoutMs.
    probe.until = (field, timeoutMs) => new Promise((resolve) => {
      if (probe[field] !== null)
        return resolve(probe[field]);
      const timer = setTimeout(() => resolve(null), timeoutMs);
      probe.waiters.push(() => {
        if (probe[field] === null)
          return false;
        clearTimeout(timer);
        resolve(probe[field]);
        return true;
      });
    });
    function canvas() {
      for (const c of document.querySelectorAll('canvas'))
        if (c.width === ${width} && c.height === ${height})
          return c;
      return null;
    }
    function read(ctx) {
      const data = ctx.getImageData(code.x, code.y, code.bits * code.cell, 2 * code.cell).data;
      const rowWidth = code.bits * code.cell;
      const values = [0, 0];
      for (let row = 0; row < 2; ++row) {
        for (let bit = 0; bit < code.bits; ++bit) {
          let sum = 0;
          for (let y = 4; y < 12; ++y)
            for (let x = 4; x < 12; ++x) {
              const i = ((row * code.cell + y) * rowWidth + bit * code.cell + x) * 4;
              sum += data[i] + data[i + 1] + data[i + 2];
            }
          const mean = sum / (64 * 3);
          if (mean > 80 && mean < 175)
            return null;
          values[row] = (values[row] << 1) | (mean >= 128 ? 1 : 0);
        }
      }
      return (values[0] ^ values[1]) === 0xffff ? values[0] : null;
    }
    function compare(ctx) {
      const data = ctx.getImageData(0, 0, ${width}, ${height}).data;
      const expected = probe.expected;
      let differing = 0, worst = 0;
      for (let i = 0, j = 0; j < expected.length; i += 4, j += 3) {
        const d = Math.max(Math.abs(data[i] - expected[j]), Math.abs(data[i + 1] - expected[j + 1]),
                           Math.abs(data[i + 2] - expected[j + 2]));
        if (d) {
          ++differing;
          if (d > worst)
            worst = d;
        }
      }
      probe.lastDiff = { differing, worst };
      ++probe.checks;
      return differing === 0;
    }
    let last = -1;
    function tick() {
      const c = canvas();
      if (c) {
        const ctx = c.getContext('2d');
        const now = performance.timeOrigin + performance.now();
        const n = read(ctx);
        if (n !== null && n !== last) {
          last = n;
          probe.frames.push([n, now]);
          if (probe.first === null && probe.sentAt !== null)
            probe.first = now;
        }
        if (probe.expected && probe.exactAt === null && compare(ctx))
          probe.exactAt = window.__lastDraw;
        probe.waiters = probe.waiters.filter((waiter) => !waiter());
      }
      requestAnimationFrame(tick);
    }
    requestAnimationFrame(tick);
  })()`;
}

// ---------------------------------------------------------------------------------------------
// Statistics

function median(values) {
  return quantile(values, 0.5);
}

function quantile(values, q) {
  if (!values.length)
    return NaN;
  const sorted = [...values].sort((a, b) => a - b);
  const at = (sorted.length - 1) * q;
  const low = Math.floor(at);
  const high = Math.ceil(at);
  return sorted[low] + (sorted[high] - sorted[low]) * (at - low);
}

function fixed(value, digits = 1) {
  return Number.isFinite(value) ? value.toFixed(digits) : '-';
}

// ---------------------------------------------------------------------------------------------
// The run

let desktop, server, agent, directProxy;
let sessionId, password, serverPort, screen;
const paintedAt = new Map(); // frame number (16 bits) -> CLOCK_REALTIME ms of its last painting

function trackFrames(entry) {
  let pending = '';
  entry.child.stdout.on('data', (data) => {
    pending += data.toString();
    let end;
    while ((end = pending.indexOf('\n')) >= 0) {
      const line = pending.slice(0, end);
      pending = pending.slice(end + 1);
      const match = /^frame (\d+) (\d+)$/.exec(line);
      if (match)
        paintedAt.set(Number(match[1]) & 0xffff, Number(match[2]) / 1000);
    }
  });
}

// A file name as the desktop program opens it: under Wine, Linux's root is drive Z:.
function desktopFile(file) {
  return options.wine ? `Z:${file}` : file;
}

async function desktopCommand(command, answer) {
  const from = desktop.output.length;
  desktop.child.stdin.write(command + '\n');
  return answer ? waitFor(desktop, answer, 10000, from) : null;
}

async function setUp() {
  setUpNetwork();

  const xvfb = start('Xvfb', 'Xvfb', ['-displayfd', '1', '-screen', '0', '1024x768x24', '-nolisten', 'tcp']);
  const display = ':' + (await waitFor(xvfb, /^(\d+)\s*$/m))[1];
  // For the Windows agent, a Windows program's window, as on a helped person's Windows. In the
  // agent's namespace, as the Wine server that the agent shares with it (and that makes the
  // agent's sockets) starts with it.
  const desktopCommandLine = options.wine
    ? ['ip', ['netns', 'exec', ns.agent, path.join(sourceDir, 'scripts/wine-run.sh'), options.wineDesktop]]
    : [options.desktop, []];
  desktop = start('desktop', ...desktopCommandLine, {
    env: { ...process.env, DISPLAY: display }, stdio: ['pipe', 'pipe', 'pipe'] });
  trackFrames(desktop);
  // The first start of Wine makes its prefix (about 20 s).
  const ready = await waitFor(desktop, /^ready (\d+) (\d+)$/m, options.wine ? 120000 : 30000);
  screen = { width: Number(ready[1]), height: Number(ready[2]) };

  if (options.delay > 0 || options.loss > 0) {
    const line = start('delay line', 'ip', ['netns', 'exec', ns.line, options.delayLine, 'la', 'ls',
                                            String(options.delay), String(options.loss)]);
    await waitFor(line, /^forwarding$/m);
  }

  server = start('velmora-server', 'ip', [
    'netns', 'exec', ns.server, options.server, '--listen', '0.0.0.0:0',
    '--secret-file', path.join(work, 'server.secret'), '--web', options.web || path.join(sourceDir, 'web'),
    ...(options.deflate === undefined ? [] : ['--supporter-deflate', String(options.deflate)])]);
  serverPort = Number((await waitFor(server, /listening on [\d.]+:(\d+)/))[1]);

  const agentDir = path.join(work, 'agent');
  mkdirSync(agentDir);
  if (options.wine)
    run('cmake', ['-E', 'chdir', agentDir, 'cmake', '-E', 'tar', 'xf', options.wine]);
  writeFileSync(path.join(agentDir, 'velmora.conf'),
                `server_host: ${address.serverUp}\nserver_port: ${serverPort}\n`);
  const agentCommand = options.wine
    ? [path.join(sourceDir, 'scripts/wine-run.sh'), path.join(agentDir, 'velmora.exe')] : [options.agent];
  agent = start('velmora', 'ip', ['netns', 'exec', ns.agent, ...agentCommand], {
    cwd: agentDir,
    env: {
      ...process.env, DISPLAY: display, QT_QPA_PLATFORM: 'offscreen',
      PATH: `${path.join(sourceDir, 'platform/linux')}:${process.env.PATH}`,
    },
  });
  sessionId = (await waitFor(agent, /Your ID:\s+"?(\d{9})/, 120000))[1];
  const vncPort = Number((await waitFor(agent, /VNC port:\s+"?(\d+)/))[1]);
  await waitFor(server, new RegExp(`agent online id=${sessionId}`));
  password = run(options.readPassword, [path.join(agentDir, 'vnc_password_session.dat')]).trim();

  // Direct noVNC: websockify with noVNC's own page, in front of the same TigerVNC. The port is
  // fixed, but inside a namespace of this run's own, where only the agent's programs listen
  // (on ports the system chose, from the ephemeral range).
  directProxy = start('websockify', 'ip', [
    'netns', 'exec', ns.agent, 'websockify', '--web', '/usr/share/novnc',
    `${address.agent}:6080`, `127.0.0.1:${vncPort}`]);
  await waitFor(directProxy, /Listen on|listening/i);

  const wrapper = path.join(work, 'chromium-in-ns');
  writeFileSync(wrapper, `#!/bin/sh\nexec ip netns exec ${ns.browser} /usr/bin/chromium "$@"\n`);
  chmodSync(wrapper, 0o755);
  browser = await chromium.launchPersistentContext(path.join(work, 'profile'), {
    executablePath: wrapper,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    viewport: { width: 1280, height: 900 },
  });
}

// One trial on one path: connect, send the password, watch the picture, stop the desktop and wait
// for the exact picture.
async function trial(kind) {
  const page = await browser.newPage();
  page.on('pageerror', (error) => console.error(`[${kind}] page error: ${error.message}`));
  // When the visible canvas was last drawn on (noVNC draws its back buffer, which is not in the
  // document, onto it), so that the moment the picture became exact is known however late it is
  // compared.
  await page.addInitScript(() => {
    window.__lastDraw = 0;
    const prototype = CanvasRenderingContext2D.prototype;
    for (const name of ['drawImage', 'putImageData']) {
      const original = prototype[name];
      prototype[name] = function (...args) {
        if (this.canvas.isConnected)
          window.__lastDraw = performance.timeOrigin + performance.now();
        return original.apply(this, args);
      };
    }
  });
  if (options.trace) {
    page.on('console', (entry) => console.log(`[${kind} console] ${entry.text()}`));
    // Every WebSocket message's arrival and size, and what the page sends.
    await page.addInitScript(() => {
      const log = window.__wslog = [];
      const hex = (data) => {
        const bytes = data instanceof ArrayBuffer ? new Uint8Array(data)
          : ArrayBuffer.isView(data) ? new Uint8Array(data.buffer, data.byteOffset, data.byteLength) : null;
        return bytes ? [...bytes.slice(0, 48)].map((b) => b.toString(16).padStart(2, '0')).join('') : '';
      };
      const Native = window.WebSocket;
      function Logged(...args) {
        const socket = new Native(...args);
        socket.addEventListener('message', (event) => {
          log.push(['in', performance.timeOrigin + performance.now(),
                    event.data.byteLength ?? event.data.length, hex(event.data)]);
        });
        return socket;
      }
      Logged.prototype = Native.prototype;
      for (const name of ['CONNECTING', 'OPEN', 'CLOSING', 'CLOSED'])
        Logged[name] = Native[name];
      window.WebSocket = Logged;
      const send = Native.prototype.send;
      Native.prototype.send = function (data) {
        log.push(['out', performance.timeOrigin + performance.now(), data.byteLength ?? data.length, hex(data)]);
        return send.call(this, data);
      };
    });
  }
  let sendPassword;
  if (kind === 'ours') {
    await page.goto(`http://${address.serverDown}:${serverPort}/?id=${sessionId}`);
    await page.evaluate(probeSource(CODE, screen.width, screen.height));
    // The toolbar is hidden until the session starts; the choice made before applies from the
    // start.
    await page.evaluate(`(() => { const select = document.querySelector('#quality');
      if (!select) return;
      select.value = ${JSON.stringify(options.quality)};
      select.dispatchEvent(new Event('change')); })()`);
    await page.locator('#connect').click();
    await page.locator('#password-panel:not([hidden])').waitFor({ timeout: 30000 });
    await page.locator('#password').fill(password);
    sendPassword = () => document.querySelector('#send-password').click();
  } else {
    await page.goto(`http://${address.agent}:6080/vnc.html?host=${address.agent}&port=6080` +
                    '&autoconnect=true&reconnect=false', { timeout: 60000 });
    await page.evaluate(probeSource(CODE, screen.width, screen.height));
    await page.locator('#noVNC_password_input').waitFor({ state: 'visible', timeout: 30000 });
    await page.locator('#noVNC_password_input').fill(password);
    sendPassword = () => document.querySelector('#noVNC_credentials_button').click();
  }
  // Timestamp and click in one task of the page, so that nothing comes between them.
  await page.evaluate(`(() => { window.__probe.sentAt = performance.timeOrigin + performance.now();
                                (${sendPassword.toString()})(); })()`);
  await page.evaluate('window.__probe.until("first", 60000)');
  const probe = await page.evaluate('({ first: window.__probe.first, sentAt: window.__probe.sentAt })');
  if (probe.first === null)
    throw new Error(`[${kind}] no picture within 60 s of the password`);
  const firstFrame = probe.first - probe.sentAt;
  if (options.trace) {
    const log = await page.evaluate('window.__wslog');
    const lines = log.filter(([, t]) => t >= probe.sentAt - 1 && t <= probe.first + 1)
      .map(([dir, t, size, bytes]) => `  ${(t - probe.sentAt).toFixed(1).padStart(7)} ms ${dir.padEnd(3)} ${size} ${bytes}`);
    console.log(`[${kind}] from the password to the first picture (${firstFrame.toFixed(1)} ms):\n${lines.join('\n')}`);
  }

  await page.waitForTimeout(options.warmup * 1000);
  const startCount = await page.evaluate('window.__probe.frames.length');
  const upStart = uplinkBytes();
  const downStart = downlinkBytes();
  const serverCpuStart = cpuMs(server.child.pid);
  const startAt = Date.now();
  // Our page's level, twice a second, while measuring.
  const levels = [];
  while (Date.now() - startAt < options.seconds * 1000) {
    if (kind === 'ours') {
      const level = await page.evaluate('document.querySelector("#quality")?.dataset.level ?? null');
      if (level !== null)
        levels.push(Number(level));
    }
    await page.waitForTimeout(Math.min(500, options.seconds * 1000 - (Date.now() - startAt)));
  }
  const upEnd = uplinkBytes();
  const downEnd = downlinkBytes();
  const serverCpu = cpuMs(server.child.pid) - serverCpuStart;
  const endAt = Date.now();
  const frames = (await page.evaluate('window.__probe.frames')).slice(startCount);
  const elapsed = (endAt - startAt) / 1000;

  const stopped = await desktopCommand('stop', /^stopped (\d+) (\d+)$/m);
  const lastFrame = Number(stopped[1]) & 0xffff;
  const stoppedAt = Number(stopped[2]) / 1000;
  if (options.trace)
    console.log(`[${kind}] desktop stopped at ${stoppedAt.toFixed(0)}`);
  const shot = path.join(work, 'desktop.rgb');
  await desktopCommand(`dump ${desktopFile(shot)}`, /^dumped /m);
  const expected = readFileSync(shot).toString('base64');
  await page.evaluate(`(() => {
    const text = atob(${JSON.stringify(expected)});
    const bytes = new Uint8Array(text.length);
    for (let i = 0; i < text.length; ++i) bytes[i] = text.charCodeAt(i);
    window.__probe.expected = bytes;
  })()`);
  await page.evaluate('window.__probe.until("exactAt", 10000)');
  const exact = await page.evaluate('({ at: window.__probe.exactAt, diff: window.__probe.lastDiff })');
  const shownLast = await page.evaluate('window.__probe.frames.at(-1)?.[0]');
  if (exact.at === null && options.keep) {
    // The canvas as it is, and the desktop, for a look at what differs.
    const png = await page.evaluate(`[...document.querySelectorAll('canvas')]
      .find((c) => c.width === ${screen.width}).toDataURL('image/png')`);
    const name = `${kind}-${Date.now()}`;
    writeFileSync(path.join(options.keep, `${name}-canvas.png`), Buffer.from(png.split(',')[1], 'base64'));
    writeFileSync(path.join(options.keep, `${name}-desktop.rgb`), readFileSync(shot));
  }
  const quality = kind === 'ours'
    ? await page.evaluate('document.querySelector("#quality")?.dataset.level ?? null') : null;

  const before = server.output.length;
  if (kind === 'ours') {
    await page.locator('#disconnect').click();
    await page.locator('#message:not([hidden])').waitFor({ timeout: 10000 });
  }
  await page.close();
  // The agent comes back after a session of ours (it reconnects after every session).
  if (kind === 'ours') {
    await waitFor(server, new RegExp(`session end id=${sessionId}[\\s\\S]*agent online id=${sessionId}`),
                  60000, before);
  }
  await desktopCommand('run');

  const latencies = frames.map(([n, seen]) => seen - (paintedAt.get(n) ?? NaN))
    .filter((value) => Number.isFinite(value));
  return {
    kind,
    firstFrame,
    fps: frames.length / elapsed,
    latencyMedian: median(latencies),
    latencyP90: quantile(latencies, 0.9),
    bytesPerFrame: frames.length ? (upEnd - upStart) / frames.length : NaN,
    uplinkMbit: (upEnd - upStart) * 8 / elapsed / 1e6,
    downBytesPerFrame: frames.length ? (downEnd - downStart) / frames.length : NaN,
    serverCpuPerMB: kind === 'ours' ? serverCpu / ((downEnd - downStart) / 1e6) : NaN,
    downlinkMbit: (downEnd - downStart) * 8 / elapsed / 1e6,
    exact: exact.at !== null ? exact.at - stoppedAt : null,
    diff: exact.diff,
    lastShown: shownLast === lastFrame,
    quality: levels.length ? `${Math.min(...levels)}–${Math.max(...levels)} (median ${median(levels)})` : quality,
    levelMedian: levels.length ? median(levels) : Number(quality),
  };
}

function describe(result) {
  const exact = result.exact !== null
    ? `exact after ${(result.exact / 1000).toFixed(2)} s`
    : `not exact after 10 s (${result.diff ? `${result.diff.differing} pixels differ, by up to ${result.diff.worst}` : 'no comparison'})`;
  return `${result.kind.padEnd(6)} first picture ${fixed(result.firstFrame, 0).padStart(5)} ms, ` +
         `${fixed(result.fps).padStart(5)} fps, latency ${fixed(result.latencyMedian, 0)}/` +
         `${fixed(result.latencyP90, 0)} ms (median/p90), ${fixed(result.bytesPerFrame / 1024)} KiB/frame ` +
         `on the uplink (${fixed(result.uplinkMbit)} Mbit/s), ` +
         `${fixed(result.downBytesPerFrame / 1024)} KiB/frame on the downlink` +
         (Number.isFinite(result.serverCpuPerMB) ? ` (server ${fixed(result.serverCpuPerMB)} CPU ms/MB)` : '') +
         `, ${exact}` +
         (result.lastShown ? '' : ', last frame not shown') +
         (result.quality !== null ? `, JPEG level ${result.quality}` : '');
}

function summarise(rate, results) {
  const rows = [];
  const of = (kind, key) => results.filter((r) => r.kind === kind).map((r) => r[key]);
  const range = (values, digits) => {
    const finite = values.filter(Number.isFinite);
    if (!finite.length)
      return '-';
    const low = Math.min(...finite), high = Math.max(...finite);
    return low === high ? fixed(low, digits) : `${fixed(low, digits)}–${fixed(high, digits)}`;
  };
  const label = rate > 0 ? `${rate} Mbit/s` : 'unshaped';
  rows.push(`\n== ${label}: ${results.length / options.paths.length} trial(s) per path, medians ` +
            `(ranges) ==`);
  for (const kind of options.paths) {
    const exacts = of(kind, 'exact');
    const exactText = exacts.every((e) => e !== null)
      ? `${range(exacts.map((e) => e / 1000), 2)} s` : `${exacts.filter((e) => e !== null).length}/${exacts.length} exact`;
    rows.push(`${kind.padEnd(6)} fps ${fixed(median(of(kind, 'fps')))} (${range(of(kind, 'fps'), 1)}), ` +
              `latency median ${fixed(median(of(kind, 'latencyMedian')), 0)} ms ` +
              `(${range(of(kind, 'latencyMedian'), 0)}), p90 ${fixed(median(of(kind, 'latencyP90')), 0)} ms ` +
              `(${range(of(kind, 'latencyP90'), 0)}), ` +
              `${fixed(median(of(kind, 'bytesPerFrame')) / 1024)} KiB/frame ` +
              `(${range(of(kind, 'bytesPerFrame').map((b) => b / 1024), 1)}), ` +
              `first picture ${fixed(median(of(kind, 'firstFrame')), 0)} ms ` +
              `(${range(of(kind, 'firstFrame'), 0)}), exact: ${exactText}`);
  }
  if (options.paths.length === 2) {
    const ratio = (key) => median(of('ours', key)) / median(of('direct', key));
    rows.push(`ours/direct: fps ${fixed(ratio('fps'), 2)}, latency ${fixed(ratio('latencyMedian'), 2)}, ` +
              `bytes per frame ${fixed(ratio('bytesPerFrame'), 2)}, first picture ${fixed(ratio('firstFrame'), 2)}`);
  }
  return rows.join('\n');
}

// What must hold whatever the machine's load: every trial showed the desktop changing, ours ended
// exact and on the last frame, and a full uplink made Automática go below noVNC's default.
function functionalFailures(rate, results) {
  const failures = [];
  const label = rate > 0 ? `${rate} Mbit/s` : 'unshaped';
  for (const r of results) {
    if (!(r.fps > 0 && Number.isFinite(r.latencyMedian) && r.bytesPerFrame > 0))
      failures.push(`${label}, ${r.kind}: no frames measured while the desktop changed`);
    if (r.kind !== 'ours')
      continue;
    if (r.exact === null)
      failures.push(`${label}: our canvas was not exact within 10 s of the last change`);
    if (!r.lastShown)
      failures.push(`${label}: our canvas did not show the last frame`);
    if (options.quality === 'auto' && rate > 0 && rate <= 10 && !(r.levelMedian < 6))
      failures.push(`${label}: Automática kept level ${r.levelMedian} on a full link`);
  }
  return failures;
}

// The goals of the slow-link work, at the first rate.
function targetFailures(results) {
  const failures = [];
  const of = (kind, key) => median(results.filter((r) => r.kind === kind).map((r) => r[key]));
  if (!(of('ours', 'fps') >= of('direct', 'fps')))
    failures.push(`our frame rate ${fixed(of('ours', 'fps'))} is below direct's ${fixed(of('direct', 'fps'))}`);
  if (!results.filter((r) => r.kind === 'ours').every((r) => r.exact !== null && r.exact <= 2000))
    failures.push('our canvas was not exact within 2 s of the last change in every trial');
  if (!(of('ours', 'firstFrame') <= 1.2 * of('direct', 'firstFrame')))
    failures.push(`our first picture took ${fixed(of('ours', 'firstFrame'), 0)} ms, direct's ` +
                  `${fixed(of('direct', 'firstFrame'), 0)} ms`);
  return failures;
}

async function main() {
  await setUp();
  console.log(`session ${sessionId}; desktop ${screen.width}x${screen.height}; ` +
              `delay ${options.delay} ms, loss ${options.loss} %` +
              (options.downlink ? `, downlink ${options.downlink} Mbit/s` : '') +
              (options.deflate !== undefined ? `, permessage-deflate at level ${options.deflate}` : '') +
              (options.delay || options.loss ? '' : ' (no delay line)'));
  await desktopCommand('run');
  const summaries = [];
  const failures = [];
  for (const rate of options.rates) {
    shape(ns.agent, uplinkDevice, rate);
    const results = [];
    for (let t = 0; t < options.trials; ++t) {
      const order = t % 2 === 0 ? options.paths : [...options.paths].reverse();
      for (const kind of order) {
        const result = await trial(kind);
        results.push(result);
        console.log(`[${rate > 0 ? rate + ' Mbit/s' : 'unshaped'} #${t + 1}] ${describe(result)}`);
      }
    }
    const summary = summarise(rate, results);
    console.log(summary);
    summaries.push(summary);
    if (options.check)
      failures.push(...functionalFailures(rate, results));
    if (options.targets && summaries.length === 1)
      failures.push(...targetFailures(results));
  }
  if (options.check || options.targets) {
    for (const failure of failures)
      console.log(`CHECK FAILED: ${failure}`);
    if (!failures.length)
      console.log('CHECK PASSED');
  }
  return failures.length ? 1 : 0;
}

let status = 1;
try {
  status = await main();
} catch (error) {
  console.error(error);
  for (const entry of children.entries)
    if (entry.name !== 'desktop')
      console.error(`--- ${entry.name} (last lines)\n${entry.output.slice(-1500)}`);
}
await cleanUp();
process.exit(status);
