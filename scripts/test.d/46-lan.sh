#!/usr/bin/env bash
# korvel serve as a LAN instrument: VXI-11 from lxi-tools and pyvisa-py
# through the port mapper (the server's own answer on port 111, and Debian's
# rpcbind), locks across the doors, several meters. Port 111 and /run must
# be this tier's own, so the tests run in a private network and mount
# namespace (unshare -n -m, as root) with a loopback of their own; where
# none can be made the tier says so and skips.
#
# Uses build/ (test.sh has built it), building only what it needs there.
set -euo pipefail
cd "$(dirname "$0")/../.."
bash scripts/install-deps.sh
build_dir=${KORVEL_BUILD_DIR:-build}
[ -f "$build_dir/build.ninja" ] || cmake --preset default >/dev/null
cmake --build "$build_dir" --target korvel korvel_sim korvel_cli -j "${KORVEL_JOBS:-2}"
if ! unshare -n -m true 2>/dev/null; then
  echo "SKIPPED: LAN instrument tests (no private network namespace: unshare -n -m needs root)"
  exit 0
fi
export KORVEL_SIM_LIBRARY="$PWD/$build_dir/libkorvel-x64-sim.so.1"
export KORVEL_PROGRAM="$PWD/$build_dir/korvel"
export PYTHONDONTWRITEBYTECODE=1 KORVEL_LAN_NAMESPACE=1
status=0
unshare -n -m bash -euo pipefail -c '
  mount -t tmpfs tmpfs /run
  ip link set lo up
  exec /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/serve/lan
' || status=$?
if [ "$status" != 0 ]; then
  echo "FAIL: LAN instrument tests (pytest exit code $status)"
  exit 1
fi
echo "LAN instrument tests passed"
