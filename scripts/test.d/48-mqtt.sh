#!/usr/bin/env bash
# korvel publish against a real Mosquitto broker (label `mqtt`, the pytest
# files of tests/publish) that each test starts on a free loopback port with a
# config it writes (no system service): three publishers through a broker
# restart with every reading arriving, one publisher for three meters (--all)
# through a restart, its last will, wrong credentials, TLS with certificates
# made by openssl, the last will, the spool's bound; the example consumer
# (examples/mqtt_consumer.py) collects.
#
# Uses build/ (test.sh has built it), building only what it needs there.
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/program-tier.sh
program_tier mqtt
