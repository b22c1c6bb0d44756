#!/usr/bin/env bash
# korvel publish against a real Mosquitto broker that each test starts on a
# free loopback port with a config it writes (no system service): three
# publishers through a broker restart with every reading arriving, wrong
# credentials, TLS with certificates made by openssl, the last will, the
# spool's bound; the example consumer (examples/mqtt_consumer.py) collects.
#
# Uses build/ (test.sh has built it), building only what it needs there.
# Knobs (environment): KORVEL_BUILD_DIR (build), KORVEL_JOBS (2).
set -euo pipefail
cd "$(dirname "$0")/../.."
bash scripts/install-deps.sh

build_dir=${KORVEL_BUILD_DIR:-build}
[ -f "$build_dir/build.ninja" ] || cmake --preset default >/dev/null
cmake --build "$build_dir" --target korvel_sim korvel_cli -j "${KORVEL_JOBS:-2}"

export KORVEL_SIM_LIBRARY="$PWD/$build_dir/libkorvel-x64-sim.so.1"
export KORVEL_PROGRAM="$PWD/$build_dir/korvel"
export PYTHONDONTWRITEBYTECODE=1

status=0
/usr/bin/python3 -m pytest -q tests/publish || status=$?
if [ "$status" != 0 ]; then
  echo "FAIL: korvel publish tests (pytest exit code $status)"
  exit 1
fi
echo "publish tests passed"
