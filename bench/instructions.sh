#!/usr/bin/env bash
# Instructions per operation, counted by callgrind (repeatable, unlike time on
# a shared machine). "library" excludes the simulated meter and its bus (the
# usb_bulk_* calls, which stand for the USB round trip); "with bus" includes
# them.  Usage: bench/instructions.sh [BUILD_DIR]   (default: build)
set -euo pipefail
build=${1:-build}
driver=$build/bench/instr_driver
[ -x "$driver" ] || { echo "build $driver first (cmake --build --preset default)"; exit 2; }
command -v valgrind >/dev/null || { echo "valgrind is missing (apt-get install valgrind)"; exit 2; }
n=2000
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Instructions of measureLoop, optionally with the bus calls toggled out.
count() {  # kind exclude-bus(0|1) [line]
  local kind=$1 exclude=$2 line=${3:-} out=$tmp/cg.out
  local toggles=(--toggle-collect=measureLoop)
  [ "$exclude" = 1 ] && toggles+=(--toggle-collect=usb_bulk_write --toggle-collect=usb_bulk_read)
  valgrind --tool=callgrind --collect-atstart=no "${toggles[@]}" \
    --callgrind-out-file="$out" "$driver" "$kind" "$n" "$line" >/dev/null 2>&1
  awk '/^(summary|totals):/ {print $2; exit}' "$out"
}

row() {  # label kind [line]
  local label=$1 kind=$2 line=${3:-}
  local own all
  own=$(count "$kind" 1 "$line")
  all=$(count "$kind" 0 "$line")
  printf '%-28s %12d %12d\n' "$label" $((own / n)) $((all / n))
}

printf '%-28s %12s %12s\n' "per operation" "library" "with bus"
row "checksum, 60 bytes" checksum
row "build + validate a frame" frame
row "mtrGetReading" getreading
# grep reads all of nm's output: with -q it would stop at the first match and nm,
# killed by SIGPIPE, would fail the pipeline under pipefail (the rows were skipped).
if nm -C "$driver" | grep ' T scpiCommand' >/dev/null; then
  row 'scpi "*IDN?"' scpi '*IDN?'
  row 'scpi ":MEAS:FLUX?"' scpi ':MEAS:FLUX?'
  row 'scpi "*STB?"' scpi '*STB?'
  row 'scpi ":SENS:FLUX:RANG 2"' scpi ':SENS:FLUX:RANG 2'
  row 'scpi ":SYST:ERR?"' scpi ':SYST:ERR?'
  row 'scpi 119-character line' scpi ':SENS:FLUX:RANG 2;:MEAS:FLUX?;*STB?;:SYST:ERR?;:STAT:QUES:ENAB 32;:UNIT:FLUX:DC:TESL;:SENS:HOLD:STAT 1;:STAT:OPER:EVEN?'
fi
