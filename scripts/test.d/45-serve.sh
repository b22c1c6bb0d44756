#!/usr/bin/env bash
# korvel serve from the outside (label `serve`): `korvel serve --simulate` on
# 127.0.0.1 driven by clients nobody here wrote (PyVISA with pyvisa-py, a
# generic PyMeasure Instrument, pyvisa-shell, lxi-tools, socat) and by raw
# sockets that misbehave: message exchange, the meter's outage, trickling and
# bursting clients, a full server, an unread standard output
# (tests/serve/clients). Then the LAN instrument (tests/serve/lan, also label
# `lan`): VXI-11 from lxi-tools and pyvisa-py through the port mapper (the
# server's own answer on port 111, and Debian's rpcbind), locks across the
# doors, several meters. Port 111 and /run must be its own, so those tests
# run in a private network and mount namespace (unshare -n -m, as root) with
# a loopback of their own; where none can be made ctest reports them skipped.
# Every server is started by its test on a free port and stopped by it.
#
# Uses build/ (test.sh has built it), building only what it needs there.
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/program-tier.sh
unshare -n -m true 2>/dev/null ||
  echo "note: no private network namespace (unshare -n -m needs root): the LAN tests are skipped"
program_tier serve
