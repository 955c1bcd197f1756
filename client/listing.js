// A folder listing from the computer ("lsr"), made safe to show: entries of
// the wrong shape are left out, folders come first, names in natural order
// (file2 before file10). Paths are relative to the computer's home folder,
// "" being the home folder itself.

const collator = new Intl.Collator(undefined, { numeric: true, sensitivity: "base" });

export function cleanItems(items) {
  if (!Array.isArray(items)) return [];
  const out = [];
  for (const it of items) {
    if (!it || typeof it !== "object" || typeof it.n !== "string" || !it.n || it.n.includes("/")) continue;
    if (it.n === "." || it.n === "..") continue;
    const size = Number.isSafeInteger(it.size) && it.size >= 0 ? it.size : 0;
    const mt = Number.isSafeInteger(it.mt) && it.mt > 0 ? it.mt : 0;
    out.push({ n: it.n, dir: it.dir === true, size, mt });
  }
  return out.sort((a, b) => (a.dir !== b.dir ? (a.dir ? -1 : 1) : collator.compare(a.n, b.n)));
}

export function joinPath(dir, name) { return dir ? dir + "/" + name : name; }

// Breadcrumbs: [{ label, path }] from the home folder down to `path`.
export function crumbs(path) {
  const out = [{ label: "Home", path: "" }];
  let at = "";
  for (const part of path.split("/").filter(Boolean)) {
    at = joinPath(at, part);
    out.push({ label: part, path: at });
  }
  return out;
}

export function formatSize(n) {
  if (n < 1000) return n + " B";
  const units = ["KB", "MB", "GB", "TB"];
  let v = n, u = -1;
  do { v /= 1000; u++; } while (v >= 1000 && u < units.length - 1);
  return (v < 10 ? v.toFixed(1) : Math.round(v)) + " " + units[u];
}

// Today: the time; this year: day and month; otherwise the date with the year.
export function formatDate(mt, now = new Date()) {
  if (!mt) return "";
  const d = new Date(mt * 1000);
  if (d.toDateString() === now.toDateString()) return d.toLocaleTimeString(undefined, { hour: "2-digit", minute: "2-digit" });
  if (d.getFullYear() === now.getFullYear()) return d.toLocaleDateString(undefined, { month: "short", day: "numeric" });
  return d.toLocaleDateString(undefined, { year: "numeric", month: "short", day: "numeric" });
}

export const LIST_ERRORS = {
  denied: "This folder is outside the computer's home folder.",
  read: "The computer could not read this folder.",
};
