#!/usr/bin/env bash
# Windows tier: Korvel cross-built for 64-bit Windows (mingw-w64, preset
# `windows`, build-windows/) and run under Wine:
#   - the DLLs export exactly the Linux library's functions and import only
#     Windows' own DLLs (korvel.exe too);
#   - the link, command, SCPI and simulated-meter suites (GoogleTest);
#   - the real korvel-x64.dll against a fake libusb0.dll (tests/windows);
#   - a host binding the vb_ exports with LoadLibrary/GetProcAddress, and the
#     real DLL without any libusb0.dll (no meter, no crash);
#   - korvel.exe --simulate info / read (its CSV read back by the Python
#     package's log reader, korvel.logs) / scpi, and without a driver;
#   - the zip (`--target package`), and examples/read_ten.c compiled from it
#     against its import library, run on the fake bus.
# Skipped, saying why, only when Wine cannot start at all.
# Knobs (environment): KORVEL_JOBS (2).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$root/build-windows   # the preset's binaryDir
jobs=${KORVEL_JOBS:-2}
started=$SECONDS
logs=$build/tier-logs

fail() { echo "35-windows: FAIL: $*" >&2; exit 1; }
step() { echo "-- $* ($((SECONDS - started)) s)"; }

wine=$(command -v wine || true)
[ -n "$wine" ] || { [ -x /usr/lib/wine/wine64 ] && wine=/usr/lib/wine/wine64; }
if [ -z "$wine" ]; then
  echo "35-windows: SKIPPED: Wine is not installed (packages wine64 and wine)"
  exit 0
fi
mkdir -p "$build" "$logs"
export WINEDEBUG=-all WINEPREFIX=$build/wineprefix
# No Mono or Gecko: console programs need neither, and their installers would
# stop to ask.
export WINEDLLOVERRIDES="mscoree,mshtml="
step "start Wine (a prefix of its own in $WINEPREFIX)"
if ! timeout 180 "$wine" cmd /c exit >"$logs/wine-start.log" 2>&1; then
  echo "35-windows: SKIPPED: Wine cannot start here:"
  tail -5 "$logs/wine-start.log"
  exit 0
fi
# Runs a Windows program; its output without the CRs Wine's console adds.
run() { timeout 300 "$wine" "$@" 2>&1 | tr -d '\r'; }

step "configure and cross-build"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
(cd "$root" && cmake --preset windows "${launcher[@]}") >"$logs/configure.log" 2>&1 ||
  { tail -20 "$logs/configure.log"; fail "configure"; }
suites=(link_test commands_test scpi_test sim_test)
cmake --build "$build" -j "$jobs" --target korvel korvel_sim korvel_cli "${suites[@]}" \
  korvel_real_dll_test korvel_vb_host >"$logs/build.log" 2>&1 || { tail -40 "$logs/build.log"; fail "build"; }
! grep -E "warning:" "$logs/build.log" || fail "the cross-build has warnings"

step "exports and imports"
bash "$root/tests/windows/check_pe.sh" x86_64-w64-mingw32-objdump "$build/korvel-x64.dll" "$build/korvel-x64-sim.dll" \
  "$root/tests/exports/expected_exports.txt" "$build/korvel.exe" || fail "exports or imports"

for suite in "${suites[@]}"; do
  step "$suite under Wine"
  program=$(find "$build/tests" -name "$suite.exe" | head -1)
  run "$program" --gtest_brief=1 >"$logs/$suite.log" || { tail -40 "$logs/$suite.log"; fail "$suite"; }
  grep -q "PASSED" "$logs/$suite.log" || { tail -20 "$logs/$suite.log"; fail "$suite: no PASSED line"; }
  grep "PASSED" "$logs/$suite.log"
done

step "the real DLL on the fake libusb0.dll"
(cd "$build/fakebus" && run real_dll_test.exe) >"$logs/real_dll_test.log" || { cat "$logs/real_dll_test.log"; fail "real DLL"; }
grep -E "frames:|real_dll_test:" "$logs/real_dll_test.log"

