#!/usr/bin/env bash
# korvel serve's live page in a real browser (label `web`, tests/serve/web):
# `korvel serve --simulate --http 0` on 127.0.0.1 driven by a headless
# Chromium through chromedriver and Selenium (the page loads without console
# errors, follows the simulated field, sets the meter's units, records a CSV,
# shows the meter lost and back), refusals of foreign Hosts, Origins and
# missing tokens over plain HTTP, /metrics checked by promtool and scraped by a
# real Prometheus on a loopback port with a config the test writes. Every
# server, browser and Prometheus is started by its test and stopped by it.
# Screenshots go to build/test-artifacts/.
#
# Uses build/ (test.sh has built it), building only what it needs there.
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/program-tier.sh
program_tier web
echo "screenshots in ${KORVEL_BUILD_DIR:-build}/test-artifacts"
