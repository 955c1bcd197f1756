// Base64 both ways for file chunks. Decoding is strict: a chunk from the
// computer that is not clean base64 is refused rather than half-read.

const STEP = 0x8000; // String.fromCharCode takes this many arguments safely

export function toBase64(bytes) {
  let bin = "";
  for (let i = 0; i < bytes.length; i += STEP) bin += String.fromCharCode.apply(null, bytes.subarray(i, i + STEP));
  return btoa(bin);
}

// Each character's six bits, 255 for a character base64 does not use.
const SEXTET = new Uint8Array(128).fill(255);
for (let i = 0; i < 64; i++) SEXTET["ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/".charCodeAt(i)] = i;

// Uint8Array, or null when the text is not strict base64. Checked and decoded
// in one pass: a chunk a second is some 64,000 characters.
export function fromBase64(text) {
  if (typeof text !== "string" || text.length % 4 !== 0) return null;
  let len = text.length;
  let pad = 0;
  if (len && text.charCodeAt(len - 1) === 61) { pad = 1; if (text.charCodeAt(len - 2) === 61) pad = 2; }
  len -= pad;
  const out = new Uint8Array((text.length / 4) * 3 - pad);
  let o = 0, acc = 0, bits = 0;
  for (let i = 0; i < len; i++) {
    const c = text.charCodeAt(i);
    const v = c < 128 ? SEXTET[c] : 255;
    if (v === 255) return null;
    acc = (acc << 6) | v;
    bits += 6;
    if (bits >= 8) { bits -= 8; out[o++] = (acc >> bits) & 0xff; }
  }
  return out;
}

// Encoded length of n raw bytes.
export const base64Length = (n) => 4 * Math.ceil(n / 3);

// A fresh transfer id: 16 random hex digits (works on plain-http pages too).
export function randomId() {
  const b = crypto.getRandomValues(new Uint8Array(8));
  return Array.from(b, (x) => x.toString(16).padStart(2, "0")).join("");
}
