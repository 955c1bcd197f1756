#!/usr/bin/env bash
# Installs every Debian package the build, the run and the tests need, and the
# npm packages of the browser tests. Safe to run again: apt and npm skip what is there.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi

BUILD_PKGS=(
  build-essential cmake pkg-config ninja-build ccache clang libclang-rt-14-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libboost-dev libssl-dev nlohmann-json3-dev
  libx264-dev libyuv-dev libcairo2-dev libgdk-pixbuf-2.0-dev libglib2.0-dev libgtk-3-dev
  libx11-dev libxext-dev libxtst-dev libxfixes-dev libxdamage-dev libxrandr-dev libxss-dev
  gettext libayatana-appindicator3-dev libdbusmenu-glib-dev dpkg-dev

  gettext libatspi2.0-dev libpango1.0-dev
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libgstreamer-plugins-bad1.0-dev
  libpulse-dev
)
RUN_PKGS=(openssl xvfb gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-nice)
TEST_PKGS=(
  xdotool xclip x11-utils ffmpeg curl python3 python3-websockets
  chromium procps psmisc iproute2 fonts-dejavu-core
  libnss3-tools openbox xterm python3-aiortc gstreamer1.0-tools coturn nftables
  dbus libglib2.0-bin python3-gi gir1.2-gtk-3.0 dbus-daemon gir1.2-atspi-2.0 at-spi2-core
  desktop-file-utils fonts-ipafont-gothic

  xserver-xorg-core xserver-xorg-video-dummy x11-xserver-utils at-spi2-core dbus
  python3-gi gir1.2-gtk-3.0 dbus-daemon
  pulseaudio pulseaudio-utils
  gdb
)
# The machine image may bring its own Node.js; Debian's conflicts with it.
if ! command -v npm >/dev/null 2>&1; then TEST_PKGS+=(nodejs npm); fi

missing=()
for p in "${BUILD_PKGS[@]}" "${RUN_PKGS[@]}" "${TEST_PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# playwright-core drives the system's Chromium; it never downloads a browser.
if [ ! -d "$here/tests/e2e/node_modules/playwright-core" ]; then
  (cd "$here/tests/e2e" && npm install --no-audit --no-fund --silent)
fi
