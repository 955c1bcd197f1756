// Large texts on the "file" channel between our webrtcbin stack (the
// rtc_echo tool, offering as the host does) and Chromium (answering as the
// page does): byte for byte both ways at the sizes file transfer needs, and
// what happens just past the size the descriptions agree on. Announcing
// 262144 showed webrtcbin delivering every text above about 66 KB in
// pieces, which is why the offers carry 65536: file data messages must stay
// at or under it. Opens peer
// connections: runs only inside a private network namespace
// (tests/tools/in-netns.sh), never on the real network.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import path from 'node:path';
import readline from 'node:readline';
import { repo, waitFor } from './support.mjs';
import { launchRtcPhone, ScriptedSignal } from './rtc-support.mjs';

if (process.env.TOLVANE_NETNS !== '1') throw new Error('run me with tests/tools/in-netns.sh: I open peer connections');

const echoBin = process.env.RTC_ECHO_BIN || path.join(repo, 'build/tests/rtc_echo');
const ANNOUNCED = 65536;  // what our offers carry in a=max-message-size

// The tool's pattern, rebuilt here: byte i = 'a' + (i * 7 + seed) % 26.
const pattern = (len, seed) => {
  const b = Buffer.alloc(len);
  for (let i = 0; i < len; i++) b[i] = 97 + ((i * 7 + seed) % 26);
  return b.toString('latin1');
};
const fnv = (s) => {
  let h = 0xcbf29ce484222325n;
  for (let i = 0; i < s.length; i++) h = BigInt.asUintN(64, (h ^ BigInt(s.charCodeAt(i))) * 0x100000001b3n);
  return h.toString(16).padStart(16, '0');
};

// The webrtcbin side, one JSON object a line each way.
class Echo {
  constructor() {
    this.lines = [];
    this.stderr = '';
    this.proc = spawn(echoBin, [], { stdio: ['pipe', 'pipe', 'pipe'] });
    this.proc.stderr.on('data', (d) => { this.stderr += d; });
    readline.createInterface({ input: this.proc.stdout }).on('line', (l) => {
      try { this.lines.push(JSON.parse(l)); } catch { this.lines.push({ t: 'garbage', l }); }
    });
  }
  send(obj) { this.proc.stdin.write(JSON.stringify(obj) + '\n'); }
  of(kind) { return this.lines.filter((l) => l.t === kind); }
  next(kind, after, what) { return waitFor(() => this.of(kind)[after], what, 30000, 20); }
  async stop() {
    if (this.proc.exitCode !== null) return;
    const gone = new Promise((r) => this.proc.once('exit', r));
    this.send({ t: 'quit' });
    const t = setTimeout(() => this.proc.kill('SIGKILL'), 5000);
    await gone;
    clearTimeout(t);
  }
}

let phone, server, page, echo, answerSdp;
const found = [];

before(async () => {
  server = new ScriptedSignal();  // only for a page with an http origin
  await server.start();
  phone = await launchRtcPhone();
  page = await phone.page();
  await page.goto(server.blank);
  echo = new Echo();
  const offer = (await echo.next('offer', 0, 'the offer from webrtcbin')).sdp;
  // Chromium's candidates wait until webrtcbin has the answer.
  const early = [];
  let answered = false;
  await page.exposeFunction('pageCandidate', (c) => { if (answered) echo.send({ t: 'ice', ...c }); else early.push(c); });
  answerSdp = await page.evaluate(async (sdp) => {
    const P = window.P = { msgs: [], ch: null, pc: new RTCPeerConnection() };
    P.pc.onicecandidate = (e) => {
      if (e.candidate && e.candidate.candidate) {
        window.pageCandidate({ cand: e.candidate.candidate, mid: e.candidate.sdpMid || '', idx: e.candidate.sdpMLineIndex ?? 0 });
      }
    };
    P.pc.ondatachannel = (e) => {
      if (e.channel.label !== 'file') return;
      P.ch = e.channel;
      P.ch.onmessage = (m) => P.msgs.push(m.data);
    };
    P.pattern = (len, seed) => {
      let s = '';
      const abc = 'abcdefghijklmnopqrstuvwxyz';
      for (let i = 0; i < len; i++) s += abc[(i * 7 + seed) % 26];
      return s;
    };
    // What arrived as message i, against the pattern: its length, its kind
    // and the first byte that differs (-1 when none does).
    P.check = (i, len, seed) => {
      const got = P.msgs[i];
      if (typeof got !== 'string') return { kind: typeof got, len: got?.byteLength ?? -1, firstBad: 0 };
      const want = P.pattern(len, seed);
      let firstBad = -1;
      for (let k = 0; k < Math.max(got.length, want.length); k++) if (got[k] !== want[k]) { firstBad = k; break; }
      return { kind: 'string', len: got.length, firstBad };
    };
    P.send = (len, seed) => {
      try { P.ch.send(P.pattern(len, seed)); return 'sent'; } catch (e) { return e.name; }
    };
    await P.pc.setRemoteDescription({ type: 'offer', sdp });
    await P.pc.setLocalDescription(await P.pc.createAnswer());
    return P.pc.localDescription.sdp;
  }, offer);
  echo.send({ t: 'answer', sdp: answerSdp });
  answered = true;
  for (const c of early.splice(0)) echo.send({ t: 'ice', ...c });
  let seen = 0;
  const relay = setInterval(() => {
    const ice = echo.of('ice');
    while (seen < ice.length) {
      const c = ice[seen++];
      page.evaluate((x) => window.P.pc.addIceCandidate({ candidate: x.cand, sdpMid: x.mid || undefined, sdpMLineIndex: x.idx }), c).catch(() => {});
    }
  }, 20);
  try {
    await echo.next('open', 0, 'the file channel open at webrtcbin');
    await waitFor(() => page.evaluate(() => window.P.ch?.readyState === 'open'), 'the file channel open in Chromium');
  } catch (e) {
    e.message += '\n--- rtc_echo ---\n' + echo.stderr + JSON.stringify(echo.lines.filter((l) => l.t !== 'ice'));
    throw e;
  } finally { clearInterval(relay); }
});

