# Sourced by the tiers of scripts/test.d/ that drive the built korvel program
# from outside with pytest: installs what is missing, builds the program and
# the simulated library in build/ (or KORVEL_BUILD_DIR), exports where they
# are, and runs one folder of tests.
#
#   program_tier "live page" tests/serve/web
#
# Knobs (environment): KORVEL_BUILD_DIR (build), KORVEL_JOBS (2).
program_tier() {
  local what=$1 folder=$2 status=0
  bash scripts/install-deps.sh
  local build_dir=${KORVEL_BUILD_DIR:-build}
  [ -f "$build_dir/build.ninja" ] || cmake --preset default >/dev/null
  cmake --build "$build_dir" --target korvel korvel_sim korvel_cli -j "${KORVEL_JOBS:-2}"
  export KORVEL_SIM_LIBRARY="$PWD/$build_dir/libkorvel-x64-sim.so.1"
  export KORVEL_PROGRAM="$PWD/$build_dir/korvel"
  export KORVEL_ARTIFACTS="$PWD/$build_dir/test-artifacts"
  export PYTHONDONTWRITEBYTECODE=1
  /usr/bin/python3 -m pytest -q -p no:cacheprovider "$folder" || status=$?
  if [ "$status" != 0 ]; then
    echo "FAIL: $what tests (pytest exit code $status)"
    return 1
  fi
  echo "$what tests passed"
}
