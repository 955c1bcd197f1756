// Small DOM helpers and the test hook that browser tests and benchmarks read.

export const $ = (id) => document.getElementById(id);

export function setPressed(id, on) { $(id).setAttribute("aria-pressed", on ? "true" : "false"); }

// Counters and the last values seen, copied out by the browser tests.
export const T = (window.__tolvane = {
  state: "connecting", hello: null, app: "", config: null, frames: 0, drawn: 0, dropped: 0,
  rtt: null, delays: [], decodeMs: null, skipped: 0, error: null, warn: null, mode: "touch", opens: 0, qd: 0, jumps: 0, route: null,
});
