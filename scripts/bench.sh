#!/usr/bin/env bash
# Builds and runs the benchmarks; figures go to standard output.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/build.sh"
for b in "$here"/build/bench/*_bench; do
  echo "== $(basename "$b")"
  "$b"
done
for b in "$here"/bench/*_bench.py; do
  echo "== $(basename "$b")"
  /usr/bin/python3 "$b" "$here/build/tolvane-host"
done
# Peer-connection benchmarks that drive Chromium run in a private network
# namespace with loopback only.
for b in "$here"/bench/rtc_*_bench.mjs; do
  echo "== $(basename "$b")"
  (cd "$here/tests/e2e" && TOLVANE_HOST_BIN="$here/build/tolvane-host" TOLVANE_SIGNAL_BIN="$here/build/tolvane-signal" \
    DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent "$here/tests/tools/in-netns.sh" node "$b")
done
