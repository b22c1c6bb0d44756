#!/usr/bin/env bash
# korvel serve from the outside: `korvel serve --simulate` on 127.0.0.1 driven
# by clients nobody here wrote (PyVISA with pyvisa-py, a generic PyMeasure
# Instrument, pyvisa-shell, lxi-tools, socat) and by raw sockets that
# misbehave: message exchange, the meter's outage, trickling and bursting
# clients, a full server, an unread standard output. Every server is started
# by its test on a free port and stopped by it.
#
# Uses build/ (test.sh has built it), building only what it needs there.
# Knobs (environment): KORVEL_BUILD_DIR (build), KORVEL_JOBS (2).
set -euo pipefail
cd "$(dirname "$0")/../.."
bash scripts/install-deps.sh

build_dir=${KORVEL_BUILD_DIR:-build}
[ -f "$build_dir/build.ninja" ] || cmake --preset default >/dev/null
cmake --build "$build_dir" --target korvel korvel_sim korvel_cli -j "${KORVEL_JOBS:-2}"

export KORVEL_SIM_LIBRARY="$PWD/$build_dir/libkorvel-x64-sim.so.1"
export KORVEL_PROGRAM="$PWD/$build_dir/korvel"
export PYTHONDONTWRITEBYTECODE=1

status=0
/usr/bin/python3 -m pytest -q -p no:cacheprovider tests/serve/clients || status=$?
if [ "$status" != 0 ]; then
  echo "FAIL: korvel serve client tests (pytest exit code $status)"
  exit 1
fi
echo "serve client tests passed"
