#!/usr/bin/env bash
# korvel serve from the outside: `korvel serve --simulate` on 127.0.0.1 driven
# by clients nobody here wrote (PyVISA with pyvisa-py, a generic PyMeasure
# Instrument, pyvisa-shell, lxi-tools, socat) and by raw sockets that
# misbehave: message exchange, the meter's outage, trickling and bursting
# clients, a full server, an unread standard output. Every server is started
# by its test on a free port and stopped by it.
#
# Uses build/ (test.sh has built it), building only what it needs there.
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/program-tier.sh
program_tier "serve client" tests/serve/clients
