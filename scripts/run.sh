#!/usr/bin/env bash
# Installs what is missing, builds, and runs the host. Without an X display it
# runs on the test pattern. Extra arguments go to the host.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/install-deps.sh"
bash "$here/scripts/build.sh"
args=("$@")
if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
  echo "No X display: running on the test pattern."
  args=(--test-pattern "${args[@]}")
fi
# The binary falls back to the current directory for its data; run from the
# project root that would put keys and tokens into the work tree. Use the
# installed application's place unless the caller chose one.
if [[ " ${args[*]} " != *" --data-dir "* ]] && [ -z "${KESTRAVA_DATA:-}" ]; then
  args=(--data-dir "${XDG_DATA_HOME:-$HOME/.local/share}/Tolvane Host" "${args[@]}")
fi
exec "$here/build/tolvane-host" "${args[@]}"
