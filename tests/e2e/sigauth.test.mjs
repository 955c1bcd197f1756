// The page's SHA-256 and HMAC in the browser: the built-in code against
// crypto.subtle and against Node's OpenSSL, and the page's checks of a code,
// both where crypto.subtle exists and where the page is not a secure context.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import { launchPhone } from './support.mjs';
import { ScriptedSignal, sha256hex, macFor } from './rtc-support.mjs';

let phone, signal;
before(async () => {
  signal = new ScriptedSignal();
  await signal.start();
  phone = await launchPhone({ extraArgs: ['--host-resolver-rules=MAP tolvane-desk.test 127.0.0.1'] });
});
after(async () => { await phone?.close(); await signal?.stop(); });

// Bytes around the 64-byte block edges (55 is the last length with room for
// the length field in one block), and texts beyond ASCII.
const LENGTHS = [0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 1000];
const bytesOf = (n) => Array.from({ length: n }, (_, i) => (i * 31 + 7) & 255);
const TEXTS = ['', 'abc', 'é', '日本語のテキスト', 'emoji 🙂🚀 and ASCII', 'ß'.repeat(300) + '\u{10FFFF}'];
const KEY = 'a'.repeat(32) + '0123456789abcdef0123456789abcdef';
const HMAC_KEYS = ['k', KEY, KEY + 'x', 'ü'.repeat(40), 'long key '.repeat(20)];

const nodeHash = (bytes) => crypto.createHash('sha256').update(Buffer.from(bytes)).digest('hex');
const nodeHmac = (key, bytes) => crypto.createHmac('sha256', Buffer.from(key, 'utf8')).update(Buffer.from(bytes)).digest('hex');

test('the built-in SHA-256 and HMAC agree with crypto.subtle and with OpenSSL', async () => {
  const page = await phone.page();
  await page.goto(signal.blank);
  const got = await page.evaluate(async ([lengths, texts, keys]) => {
    const { sha256, hmacSha256 } = await import('/sha256.js');
    const hex = (b) => Array.from(new Uint8Array(b), (x) => x.toString(16).padStart(2, '0')).join('');
    const enc = new TextEncoder();
    const inputs = [
      ...lengths.map((n) => Uint8Array.from({ length: n }, (_, i) => (i * 31 + 7) & 255)),
      ...texts.map((t) => enc.encode(t)),
    ];
    const out = { secure: window.isSecureContext, hashes: [], macs: [] };
    for (const data of inputs) {
      out.hashes.push([hex(sha256(data)), hex(await crypto.subtle.digest('SHA-256', data))]);
      for (const k of keys) {
        const kb = enc.encode(k);
        const ck = await crypto.subtle.importKey('raw', kb, { name: 'HMAC', hash: 'SHA-256' }, false, ['sign']);
        out.macs.push([hex(hmacSha256(kb, data)), hex(await crypto.subtle.sign('HMAC', ck, data))]);
      }
    }
    return out;
  }, [LENGTHS, TEXTS, HMAC_KEYS]);
  assert.equal(got.secure, true);
  const inputs = [...LENGTHS.map(bytesOf), ...TEXTS.map((t) => [...Buffer.from(t, 'utf8')])];
  inputs.forEach((data, i) => {
    const [builtin, subtle] = got.hashes[i];
    assert.equal(builtin, subtle, 'SHA-256 of input ' + i);
    assert.equal(builtin, nodeHash(data), 'SHA-256 of input ' + i + ' against OpenSSL');
    HMAC_KEYS.forEach((k, j) => {
      const [b, s] = got.macs[i * HMAC_KEYS.length + j];
      assert.equal(b, s, `HMAC of input ${i} with key ${j}`);
      assert.equal(b, nodeHmac(k, data), `HMAC of input ${i} with key ${j} against OpenSSL`);
    });
  });
  assert.deepEqual(phone.errors, []);
  await page.close();
});

// What the page computes for the link's key, and how it judges codes.
async function judge(page) {
  return page.evaluate(async (key) => {
    const a = await import('/sigauth.js');
    const mac = await a.macFor(key, 'sdp|offer|s1|v=0\r\n');
    const flip = (s) => s.slice(0, -1) + (s.endsWith('0') ? '1' : '0');
    return {
      secure: window.isSecureContext, subtle: !!(window.crypto && window.crypto.subtle),
      rid: await a.roomFor(key), mac, unicode: await a.macFor(key, 'sdp|answer|é|🙂'),
      ok: {
        right: await a.macOK(key, 'sdp|offer|s1|v=0\r\n', mac),
        upper: await a.macOK(key, 'sdp|offer|s1|v=0\r\n', mac.toUpperCase()),
        otherText: await a.macOK(key, 'sdp|offer|s2|v=0\r\n', mac),
        otherKey: await a.macOK(key.replace(/^./, 'b'), 'sdp|offer|s1|v=0\r\n', mac),
        flipped: await a.macOK(key, 'sdp|offer|s1|v=0\r\n', flip(mac)),
        odd: await a.macOK(key, 'sdp|offer|s1|v=0\r\n', mac.slice(1)),
        short: await a.macOK(key, 'sdp|offer|s1|v=0\r\n', mac.slice(0, 62)),
        longer: await a.macOK(key, 'sdp|offer|s1|v=0\r\n', mac + '00'),
        nonHex: await a.macOK(key, 'sdp|offer|s1|v=0\r\n', 'zz' + mac.slice(2)),
        empty: await a.macOK(key, 'sdp|offer|s1|v=0\r\n', ''),
        notText: await a.macOK(key, 'sdp|offer|s1|v=0\r\n', 12),
      },
    };
  }, KEY);
}

const EXPECTED_OK = { right: true, upper: true, otherText: false, otherKey: false, flipped: false, odd: false,
  short: false, longer: false, nonHex: false, empty: false, notText: false };

for (const [name, origin, secure] of [
  ['with crypto.subtle (a secure context)', () => signal.blank, true],
  ['without crypto.subtle (plain http from a LAN name)', () => `http://tolvane-desk.test:${signal.port}/blank`, false],
]) {
  test('room, codes and their check ' + name, async () => {
    const page = await phone.page();
    await page.goto(origin());
    const got = await judge(page);
    assert.equal(got.secure, secure);
    assert.equal(got.subtle, secure);
    assert.equal(got.rid, sha256hex('rid:' + KEY));
    assert.equal(got.mac, macFor(KEY, 'sdp|offer|s1|v=0\r\n'));
    assert.equal(got.unicode, macFor(KEY, 'sdp|answer|é|🙂'));
    assert.deepEqual(got.ok, EXPECTED_OK);
    assert.deepEqual(phone.errors, []);
    await page.close();
  });
}

test('the key is taken from the link fragment only as 64 hex digits', async () => {
  const page = await phone.page();
  await page.goto(signal.blank);
  const cases = { '': null, '#': null, '#x=1': null, ['#k=' + KEY]: KEY, ['#k=' + KEY.toUpperCase()]: KEY,
    ['#a=1&k=' + KEY]: KEY, '#k=abc': '', ['#k=' + KEY + '0']: '', ['#k=' + KEY.slice(1) + 'g']: '', '#k=': '' };
  const got = await page.evaluate(async (hashes) => {
    const { linkKey } = await import('/sigauth.js');
    return hashes.map((h) => linkKey(h));
  }, Object.keys(cases));
  assert.deepEqual(got, Object.values(cases));
  await page.close();
});