after(async () => {
  if (found.length) console.log('# what arrived:\n' + found.map((f) => '#   ' + f).join('\n'));
  await echo?.stop();
  await phone?.close();
  await server?.stop();
});

test('the descriptions agree on the size our offer announces', async () => {
  const chromiumMay = await page.evaluate(() => window.P.pc.sctp.maxMessageSize);
  const chromiumTakes = Number((answerSdp.match(/a=max-message-size:(\d+)/) || [])[1] || 65536);
  found.push(`Chromium may send us ${chromiumMay} bytes; its answer lets webrtcbin send ${chromiumTakes}`);
  assert.equal(chromiumMay, ANNOUNCED);
  assert.ok(chromiumTakes >= ANNOUNCED, 'the answer allows ' + chromiumTakes);
});

// Page → webrtcbin (checked there by length and checksum) → back to the page
// (checked byte by byte), then webrtcbin's own text to the page.
async function roundTrip(size, seed) {
  const got = echo.of('got').length;
  const msgs = await page.evaluate(() => window.P.msgs.length);
  assert.equal(await page.evaluate(([l, s]) => window.P.send(l, s), [size, seed]), 'sent');
  const atHost = await echo.next('got', got, `${size} bytes at webrtcbin`);
  const echoed = await waitFor(async () => {
    const n = await page.evaluate(() => window.P.msgs.length);
    return n > msgs && page.evaluate(([i, l, s]) => window.P.check(i, l, s), [msgs, size, seed]);
  }, `the echo of ${size} bytes in Chromium`);
  const sent = echo.of('sent').length;
  echo.send({ t: 'send', len: size, seed: seed + 1 });
  const hostSent = await echo.next('sent', sent, `webrtcbin's send of ${size} bytes`);
  const fromHost = hostSent.ok ? await waitFor(async () => {
    const n = await page.evaluate(() => window.P.msgs.length);
    return n > msgs + 1 && page.evaluate(([i, l, s]) => window.P.check(i, l, s), [msgs + 1, size, seed + 1]);
  }, `webrtcbin's ${size} bytes in Chromium`) : null;
  found.push(`${size}: page→webrtcbin ${atHost.len} bytes ${atHost.sum === fnv(pattern(size, seed)) ? 'intact' : 'CHANGED'} (binary ${atHost.binary}); ` +
    `echo in Chromium ${echoed.len} bytes, first difference ${echoed.firstBad}; ` +
    `webrtcbin→page ${hostSent.ok ? `${fromHost.len} bytes, first difference ${fromHost.firstBad}` : 'refused by webrtcbin'}`);
  assert.equal(atHost.len, size);
  assert.equal(atHost.binary, false);
  assert.equal(atHost.sum, fnv(pattern(size, seed)), 'the bytes webrtcbin received');
  assert.deepEqual(echoed, { kind: 'string', len: size, firstBad: -1 }, 'the echo in Chromium');
  assert.equal(hostSent.ok, true, 'webrtcbin took the text');
  assert.deepEqual(fromHost, { kind: 'string', len: size, firstBad: -1 }, 'webrtcbin\'s text in Chromium');
}

test('texts up to exactly the announced size arrive intact both ways', async () => {
  await roundTrip(49152, 3);
  await roundTrip(ANNOUNCED, 11);
});

test('one byte past the announced size is refused by the sender on both sides, and the channel lives on', async () => {
  const pageSays = await page.evaluate((l) => window.P.send(l, 0), ANNOUNCED + 1);
  const sent = echo.of('sent').length;
  echo.send({ t: 'send', len: ANNOUNCED + 1, seed: 0 });
  const hostSays = await echo.next('sent', sent, 'webrtcbin\'s answer to an oversized text');
  found.push(`${ANNOUNCED + 1}: Chromium's send() ${pageSays}; webrtcbin's send ${hostSays.ok ? 'took it' : 'refused it'}`);
  assert.notEqual(pageSays, 'sent');
  assert.equal(hostSays.ok, false);
  await roundTrip(1000, 13);
});
