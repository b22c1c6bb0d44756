#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds and tests the default
# preset, then again under AddressSanitizer + UndefinedBehaviorSanitizer, then
# the further tiers in scripts/test.d/ (each a script of its own, most running
# ctest by the tier's label; the test presets leave the label `tier` out, so
# no tier runs twice).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs"

cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"

for step in scripts/test.d/*.sh; do
  [ -e "$step" ] || continue
  echo "== $step"
  bash "$step"
done
echo "all tests passed"
