// What ties the page to its computer over the rendezvous server: the room is
// a one-way hash of the connect key, and every session description carries
// an HMAC-SHA256 made with the key. The server sees the hash and the codes,
// never the key. crypto.subtle when the page has it, the built-in code when not.
import { sha256, hmacSha256 } from "./sha256.js";

const enc = new TextEncoder();
const subtle = () => (globalThis.isSecureContext && globalThis.crypto && globalThis.crypto.subtle) || null;

export function toHex(bytes) {
  let s = "";
  for (const b of bytes) s += (b < 16 ? "0" : "") + b.toString(16);
  return s;
}

// Pairs of hex digits (either case) as bytes; null for an odd length or a non-hex pair.
export function fromHex(text) {
  if (typeof text !== "string" || text.length % 2) return null;
  const out = new Uint8Array(text.length / 2);
  for (let i = 0; i < out.length; i++) {
    const pair = text.substr(2 * i, 2);
    if (!/^[0-9a-fA-F]{2}$/.test(pair)) return null;
    out[i] = parseInt(pair, 16);
  }
  return out;
}

export async function sha256Bytes(text) {
  const data = enc.encode(text);
  const s = subtle();
  return s ? new Uint8Array(await s.digest("SHA-256", data)) : sha256(data);
}

export async function hmacBytes(key, text) {
  const k = enc.encode(key), data = enc.encode(text);
  const s = subtle();
  if (!s) return hmacSha256(k, data);
  const ck = await s.importKey("raw", k, { name: "HMAC", hash: "SHA-256" }, false, ["sign"]);
  return new Uint8Array(await s.sign("HMAC", ck, data));
}

export async function sha256hex(text) { return toHex(await sha256Bytes(text)); }

// The code for a message, 64 lowercase hex digits.
export async function macFor(key, text) { return toHex(await hmacBytes(key, text)); }

// Whether `mac` is the code of `text` under `key`. The comparison looks at
// every byte, so its time does not tell how much of a forgery was right.
export async function macOK(key, text, mac) {
  const got = fromHex(mac);
  if (!got || got.length === 0) return false;
  const want = await hmacBytes(key, text);
  if (got.length !== want.length) return false;
  let diff = 0;
  for (let i = 0; i < want.length; i++) diff |= got[i] ^ want[i];
  return diff === 0;
}

export const roomFor = (key) => sha256hex("rid:" + key);
export const offerText = (sid, sdp) => "sdp|offer|" + sid + "|" + sdp;
export const answerText = (sid, sdp) => "sdp|answer|" + sid + "|" + sdp;

// The connect key from the link's fragment ("#k=" and 64 hex digits): null
// when the link has none (a LAN link), "" when it has a damaged one.
export function linkKey(hash) {
  if (typeof hash !== "string" || !hash.startsWith("#")) return null;
  const k = new URLSearchParams(hash.slice(1)).get("k");
  if (k === null) return null;
  // The computer writes the key in lowercase; a link retyped in capitals is the same key.
  return /^[0-9a-fA-F]{64}$/.test(k) ? k.toLowerCase() : "";
}
