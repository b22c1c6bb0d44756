#!/usr/bin/env bash
# Python tier: the korvel package against the simulated library, and
# `korvel serve --simulate` driven by PyVISA (pyvisa-py), PyMeasure and raw
# sockets on 127.0.0.1; then `pip install` of the package without an index.
# Uses build/ (test.sh has built it) and builds only what it needs there, or
# its own build-python/ when build/ is missing.
#
# Knobs (environment): KORVEL_BUILD_DIR (build), KORVEL_JOBS (2).
set -euo pipefail
cd "$(dirname "$0")/../.."

build_dir=${KORVEL_BUILD_DIR:-build}
if [ ! -f "$build_dir/build.ninja" ]; then
  build_dir=build-python
  [ -f "$build_dir/build.ninja" ] ||
    cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVEL_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$build_dir" --target korvel korvel_sim korvel_cli -j "${KORVEL_JOBS:-2}"

export KORVEL_LIBRARY="$PWD/$build_dir/libkorvel-x64.so.1"
export KORVEL_SIM_LIBRARY="$PWD/$build_dir/libkorvel-x64-sim.so.1"
export KORVEL_PROGRAM="$PWD/$build_dir/korvel"
export PYTHONDONTWRITEBYTECODE=1 MPLBACKEND=Agg

status=0
/usr/bin/python3 -m pytest -q -p no:cacheprovider python/tests || status=$?
if [ "$status" = 5 ]; then
  echo "FAIL: pytest collected no tests in python/tests"
  exit 1
fi
if [ "$status" != 0 ]; then
  echo "FAIL: python tests (pytest exit code $status)"
  exit "$status"
fi
echo "python tests passed"
