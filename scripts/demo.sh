#!/usr/bin/env bash
# The main job on the simulated meter: installs what is missing, builds the
# libraries and the korvel tool, shows the meter and logs ten readings.
set -euo pipefail
cd -P "$(dirname "$0")/.."   # -P: the checkout itself, also when reached through a symlink
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target korvel_cli -j "$(nproc)"
echo
./build/korvel --simulate info
echo
./build/korvel --simulate read -n 10
