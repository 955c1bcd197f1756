// How long an internet-link join takes until the control channel is open,
// as a person would meet it: the real rendezvous server, the real host in
// test-pattern mode, the host's internet link in a phone-shaped Chromium,
// reloaded for every join. Two clocks, both read from the host's
// connect_log.jsonl:
//   host: its "peer" (session start, "ms" 0) to its "dc" event for "ctl" open;
//   page: the page's own "joined" to its "dc" event for "ctl" open.
// Opens peer connections: runs only inside a private network namespace.
//   tests/tools/in-netns.sh node bench/rtc_connect_bench.mjs [joins=30]
import os from 'node:os';
import { Host, hook, waitFor } from '../tests/e2e/support.mjs';
import { launchRtcPhone, SignalServer, connectLog, internetLink } from '../tests/e2e/rtc-support.mjs';

if (process.env.TOLVANE_NETNS !== '1') {
  console.error('run me with tests/tools/in-netns.sh: I open peer connections');
  process.exit(2);
}

const JOINS = Number(process.argv[2] || 30);
const REGISTERED = '[rtc] 待ち合わせ役に登録しました';

const pct = (xs, p) => {
  const s = [...xs].sort((a, b) => a - b);
  return s[Math.min(s.length - 1, Math.ceil((p / 100) * s.length) - 1)];
};
const isCtlOpen = (e) => e.ev === 'dc' && e.label === 'ctl' && e.state === 'open';

// The two figures of one session, once both are in the host's journal.
function figures(host, sid) {
  const recs = connectLog(host).filter((r) => r.sid === sid);
  const hostOpen = recs.find((r) => r.src === 'host' && isCtlOpen(r));
  const events = new Map();
  for (const r of recs) if (r.src === 'client' && Array.isArray(r.events)) for (const e of r.events) events.set(e.n, e);
  const list = [...events.values()].sort((a, b) => a.n - b.n);
  const open = list.findIndex(isCtlOpen);
  const joined = open < 0 ? undefined : list.slice(0, open).reverse().find((e) => e.ev === 'joined');
  if (!hostOpen || !joined) return null;
  return { host: hostOpen.ms, page: list[open].ms - joined.ms };
}

const signal = new SignalServer();
await signal.start();
const host = new Host({ signal: signal.wsBase });
let phone;
try {
  await host.start();
  await waitFor(() => host.log().includes(REGISTERED), 'the host to register', 30000);
  const link = internetLink(host);
  phone = await launchRtcPhone();
  const page = await phone.page();
  const hostMs = [], pageMs = [];
  let prev = '';
  // One join more than measured: the first pays for Chromium's own start.
  for (let i = 0; i <= JOINS; i++) {
    if (i === 0) await page.goto(link); else await page.reload();
    const sid = await waitFor(async () => {
      const r = (await hook(page))?.rtc;
      return r && r.phase === 'live' && r.sid && r.sid !== prev && r.sid;
    }, 'join ' + i + ' live', 60000);
    prev = sid;
    const f = await waitFor(() => figures(host, sid), 'the journal of join ' + i, 30000);
    if (i === 0) continue;
    hostMs.push(f.host);
    pageMs.push(f.page);
  }
  const line = (name, xs) => `${name}: p50 ${pct(xs, 50)} ms, p95 ${pct(xs, 95)} ms (min ${Math.min(...xs)}, max ${Math.max(...xs)})`;
  console.log(`"peer"/"joined" to "ctl" open over ${JOINS} joins`);
  console.log('  ' + line('host ("peer" → ctl open)', hostMs));
  console.log('  ' + line('page ("joined" → ctl open)', pageMs));
  console.log('  load average: ' + os.loadavg().map((x) => x.toFixed(2)).join(' '));
} catch (e) {
  console.error(e.message + '\n--- host log ---\n' + host.log().slice(-3000) + '\n--- server log ---\n' + signal.log().slice(-2000));
  process.exitCode = 1;
} finally {
  await phone?.close();
  await host.dispose();
  await signal.dispose();
}
