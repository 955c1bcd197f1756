#!/usr/bin/env bash
# Configures and builds into build/ (or $BUILD_DIR with extra cmake args).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=${BUILD_DIR:-$here/build}
launcher=()
# Work trees of one checkout share compiled objects through ccache.
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_BASEDIR=$here
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$here" -B "$dir" -G Ninja "${launcher[@]}" -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
