# Sourced by the tiers of scripts/test.d/: installs what is missing, builds
# what the tier's tests run in build/ (or KORVEL_BUILD_DIR), and runs the
# tier's tests through ctest by their label (the test presets `default` and
# `asan` leave them out; tests/CMakeLists.txt registers them).
#
#   program_tier web                  # builds korvel, korvel_sim, korvel_cli
#   program_tier docs korvel_docs     # ... and these targets as well
#   program_tier package --no-build   # configures build/ if needed, builds nothing
#
# Knobs (environment): KORVEL_BUILD_DIR (build), KORVEL_JOBS (2).
program_tier() {
  local label=$1 status=0
  shift
  bash scripts/install-deps.sh
  local build_dir=${KORVEL_BUILD_DIR:-build}
  [ -f "$build_dir/build.ninja" ] || cmake --preset default -B "$build_dir" >/dev/null
  if [ "${1:-}" != --no-build ]; then
    cmake --build "$build_dir" --target korvel korvel_sim korvel_cli "$@" -j "${KORVEL_JOBS:-2}"
  fi
  ctest --test-dir "$build_dir" -L "^$label\$" --output-on-failure --no-tests=error || status=$?
  if [ "$status" != 0 ]; then
    echo "FAIL: $label tier (ctest exit code $status)"
    return 1
  fi
  echo "$label tier passed"
}
