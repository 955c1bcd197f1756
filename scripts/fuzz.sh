#!/usr/bin/env bash
# Runs every fuzz target for a bounded time. Usage: fuzz.sh BUILD_DIR SECONDS
set -euo pipefail
dir=$1
secs=${2:-60}
for t in "$dir"/fuzz/*_fuzz; do
  name=$(basename "$t")
  corpus=$(mktemp -d)
  echo "fuzzing $name for ${secs}s"
  "$t" -max_total_time="$secs" -max_len=70000 -print_final_stats=1 "$corpus" 2>&1 | tail -n 4
  rm -rf "$corpus"
done
