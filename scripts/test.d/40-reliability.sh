#!/usr/bin/env bash
# Reliability tier (docs/reliability.md):
#   1. each libFuzzer target for a bounded time from its seed corpus (clang,
#      AddressSanitizer + UndefinedBehaviorSanitizer); any finding fails;
#   2. the concurrency and hot-unplug tests and the link tests under
#      ThreadSanitizer (the tsan preset);
#   3. a brief soak: 200,000 calls with faults injected at random;
#   4. `korvel read` over the simulated library, with the cable pulled;
#   5. (label `reliability`, through ctest) `korvel serve` out of file
#      descriptors and held by slow HTTP clients (tests/reliability/serve,
#      a few seconds each);
#   6. `korvel publish` against a real Mosquitto: killed with kill -9 and
#      restarted with its state file kept, missing, empty or random, and run
#      on a 64 KiB tmpfs until the disk is full (tests/reliability/publish);
#   7. `korvel publish` and `korvel read` at 1 ms for KORVEL_SERVICE_SOAK_SECONDS
#      (120) with the broker restarted every 60 s, the meter pulled every
#      45 s and the log rotated: every reading accounted for, RSS and
#      descriptors flat (tests/reliability/service_soak).
# scripts/test.sh has already built and tested the default and asan presets
# (the fuzz corpora replay and a short soak run there as CTest tests).
#
# Knobs (environment): KORVEL_FUZZ_SECONDS (60 per target), KORVEL_SOAK_CALLS
# (200000), KORVEL_BUILD_DIR (build), KORVEL_TSAN_DIR (build-tsan),
# KORVEL_FUZZ_DIR (build-fuzz), KORVEL_JOBS (nproc).
set -euo pipefail
cd "$(dirname "$0")/../.."

fuzz_seconds=${KORVEL_FUZZ_SECONDS:-60}
soak_calls=${KORVEL_SOAK_CALLS:-200000}
build_dir=${KORVEL_BUILD_DIR:-build}
tsan_dir=${KORVEL_TSAN_DIR:-build-tsan}
fuzz_dir=${KORVEL_FUZZ_DIR:-build-fuzz}
jobs=${KORVEL_JOBS:-$(nproc)}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
started=$SECONDS

# ---------------------------------------------------------------- fuzzing
echo "-- fuzz targets (${fuzz_seconds} s each)"
cmake --preset fuzz -B "$fuzz_dir" >/dev/null
cmake --build "$fuzz_dir" --target fuzz_all -j "$jobs"
for target in frame meter_response scpi_line; do
  dict=()
  [ -f "fuzz/$target.dict" ] && dict=("-dict=fuzz/$target.dict")
  mkdir -p "$work/$target"
  # New inputs go to the scratch folder; the seeds in the repository stay.
  if ! "$fuzz_dir/fuzz/fuzz_$target" "${dict[@]}" -max_total_time="$fuzz_seconds" -timeout=10 \
      -rss_limit_mb=2048 -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$work/$target-" \
      "$work/$target" "fuzz/corpus/$target" >"$work/$target.log" 2>&1; then
    tail -n 60 "$work/$target.log"
    for artifact in "$work/$target"-*; do
      [ -e "$artifact" ] || continue
      echo "finding: $artifact (base64 below; add it to fuzz/corpus/$target/ as a regression input)"
      base64 "$artifact"
    done
    echo "FAIL: fuzz target $target"
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target.log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/$target.log")
  cover=$(grep -o 'cov: [0-9]*' "$work/$target.log" | tail -n 1)
  echo "fuzz $target: $runs runs in ${fuzz_seconds} s ($rate/s), $cover, no finding"
done

# ---------------------------------------------------------- ThreadSanitizer
echo "-- ThreadSanitizer"
cmake --preset tsan -B "$tsan_dir" >/dev/null
cmake --build "$tsan_dir" --target reliability_test link_test -j "$jobs"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
run_tsan() {
  local log="$work/tsan.log"
  if "$@" >"$log" 2>&1; then echo "$(basename "$1"): $(tail -n 1 "$log")"; return 0; fi
  # Some kernels map memory where TSan's shadow expects to be: retry without
  # address-space randomisation.
  if grep -q "unexpected memory mapping" "$log" && setarch "$(uname -m)" -R "$@" >"$log" 2>&1; then
    echo "$(basename "$1") (without address-space randomisation): $(tail -n 1 "$log")"
    return 0
  fi
  cat "$log"
  echo "FAIL: $* under ThreadSanitizer"
  return 1
}
run_tsan "$tsan_dir/tests/reliability/reliability_test"
run_tsan "$tsan_dir/tests/link/link_test"

# ------------------------------------------------------------------- soak
echo "-- soak (${soak_calls} calls)"
cmake --build "$build_dir" --target korvel_soak -j "$jobs"
"$build_dir/tests/reliability/korvel_soak" --exchanges "$soak_calls" --seed "$RANDOM"

# ------------------------------------------------------------- korvel read
# The command-line tool over the simulated library: a long run, and a meter
# whose cable is pulled half-way, which must end (exit code 1, every reading
# taken written) and never hang.
if [ -x "$build_dir/korvel" ]; then
  echo "-- korvel read"
  cmake --build "$build_dir" --target korvel_cli -j "$jobs"
  lines=$(timeout 60 "$build_dir/korvel" --simulate --latency 0 read -n 20000 --format csv -q | wc -l)
  [ "$lines" -gt 20000 ] || { echo "FAIL: korvel read gave $lines lines for 20000 readings"; exit 1; }
  status=0
  timeout 30 "$build_dir/korvel" --simulate --unplug-after 1 read --continuous --interval 0.005 \
    >"$work/read.out" 2>"$work/read.err" || status=$?
  taken=$(wc -l <"$work/read.out")
  if [ "$status" -ne 1 ] || [ "$taken" -lt 1 ] || ! grep -q "connection was lost" "$work/read.err"; then
    cat "$work/read.err"
    echo "FAIL: korvel read with the cable pulled: exit $status after $taken readings"
    exit 1
  fi
  echo "korvel read: 20000 readings; cable pulled after $taken readings, exit 1, no hang"
fi

. scripts/program-tier.sh
# ------------------------------------------ korvel serve, publish, services
# Label `reliability`: serve under attack (tests/reliability/serve), publish
# killed and on a full disk (tests/reliability/publish), and both soaked as
# services for KORVEL_SERVICE_SOAK_SECONDS (tests/reliability/service_soak).
echo "-- korvel serve and publish under attack, and a ${KORVEL_SERVICE_SOAK_SECONDS:-120} s service soak"
KORVEL_BUILD_DIR=$build_dir program_tier reliability
cat "$build_dir/test-artifacts/service-soak.txt" 2>/dev/null || true

echo "reliability tier passed in $((SECONDS - started)) s"