step "vb_ exports through LoadLibrary/GetProcAddress"
vbhost=$build/tests/windows/vb_host.exe
out=$(run "$vbhost" "$(winepath -w "$build/korvel-x64-sim.dll" 2>/dev/null)" meter) || fail "vb host (simulated): $out"
[[ $out == KORVEL,* ]] || fail "vb host: *IDN? gave '$out'"
echo "$out"
# The real DLL where no libusb0.dll exists: it loads, and finds no meter.
out=$(run "$vbhost" "$(winepath -w "$build/korvel-x64.dll" 2>/dev/null)" none) || fail "real DLL without libusb0.dll: $out"
echo "$out"

step "korvel.exe"
korvel=$build/korvel.exe
work=$build/tier-work
rm -rf "$work" && mkdir -p "$work"
out=$(run "$korvel" --simulate info) || fail "korvel --simulate info: $out"
grep -q "^meter  *KORVEL,KV-100" <<<"$out" || fail "korvel --simulate info: $out"
(cd "$work" && run "$korvel" --simulate read -n 10 --format csv -o x.csv) >"$logs/read.log" ||
  { cat "$logs/read.log"; fail "korvel --simulate read"; }
PYTHONPATH=$root/python PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 - "$work/x.csv" <<'PY' || fail "the CSV korvel.exe wrote"
import sys
from korvel.logs import read_log
raw = open(sys.argv[1], "rb").read()
assert b"\r" not in raw, "CR in the CSV: not the bytes Linux writes"
log = read_log(sys.argv[1])
teslas = [r.tesla for r in log.readings]
assert len(teslas) == 10, f"{len(teslas)} readings"
assert all(0.005 < t < 0.02 for t in teslas), teslas  # the simulated 12.5 mT field
assert all(r.counts is not None and r.units == "G" and not r.over_range for r in log.readings), log.readings[0]
assert log.serials == ["KV0001"] and not log.gaps, (log.serials, log.gaps)
print(f"x.csv: {len(teslas)} readings, {min(teslas)} to {max(teslas)} T, serial {log.serials[0]}")
PY
out=$(run "$korvel" --simulate scpi '*IDN?') || fail "korvel --simulate scpi: $out"
[[ $out == KORVEL,KV-100,KV0001,* ]] || fail "korvel scpi '*IDN?' gave '$out'"
echo "$out"
status=0
out=$(run "$korvel" info) || status=$?
[ "$status" = 3 ] && grep -q "libusb0.dll" <<<"$out" || fail "korvel info without the driver (exit $status): $out"
echo "without the driver: exit 3, $(cut -c1-80 <<<"$out")..."

step "the zip"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
zip=$build/korvel-$version-win64.zip
rm -f "$zip"
cmake --build "$build" -j "$jobs" --target package >"$logs/package.log" 2>&1 || { tail -30 "$logs/package.log"; fail "package"; }
[ -f "$zip" ] || fail "no $zip"
unzipped=$work/zip
/usr/bin/python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$zip" "$unzipped"
top=$unzipped/korvel-$version-win64
for file in bin/korvel-x64.dll bin/korvel-x64-sim.dll bin/korvel.exe lib/korvel-x64.lib lib/korvel-x64.def \
  lib/korvel-x64-sim.lib lib/korvel-x64-sim.def include/korvel.h include/korvel_sim.h examples/read_ten.c \
  python/korvel/_library.py README-Windows.md; do
  [ -f "$top/$file" ] || fail "the zip lacks $file"
done
echo "$(basename "$zip"): $(/usr/bin/python3 -c 'import sys, zipfile; print(len(zipfile.ZipFile(sys.argv[1]).namelist()))' "$zip") files"

step "examples/read_ten.c against the zip's import library, on the fake bus"
host=$work/read_ten
mkdir -p "$host"
x86_64-w64-mingw32-gcc-posix -std=c99 -Wall -Wextra -Werror -pedantic -I"$top/include" \
  "$top/examples/read_ten.c" "$top/lib/korvel-x64.lib" -o "$host/read_ten.exe" || fail "read_ten.c does not build"
cp "$top/bin/korvel-x64.dll" "$build/fakebus/libusb0.dll" "$host/"
# The fake bus starts empty; FAKE_METERS=1 makes it attach one meter (read_ten
# only calls the library).
out=$(cd "$host" && FAKE_METERS=1 run read_ten.exe) || fail "read_ten: $out"
grep -q "reading 10:  *-200 counts, AC tesla, range 2, scale 4" <<<"$out" || fail "read_ten: $out"
tail -1 <<<"$out"

echo "35-windows: passed in $((SECONDS - started)) s"
