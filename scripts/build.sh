#!/usr/bin/env bash
# Configures and builds into build/ (or $BUILD_DIR with extra cmake args).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=${BUILD_DIR:-$here/build}
cmake -S "$here" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
