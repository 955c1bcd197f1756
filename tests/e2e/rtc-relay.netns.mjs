// The page through a relay server: coturn and our rendezvous server in this
// test's namespace, the host and Chromium in namespaces of their own whose
// direct UDP and TCP to each other nftables drops (tests/tools/relay-net.sh).
// The session comes up through the relay or not at all; with a credential
// the relay refuses the page says a relay is needed. Runs only inside the
// private network namespace of tests/tools/in-netns.sh.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { launchPhone, hook, waitFor } from './support.mjs';
import { RTC_ARGS, RELAY_TEXT } from './rtc-support.mjs';

if (process.env.TOLVANE_NETNS !== '1') throw new Error('run me with tests/tools/in-netns.sh: I build networks');

const here = path.dirname(fileURLToPath(import.meta.url));
const net = path.join(here, '..', 'tools', 'relay-net.sh');
const clientDir = path.join(here, '..', '..', 'client');
const hostBin = process.env.TOLVANE_HOST_BIN || path.join(here, '..', '..', 'build', 'tolvane-host');
const signalBin = process.env.TOLVANE_SIGNAL_BIN || path.join(here, '..', '..', 'build', 'tolvane-signal');
const RELAY = '10.0.0.1';
const SIGNAL_PORT = 18080; // in this namespace nothing else listens
const SECRET = 'relay-page-secret-5e7a';
const REGISTERED = '[rtc] 待ち合わせ役に登録しました';

const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'tolvane-relay-'));
const procs = new Set();
let hostNs, phoneNs, turn, phone;

function run(argv, name) {
  const log = path.join(tmp, name + '.log');
  const out = fs.openSync(log, 'a');
  const proc = spawn(argv[0], argv.slice(1), { stdio: ['ignore', out, out],
    env: { ...process.env, DBUS_SESSION_BUS_ADDRESS: 'unix:path=/nonexistent', NO_AT_BRIDGE: '1' } });
  fs.closeSync(out);
  procs.add(proc);
  proc.once('exit', () => procs.delete(proc));
  proc.log = () => { try { return fs.readFileSync(log, 'utf8'); } catch { return ''; } };
  return proc;
}

async function stop(proc) {
  if (!proc || proc.exitCode !== null || proc.signalCode !== null) return;
  const gone = new Promise((r) => proc.once('exit', r));
  proc.kill('SIGTERM');
  const t = setTimeout(() => proc.kill('SIGKILL'), 5000);
  await gone;
  clearTimeout(t);
}

const netns = (pid) => { try { return fs.readlinkSync(`/proc/${pid}/ns/net`); } catch { return ''; } };
const inside = (holder, argv) => ['nsenter', '-t', String(holder.pid), '-n', '--', ...argv];
const dropped = () => Number(execFileSync(net, ['--counters']).toString().trim());
const journal = (dir) => {
  try { return fs.readFileSync(path.join(dir, 'connect_log.jsonl'), 'utf8').split('\n').filter(Boolean).map((l) => JSON.parse(l)); } catch { return []; }
};
const outcome = (dir, result) => journal(dir).filter((r) => r.src === 'host' && r.result === result);

before(async () => {
  const mine = netns(process.pid);
  hostNs = run(['unshare', '-n', 'sleep', '100000'], 'host-ns');
  phoneNs = run(['unshare', '-n', 'sleep', '100000'], 'phone-ns');
  for (const h of [hostNs, phoneNs]) await waitFor(() => netns(h.pid) && netns(h.pid) !== mine, 'a namespace of its own');
  execFileSync(net, [String(hostNs.pid), String(phoneNs.pid)], { stdio: ['ignore', 'pipe', 'pipe'] });
  fs.writeFileSync(path.join(tmp, 'turndb'), '');
  turn = run(['turnserver', '-n', '--listening-ip', RELAY, '--relay-ip', RELAY, '--listening-port', '3478',
    '--min-port', '51000', '--max-port', '51999', '--use-auth-secret', '--static-auth-secret', SECRET,
    '--realm', 'tolvane.test', '--no-tls', '--no-dtls', '--no-cli', '--log-file', 'stdout', '--simple-log', '--verbose',
    '--pidfile', path.join(tmp, 'turnserver.pid'), '--userdb', path.join(tmp, 'turndb')], 'turnserver');
  await waitFor(() => execFileSync('ss', ['-Hlun', 'sport = :3478']).toString().includes(RELAY), 'the relay to listen', 30000);
  // Chromium itself lives in the phone's namespace.
  const wrapper = path.join(tmp, 'chromium-in-phone-ns');
  fs.writeFileSync(wrapper, `#!/bin/sh\nexec nsenter -t ${phoneNs.pid} -n -- /usr/bin/chromium "$@"\n`, { mode: 0o755 });
  process.env.CHROMIUM = wrapper;
  phone = await launchPhone({ extraArgs: [...RTC_ARGS, `--unsafely-treat-insecure-origin-as-secure=http://${RELAY}:${SIGNAL_PORT}`] });
  await phone.context.grantPermissions(['camera', 'microphone']);
});

