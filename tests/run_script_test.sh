#!/usr/bin/env bash
# Starts the host the way a person does, scripts/run.sh from the project root,
# with a HOME of its own, waits for its banner and links, stops it with
# SIGTERM and checks that the work tree is as it was and that the data went to
# the XDG data place instead. Usage: run_script_test.sh PROJECT_ROOT
# Exits 77 (skipped) when git or the work tree is missing.
set -uo pipefail
root=$(cd "${1:?project root}" && pwd)

if ! command -v git >/dev/null 2>&1; then
  echo "SKIP: git is not installed"
  exit 77
fi
if [ "$(git -C "$root" rev-parse --is-inside-work-tree 2>/dev/null)" != true ]; then
  echo "SKIP: $root is not a git work tree"
  exit 77
fi

tmp=$(mktemp -d /tmp/tolvane-runsh-XXXXXX)
pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -KILL -- "-$pid" 2>/dev/null || kill -KILL "$pid"; fi
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  echo "--- output of run.sh ---"
  cat "$tmp/out.txt" 2>/dev/null
  exit 1
}

# Plain status as a person sees it, and the ignored entries as well: the data
# files are ignored, so a run that put them into the tree shows only there.
# Build folders and installed npm packages are the tools' own business.
treeState() {
  git -C "$root" status --porcelain=v1 --untracked-files=all
  echo "-- ignored --"
  git -C "$root" status --porcelain=v1 --ignored=traditional --untracked-files=all |
    grep '^!! ' | grep -v -e '^!! build[^/]*/' -e '^!! tests/e2e/node_modules/'
}

python=/usr/bin/python3
[ -x "$python" ] || python=python3
port=$("$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

home="$tmp/home"
mkdir -p "$home"
data="$home/.local/share/Tolvane Host"
# A new HOME would also move ccache's store; keep the one in use so that a
# build run.sh has to make is not made from nothing.
cache=()
if [ -z "${CCACHE_DIR:-}" ] && command -v ccache >/dev/null 2>&1; then
  dir=$(ccache -k cache_dir 2>/dev/null) && [ -n "$dir" ] && cache=("CCACHE_DIR=$dir")
fi

before=$(treeState)
echo "--- git status before ---"
echo "$before"

cd "$root"
# Its own session, so that a failed run ends with everything it started.
env -u XDG_DATA_HOME -u KESTRAVA_DATA -u DISPLAY HOME="$home" "${cache[@]}" \
  setsid bash scripts/run.sh --test-pattern --no-tls --port "$port" >"$tmp/out.txt" 2>&1 &
pid=$!

# run.sh installs what is missing and builds before it starts the host: a
# no-op on a built tree, a long wait on a fresh one.
deadline=$((SECONDS + 2000))
until grep -q "データ置き場: " "$tmp/out.txt" && grep -q ":$port/?t=" "$tmp/out.txt"; do
  kill -0 "$pid" 2>/dev/null || fail "run.sh ended before the host printed its links"
  [ $SECONDS -lt $deadline ] || fail "no banner and links after 2000 s"
  sleep 0.5
done
grep -q "== Kestrava 起動 (テスト映像) ==" "$tmp/out.txt" || fail "no test-pattern banner"
grep -qF "データ置き場: $data" "$tmp/out.txt" || fail "the data is not in $data"

# The host sets up its signal handlers just after the links; a SIGTERM
# before that would end it outright. Wait until it catches the signal.
catches() {
  local mask
  mask=$(awk '/^SigCgt:/ { print $2 }' "/proc/$pid/status" 2>/dev/null) || return 1
  [ -n "$mask" ] && (((0x$mask >> 14) & 1))
}
deadline=$((SECONDS + 120))
until catches; do
  kill -0 "$pid" 2>/dev/null || fail "the host ended by itself"
  [ $SECONDS -lt $deadline ] || fail "the host never set up its SIGTERM handler"
  sleep 0.1
done
kill -TERM "$pid"
deadline=$((SECONDS + 120))
while kill -0 "$pid" 2>/dev/null; do
  [ $SECONDS -lt $deadline ] || fail "the host did not end after SIGTERM"
  sleep 0.2
done
wait "$pid"
status=$?
pid=""
[ "$status" = 0 ] || fail "exit status $status after SIGTERM"

[ -f "$data/last_url.txt" ] || fail "no last_url.txt in $data"
grep -q ":$port/?t=" "$data/last_url.txt" || fail "last_url.txt does not hold the link: $(cat "$data/last_url.txt")"

after=$(treeState)
echo "--- git status after ---"
echo "$after"
if [ "$before" != "$after" ]; then
  echo "--- difference ---"
  diff <(echo "$before") <(echo "$after")
  fail "running the host changed the work tree"
fi
echo "PASS: the work tree is unchanged and the data went to $data"
