// Base64 both ways for file chunks. Decoding is strict: a chunk from the
// computer that is not clean base64 is refused rather than half-read.

const CLEAN = /^[A-Za-z0-9+/]*={0,2}$/;
const STEP = 0x8000; // String.fromCharCode takes this many arguments safely

export function toBase64(bytes) {
  let bin = "";
  for (let i = 0; i < bytes.length; i += STEP) bin += String.fromCharCode.apply(null, bytes.subarray(i, i + STEP));
  return btoa(bin);
}

// Uint8Array, or null when the text is not strict base64.
export function fromBase64(text) {
  if (typeof text !== "string" || text.length % 4 !== 0 || !CLEAN.test(text)) return null;
  let bin;
  try { bin = atob(text); } catch (e) { return null; }
  const out = new Uint8Array(bin.length);
  for (let i = 0; i < bin.length; i++) out[i] = bin.charCodeAt(i);
  return out;
}

// Encoded length of n raw bytes.
export const base64Length = (n) => 4 * Math.ceil(n / 3);

// A fresh transfer id: 16 random hex digits (works on plain-http pages too).
export function randomId() {
  const b = crypto.getRandomValues(new Uint8Array(8));
  return Array.from(b, (x) => x.toString(16).padStart(2, "0")).join("");
}
