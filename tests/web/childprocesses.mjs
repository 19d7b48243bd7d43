// Child processes whose output is kept and can be waited on, ended together at the end: the
// browser test's and the slow-link benchmark's.
import { spawn } from 'node:child_process';

export class ChildProcesses {
  constructor() {
    this.entries = [];
  }

  // Starts `command` (standard input closed unless `options.stdio` says otherwise) and keeps its
  // standard output and error in the entry's `output`.
  start(name, command, args, options = {}) {
    const child = spawn(command, args, { stdio: ['ignore', 'pipe', 'pipe'], ...options });
    const entry = { name, child, output: '', waiters: [] };
    const take = (data) => {
      entry.output += data.toString();
      // Long runs print a line per frame; keep what the waits and the logs need.
      if (entry.output.length > 4e6)
        entry.output = entry.output.slice(-2e6);
      entry.waiters = entry.waiters.filter((waiter) => !waiter());
    };
    child.stdout.on('data', take);
    child.stderr.on('data', take);
    child.on('exit', () => take(''));
    // A program that cannot be started ends the waits on it with the reason.
    child.on('error', (error) => {
      entry.failed = error;
      take(`${name}: ${error.message}\n`);
    });
    this.entries.push(entry);
    return entry;
  }

  // Ends them, the last started first: SIGTERM, then SIGKILL after 5 s.
  async stopAll() {
    for (const { child } of this.entries.reverse()) {
      if (child.exitCode === null && child.signalCode === null) {
        child.kill('SIGTERM');
        await new Promise((resolve) => {
          const timer = setTimeout(() => { child.kill('SIGKILL'); resolve(); }, 5000);
          child.on('exit', () => { clearTimeout(timer); resolve(); });
        });
      }
    }
  }
}

// Resolves with the first match of `pattern` in the entry's output (counting from `from`); fails
// when the process ends first or after `timeoutMs`.
export function waitFor(entry, pattern, timeoutMs = 30000, from = 0) {
  return new Promise((resolve, reject) => {
    const check = () => {
      const match = entry.output.slice(from).match(pattern);
      if (match) {
        clearTimeout(timer);
        resolve(match);
        return true;
      }
      if (entry.failed || entry.child.exitCode !== null || entry.child.signalCode !== null) {
        clearTimeout(timer);
        reject(new Error(`${entry.name} ended before ${pattern}. Output:\n` +
                         entry.output.slice(-3000)));
        return true;
      }
      return false;
    };
    const timer = setTimeout(() => {
      entry.waiters = entry.waiters.filter((waiter) => waiter !== check);
      reject(new Error(`${entry.name}: no ${pattern} within ${timeoutMs} ms. Output:\n` +
                       entry.output.slice(-3000)));
    }, timeoutMs);
    if (!check())
      entry.waiters.push(check);
  });
}
