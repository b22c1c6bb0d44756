#!/usr/bin/env bash
# Python tier (label `python`, python/tests): the korvel package against the
# simulated library (every Meter method, EEPROM access, a lost connection,
# threads, a decimal-comma locale, error texts and the reading formatter
# against the library's own, the records and logs `korvel read` writes, the
# Windows library search), `python3 -m korvel read / plot`, and
# `pip install ./python` without a package index.
#
# Uses build/ (test.sh has built it), building only what it needs there.
# Knobs (environment): KORVEL_BUILD_DIR (build), KORVEL_JOBS (2).
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/program-tier.sh
program_tier python
