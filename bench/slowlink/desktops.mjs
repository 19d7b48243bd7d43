// The slow-link benchmark's two desktops side by side, each on an Xvfb of its own: the X11
// program, and the Windows one under Wine (scripts/wine-run.sh). Both must speak the same protocol,
// show the same pixels before they change, carry the frame number that "stopped" names in the
// picture they leave, and give frame times on the Unix real-time clock that the benchmark compares
// with the browser's.
//
//   node desktops.mjs X11_PROGRAM WINDOWS_PROGRAM.exe
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import assert from 'node:assert/strict';

import { ChildProcesses, waitFor } from '../../tests/web/childprocesses.mjs';

const sourceDir = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const [x11Program, windowsProgram] = process.argv.slice(2);
if (!x11Program || !windowsProgram) {
  console.error('usage: desktops.mjs X11_PROGRAM WINDOWS_PROGRAM.exe');
  process.exit(2);
}

const work = mkdtempSync(path.join(tmpdir(), 'velmora-desktops-'));
const children = new ChildProcesses();

// Where the barcode's cells are (picture.h): picture at (24, 56), code 16 px inside it, two rows
// of 16 cells of 16 px, the number's bits then their complement.
function readCode(rgb, width) {
  let number = 0;
  for (let bit = 0; bit < 16; ++bit) {
    const cell = (row) => {
      const x = 24 + 16 + bit * 16 + 8, y = 56 + 16 + row * 16 + 8;
      return rgb[(y * width + x) * 3] > 127;
    };
    assert.notEqual(cell(0), cell(1), `barcode cell ${bit} is not a bit and its complement`);
    number = number * 2 + (cell(0) ? 1 : 0);
  }
  return number;
}

// Runs one desktop through the protocol; returns its screen before any change.
async function check(name, command, args, fileName) {
  const xvfb = children.start(`Xvfb for ${name}`, 'Xvfb',
                              ['-displayfd', '1', '-screen', '0', '1024x768x24', '-nolisten', 'tcp']);
  const display = ':' + (await waitFor(xvfb, /^(\d+)\s*$/m))[1];
  const desktop = children.start(name, command, args,
                                 { env: { ...process.env, DISPLAY: display }, stdio: ['pipe', 'pipe', 'pipe'] });
  const say = (line, answer) => {
    const from = desktop.output.length;
    desktop.child.stdin.write(line + '\n');
    return answer && waitFor(desktop, answer, 30000, from);
  };
  const ready = await waitFor(desktop, /^ready (\d+) (\d+)$/m, 120000);
  const [width, height] = [Number(ready[1]), Number(ready[2])];
  assert.deepEqual([width, height], [1024, 768], `${name}: the whole screen`);

  const before = path.join(work, `${name}-before.rgb`);
  await say(`dump ${fileName(before)}`, /^dumped .*$/m);
  const first = readFileSync(before);
  assert.equal(first.length, width * height * 3, `${name}: dump size`);
  assert.equal(readCode(first, width), 0, `${name}: frame 0 before "run"`);

  const from = desktop.output.length;
  const runAt = Date.now();
  say('run');
  await waitFor(desktop, /^frame 5 \d+$/m, 30000, from);
  const arrivedAt = Date.now();
  const stopped = await say('stop', /^stopped (\d+) (\d+)$/m);
  // Whole lines, as the benchmark reads them (no CR before the LF).
  const frames = desktop.output.slice(from).split('\n').map((line) => /^frame (\d+) (\d+)$/.exec(line))
    .filter((m) => m).map((m) => [Number(m[1]), Number(m[2])]);
  assert.ok(frames.length >= 5, `${name}: at least 5 "frame N T" lines`);
  assert.deepEqual(frames.map(([n]) => n), frames.map((_, i) => i + 1), `${name}: frames in order`);
  // Within a second of when the frames were asked for and seen: the same clock, not just one
  // that counts microseconds.
  for (const [n, t] of frames.slice(0, 5))
    assert.ok(t >= (runAt - 1000) * 1000 && t <= (arrivedAt + 1000) * 1000,
              `${name}: frame ${n} at ${t} µs, asked at ${runAt} ms, seen by ${arrivedAt} ms`);
  const [last, lastAt] = frames[frames.length - 1];
  assert.deepEqual([Number(stopped[1]), Number(stopped[2])], [last, lastAt],
                   `${name}: "stopped" names the last frame`);

  const after = path.join(work, `${name}-after.rgb`);
  await say(`dump ${fileName(after)}`, /^dumped .*$/m);
  assert.equal(readCode(readFileSync(after), width), last, `${name}: the last frame on the screen`);

  say('quit');
  const code = desktop.child.exitCode ??
    await new Promise((resolve) => desktop.child.on('exit', (c) => resolve(c)));
  assert.equal(code, 0, `${name}: exit status after "quit"`);
  console.log(`${name}: ${frames.length} frames, the last (${last}) on the screen`);
  return first;
}

let status = 1;
try {
  const x11 = await check('x11', x11Program, [], (file) => file);
  const windows = await check('windows', path.join(sourceDir, 'scripts/wine-run.sh'), [windowsProgram],
                              (file) => `Z:${file}`);
  let differing = 0;
  for (let i = 0; i < x11.length; ++i)
    differing += x11[i] !== windows[i];
  assert.equal(differing, 0, 'the two desktops show the same bytes before they change');
  console.log('both desktops show the same screen');
  status = 0;
} catch (error) {
  console.error(error);
  for (const entry of children.entries)
    console.error(`--- ${entry.name} (last lines)\n${entry.output.slice(-1500)}`);
}
await children.stopAll();
rmSync(work, { recursive: true, force: true });
process.exit(status);
