#!/usr/bin/env bash
# Runs a command in a private network namespace where only loopback is up
# (127.0.0.1 and 127.0.0.2), so whatever WebRTC peers it starts can reach
# nothing but each other. Already inside (TOLVANE_NETNS=1): runs it as is.
#   tests/tools/in-netns.sh node --test rtc_stack.test.mjs
set -euo pipefail
if [ $# -eq 0 ]; then echo "usage: $0 command [args...]" >&2; exit 2; fi
if [ "${TOLVANE_NETNS:-}" = 1 ]; then exec "$@"; fi
export TOLVANE_NETNS=1
userns=()
if [ "$(id -u)" != 0 ]; then userns=(--map-root-user); fi
exec unshare "${userns[@]}" --net -- /bin/sh -c \
  'ip link set lo up && ip addr add 127.0.0.2/8 dev lo && exec "$@"' in-netns "$@"
