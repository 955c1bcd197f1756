#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite: the normal
# build, the unit tests again under ASan+UBSan and the threaded core under
# TSan, and the fuzzers for a bounded time.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/install-deps.sh
export DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent NO_AT_BRIDGE=1

bash scripts/build.sh
# A test that fails gets two more runs before the stage fails: the desktop
# suites (a real Xorg with a window manager, a tray on a private bus) fail now
# and then late in a full run while passing every time on their own. What is
# known: a fresh host's first connection to the test's X server can hang for a
# minute and then fail ("[cap] 開始失敗: Cannot open the X display"), once
# twice in a row; the cause is not found yet. A test that fails three times fails.
(cd build && ctest --output-on-failure -j 2 --timeout 300 --repeat until-pass:3)

BUILD_DIR=$here/build-asan bash scripts/build.sh -DTOLVANE_SANITIZE=address,undefined -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
(cd build-asan && UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0 \
  LSAN_OPTIONS=suppressions=$here/tests/lsan.supp \
  ctest --output-on-failure -j 2 -L 'unit|threaded' --timeout 300 --repeat until-pass:3)

BUILD_DIR=$here/build-tsan bash scripts/build.sh -DTOLVANE_SANITIZE=thread -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 suppressions=$here/tests/tsan.supp" ctest --output-on-failure -j 2 -L threaded --timeout 300)

if [ -d fuzz ]; then
  BUILD_DIR=$here/build-fuzz bash scripts/build.sh -DTOLVANE_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
  bash scripts/fuzz.sh "$here/build-fuzz" 60
fi
echo "All test stages passed."
