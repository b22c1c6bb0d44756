#!/usr/bin/env bash
# The simulated meters' controls are reached only through the bench
# (core/sim_bench.*) and the library loader that types them; subcommands,
# the session, the server, its page and the publisher hold no simulator call.
set -euo pipefail
tool=${1:?usage: check_bench_layering.sh TOOLS_KORVEL_DIR}
# KORVEL_SIM_LIBRARY is an environment variable, which help texts may name.
found=$(grep -rnP 'korvelSim[A-Z]|KORVEL_SIM_(?!LIBRARY)|simulatedIndex|armUnplug' "$tool" \
          --include='*.cpp' --include='*.h' --include='*.def' |
        grep -vE '^[^:]*/core/sim_bench\.(h|cpp):|^[^:]*/(core/library\.(h|cpp)|windows/library_win32\.cpp):' || true)
if [ -n "$found" ]; then
  echo "simulator calls outside the bench (move them behind SimBench):"
  echo "$found"
  exit 1
fi
echo "bench layering: no simulator call outside core/sim_bench"
