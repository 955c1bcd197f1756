// The network of the internet-link benchmarks, inside the namespace of
// tests/tools/in-netns.sh: the link emulator (tests/tools/linkemu) between
// this namespace (10.77.0.1: host and rendezvous server) and a nested one
// (10.77.0.2: Chromium), shaped at run time, and the host and server bound
// where the phone can reach them. Nothing here reaches past the two ends.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import net from 'node:net';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
export const repo = path.resolve(here, '..');
export const NEAR = '10.77.0.1';
const linkemuBin = process.env.LINKEMU_BIN || path.join(repo, 'build/tests/linkemu');
const signalBin = process.env.TOLVANE_SIGNAL_BIN || path.join(repo, 'build/tolvane-signal');

if (process.env.TOLVANE_NETNS !== '1') throw new Error('run me with tests/tools/in-netns.sh: I build a network');

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
export const pct = (s, p) => (s.length ? s[Math.min(s.length - 1, Math.max(0, Math.ceil((p / 100) * s.length) - 1))] : null);
export const r1 = (v) => (v === null || v === undefined ? null : Math.round(v * 10) / 10);

async function until(probe, what, ms = 30000) {
  const end = Date.now() + ms;
  for (;;) {
    const v = await probe();
    if (v) return v;
    if (Date.now() > end) throw new Error('timed out waiting for ' + what);
    await sleep(100);
  }
}

// The emulator with its settings ("--delay", "20", ...); `onStats` gets each
// {"stats":...} line it prints every `statsMs`.
export async function startLink(settings = [], { statsMs = 0, onStats } = {}) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tolvane-bench-link-'));
  const fifo = path.join(dir, 'ctl');
  const args = ['--ctl', fifo, ...(statsMs ? ['--stats-ms', String(statsMs)] : []), ...settings];
  const proc = spawn(linkemuBin, args, { stdio: ['ignore', 'pipe', 'inherit'] });
  let buf = '', pid = 0;
  proc.stdout.on('data', (c) => {
    buf += c;
    let nl;
    while ((nl = buf.indexOf('\n')) >= 0) {
      const line = buf.slice(0, nl);
      buf = buf.slice(nl + 1);
      let m = null;
      try { m = JSON.parse(line); } catch { continue; }
      if (m.ready) pid = m.pid;
      if (m.stats && onStats) onStats(m.stats);
    }
  });
  await until(() => pid && fs.existsSync(fifo), 'the link emulator');
  // Chromium runs in the nested namespace through this wrapper.
  const wrapper = path.join(dir, 'chromium');
  fs.writeFileSync(wrapper, `#!/bin/sh\nexec nsenter -t ${pid} -n -- /usr/bin/chromium "$@"\n`, { mode: 0o755 });
  return {
    pid, chromium: wrapper,
    set: (cmd) => fs.appendFileSync(fifo, cmd + '\n'),
    async stop() {
      const gone = new Promise((r) => proc.once('exit', r));
      proc.kill('SIGTERM');
      await Promise.race([gone, sleep(5000)]);
      fs.rmSync(dir, { recursive: true, force: true });
    },
  };
}

const listening = (port) => new Promise((resolve) => {
  const c = net.connect(port, NEAR);
  c.once('connect', () => { c.destroy(); resolve(true); });
  c.once('error', () => resolve(false));
});

// Our rendezvous server on the near end.
export async function startSignal(port) {
  const proc = spawn(signalBin, ['--port', String(port), '--bind', NEAR, '--client-dir', path.join(repo, 'client')],
    { stdio: ['ignore', 'ignore', 'inherit'] });
  await until(() => listening(port), 'the rendezvous server');
  return { wsBase: `ws://${NEAR}:${port}`, stop: () => { proc.kill('SIGTERM'); } };
}

// Chromium flags for pages served over plain HTTP from the near end: WebCodecs
// needs a secure context.
export const secureOrigins = (...ports) =>
  `--unsafely-treat-insecure-origin-as-secure=${ports.map((p) => `http://${NEAR}:${p}`).join(',')}`;
