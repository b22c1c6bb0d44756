#!/usr/bin/env bash
# The real library exports exactly the expected functions; the simulated one
# exactly those plus the korvelSim* controls; vb_closeKorvel is closeKorvel.
set -euo pipefail
real=$1 sim=$2 expected=$3
symbols() { nm -D --defined-only "$1" | awk '{print $3}' | sort; }
status=0
if ! diff -u "$expected" <(symbols "$real"); then
  echo "the real library's exports differ from the expected list"; status=1
fi
if ! diff -u "$expected" <(symbols "$sim" | grep -v '^korvelSim'); then
  echo "the simulated library's exports differ from the expected list"; status=1
fi
symbols "$sim" | grep -q '^korvelSim' || { echo "the simulated library lacks its korvelSim controls"; status=1; }
! symbols "$real" | grep -q '^korvelSim' || { echo "the real library exports simulator controls"; status=1; }
addr() { nm -D --defined-only "$real" | awk -v s="$1" '$3 == s {print $1}'; }
[ "$(addr closeKorvel)" = "$(addr vb_closeKorvel)" ] || { echo "vb_closeKorvel is not closeKorvel"; status=1; }
count=$(wc -l < "$expected")
[ "$status" = 0 ] && echo "exports: $count functions, as expected"
exit "$status"
