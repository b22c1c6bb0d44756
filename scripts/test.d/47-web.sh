#!/usr/bin/env bash
# korvel serve's live page in a real browser: `korvel serve --simulate --http 0`
# on 127.0.0.1 driven by a headless Chromium through chromedriver and
# Selenium (the page loads without console errors, follows the simulated
# field, sets the meter's units, records a CSV, shows the meter lost and
# back), refusals of foreign Hosts, Origins and missing tokens over plain
# HTTP, /metrics checked by promtool and scraped by a real Prometheus on a
# loopback port with a config the test writes. Every server, browser and
# Prometheus is started by its test and stopped by it. Screenshots go to
# build/test-artifacts/.
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
export KORVEL_ARTIFACTS="$PWD/$build_dir/test-artifacts"
export PYTHONDONTWRITEBYTECODE=1

status=0
/usr/bin/python3 -m pytest -q -p no:cacheprovider tests/serve/web || status=$?
if [ "$status" != 0 ]; then
  echo "FAIL: live page tests (pytest exit code $status)"
  exit 1
fi
echo "live page tests passed; screenshots in $KORVEL_ARTIFACTS"
