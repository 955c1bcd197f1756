// The frame number the computer stamps below every picture of the video
// track: a 32-row strip of 16-pixel cells, a lit start cell, a dark gap, then
// 24 cells, most significant bit first, lit for 1. The phone reads it back
// from each presented frame to tie the picture to the inputs it shows ("fm").
export const STRIP_ROWS = 32;
export const CELL = 16;
export const CELLS = 26;
const STRIP_PX = CELL * CELLS; // 416: the strip's width at the computer's size
const LIT = 128;

// Lightness of pixel i of an RGBA row.
const lum = (rgba, i) => (rgba[4 * i] * 77 + rgba[4 * i + 1] * 150 + rgba[4 * i + 2] * 29) >> 8;

// One row through the middle of the strip, RGBA, `width` pixels standing for
// the strip's 416 (fewer when the picture was scaled down): the frame number,
// or -1 when this is not a strip (start cell dark, gap lit, or a cell that is
// not one colour across, as when the cells are not where they are looked for).
export function stripNumber(rgba, width = STRIP_PX) {
  if (!rgba || width < 2 * CELLS || rgba.length < 4 * width) return -1;
  const px = (x) => lum(rgba, Math.min(width - 1, Math.floor(x * width / STRIP_PX))) >= LIT;
  const at = (cell) => {
    const a = px(cell * CELL + CELL / 4), b = px(cell * CELL + CELL * 3 / 4);
    return a === b ? a : null;
  };
  if (at(0) !== true || at(1) !== false) return -1;
  let n = 0;
  for (let j = 0; j < 24; j++) {
    const bit = at(2 + j);
    if (bit === null) return -1;
    n = n * 2 + (bit ? 1 : 0);
  }
  return n;
}

// Reads the strip of a <video>'s current frame. `w` and `h` are the picture's
// size as the computer last sent it ("vcfg"). The computer scales a picture
// before it draws the strip, so a frame of another size is one whose "vcfg"
// is still on its way, with a strip of its own last 32 rows. Failing that, the
// frame is taken as scaled as a whole, strip included, and read in shares of
// its size. `whole` tells which way the last number was read.
export class StripReader {
  constructor() {
    this.canvas = document.createElement("canvas");
    this.canvas.width = STRIP_PX;
    this.canvas.height = 1;
    this.ctx = this.canvas.getContext("2d", { willReadFrequently: true, alpha: false });
    this.whole = false;
  }

  // `src` is a <video> (its current frame) or a decoded VideoFrame.
  read(src, w, h) {
    const vw = src.videoWidth ?? src.displayWidth, vh = src.videoHeight ?? src.displayHeight;
    if (!vw || !vh) return -1;
    const own = this.at(src, vw, vh, vw, vh - STRIP_ROWS);
    if (own >= 0 || !(w > 0 && h > 0) || (vw === w && vh === h + STRIP_ROWS)) { if (own >= 0) this.whole = false; return own; }
    const n = this.at(src, vw, vh, w, h);
    if (n >= 0) this.whole = true;
    return n;
  }

  // The strip of a frame vw x vh that stands for a picture w x h and its strip.
  at(src, vw, vh, w, h) {
    if (h <= 0) return -1;
    const kx = vw / w, ky = vh / (h + STRIP_ROWS);
    const sw = Math.min(vw, STRIP_PX * kx);
    // The middle rows of the strip, squeezed into one row at the strip's own width.
    try {
      this.ctx.drawImage(src, 0, (h + 12) * ky, sw, 8 * ky, 0, 0, STRIP_PX, 1);
      return stripNumber(this.ctx.getImageData(0, 0, STRIP_PX, 1).data, STRIP_PX);
    } catch (e) {
      return -1;
    }
  }
}
