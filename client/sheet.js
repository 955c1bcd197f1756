// Feature modules carry their own styles, so index.html stays the page's frame.
const added = new Set();

export function addStyle(name, css) {
  if (added.has(name)) return;
  added.add(name);
  const el = document.createElement("style");
  el.dataset.for = name;
  el.textContent = css;
  document.head.appendChild(el);
}

// A small element factory: el("div", { className: "x", text: "hi" }, child...).
export function el(tag, props = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(props)) {
    if (k === "text") e.textContent = v;
    else if (k === "className" || k === "id" || k === "type" || k === "href" || k === "hidden" || k === "multiple") e[k] = v;
    else e.setAttribute(k, v);
  }
  for (const c of children) if (c !== null && c !== undefined) e.append(c);
  return e;
}

// The side panels (Apps, Files, the clipboard menu) share the space above the
// toolbar: one is open at a time. A panel calls opening(name) as it opens and
// closes itself when onOtherOpening tells it another has.
export function opening(name) {
  document.dispatchEvent(new CustomEvent("tolvane-panel", { detail: name }));
}

export function onOtherOpening(name, close) {
  document.addEventListener("tolvane-panel", (e) => { if (e.detail !== name) close(); });
}