after(async () => {
  await phone?.close();
  for (const p of [...procs]) await stop(p);
  fs.rmSync(tmp, { recursive: true, force: true });
});

// The rendezvous server with credentials from `secret` and the host registered there, for one test.
async function withServers(secret, extra, fn) {
  const dir = fs.mkdtempSync(path.join(tmp, 'host-'));
  fs.writeFileSync(path.join(tmp, 'signal-secret'), secret + '\n');
  const signal = run([signalBin, '--port', String(SIGNAL_PORT), '--bind', RELAY, '--client-dir', clientDir,
    '--stun', `stun:${RELAY}:3478`, '--turn', `turn:${RELAY}:3478`, '--turn-secret', path.join(tmp, 'signal-secret'), ...extra],
  // A log of its own for each test: an earlier host's registration must not count.
  'signal-' + path.basename(dir));
  const host = run(inside(hostNs, [hostBin, '--test-pattern', '--no-tls', '--no-prompt', '--port', '18765',
    '--data-dir', dir, '--client-dir', clientDir, '--signal', `ws://${RELAY}:${SIGNAL_PORT}`, '--stun', `stun:${RELAY}:3478`,
    '--ice-timeout', '20']), 'host-' + path.basename(dir));
  try {
    await waitFor(() => host.log().includes(REGISTERED), 'the host to register', 60000);
    const link = fs.readFileSync(path.join(dir, 'last_url.txt'), 'utf8').split('\n').filter((l) => l.includes('#k=')).at(-1);
    assert.ok(link.startsWith(`http://${RELAY}:${SIGNAL_PORT}/#k=`), link);
    await fn(link, dir, host);
  } catch (e) {
    e.message += '\n--- host ---\n' + host.log() + '\n--- server ---\n' + signal.log() + '\n--- relay ---\n' + turn.log().slice(-4000);
    throw e;
  } finally {
    await stop(host);
    await stop(signal);
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

test('with no direct path the session comes up through the relay', () => withServers(SECRET, [], async (link, dir) => {
  const before = dropped();
  const relayFrom = turn.log().length;
  const page = await phone.page();
  try {
    await page.goto(link);
    await waitFor(async () => (await hook(page))?.hello, 'hello over the relayed session', 60000);
    assert.equal((await hook(page)).rtc.phase, 'live');
    await waitFor(async () => (await hook(page)).rtt !== null, 'a pong', 20000);
    // Both sides tried the direct way first; nftables dropped it.
    assert.ok(dropped() > before, 'direct packets were dropped');
    assert.match(turn.log().slice(relayFrom), /ALLOCATE processed, success/);
    const ok = await waitFor(() => outcome(dir, 'ok')[0], 'the success record', 20000);
    assert.equal(ok.mode, 'webrtc');
    assert.equal(ok.route, 'relay', JSON.stringify(ok));
    // The page shows the route the computer reports.
    await waitFor(async () => (await hook(page)).route === 'relay', 'the relay route on the page', 20000);
    assert.equal(await page.textContent('#pRoute'), '· through a relay');
    assert.deepEqual(outcome(dir, 'fail'), []);
    // The page's journal reached the host: no credential or secret in it.
    const text = fs.readFileSync(path.join(dir, 'connect_log.jsonl'), 'utf8');
    assert.ok(!text.includes(SECRET));
  } finally {
    await page.close();
  }
}));

for (const [name, secret, extra] of [['a credential made with another secret', 'not-the-relay-secret', []],
  ['an expired credential', SECRET, ['--test-turn-ttl', '-3600']]]) {
  test(`${name} fails with the relay text and a fail record`, () => withServers(secret, extra, async (link, dir) => {
    const page = await phone.page();
    const relayFrom = turn.log().length;
    try {
      await page.goto(link);
      await waitFor(async () => (await hook(page))?.error === 'relay', 'the relay notice', 90000);
      assert.ok((await page.textContent('body')).includes(RELAY_TEXT));
      assert.equal((await hook(page)).hello ?? null, null);
      const fails = await waitFor(() => outcome(dir, 'fail').length && outcome(dir, 'fail'), 'the fail record', 60000);
      assert.equal(fails.length, 1);
      assert.ok(['ice_failed', 'timeout', 'dtls_or_ice_failed'].includes(fails[0].reason), fails[0].reason);
      assert.deepEqual(outcome(dir, 'ok'), []);
      // The credential itself was refused, not just challenged.
      assert.match(turn.log().slice(relayFrom), /user <-?[0-9]+:[0-9a-f]{16}>: incoming packet message processed, error 401/);
    } finally {
      await page.close();
    }
  }));
}
