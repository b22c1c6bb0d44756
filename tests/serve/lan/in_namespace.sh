#!/usr/bin/env bash
# Runs a command in a private network and mount namespace with a loopback and
# a /run of its own: the LAN tests need port 111 and the port mapper's socket
# for themselves. Exits 77 (a skip to ctest) where no namespace can be made.
set -euo pipefail
if ! unshare -n -m true 2>/dev/null; then
  echo "SKIPPED: LAN instrument tests (no private network namespace: unshare -n -m needs root)"
  exit 77
fi
exec unshare -n -m bash -euo pipefail -c 'mount -t tmpfs tmpfs /run; ip link set lo up; exec "$@"' in_namespace "$@"
