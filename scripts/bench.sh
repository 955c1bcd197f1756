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
