#!/usr/bin/env bash
# Calls go one way through the library's layers: a layer may use the layers
# named before it, never one after it. Fails when an object of a layer refers
# to a symbol that a later (higher) layer defines.
# Arguments, lowest layer first: NAME=OBJECT[:OBJECT...]
set -euo pipefail
declare -A owner rank
names=()
i=0
for arg in "$@"; do
  name=${arg%%=*}; names+=("$name"); rank[$name]=$i; i=$((i + 1))
  IFS=':' read -ra objects <<< "${arg#*=}"
  while read -r symbol; do
    [ -n "$symbol" ] && owner[$symbol]=$name
  done < <(nm --defined-only -g "${objects[@]}" 2>/dev/null | awk 'NF == 3 && $2 ~ /[TDBRVWu]/ {print $3}')
done
status=0
for arg in "$@"; do
  name=${arg%%=*}
  IFS=':' read -ra objects <<< "${arg#*=}"
  for object in "${objects[@]}"; do
    while read -r symbol; do
      above=${owner[$symbol]:-}
      if [ -n "$above" ] && [ "${rank[$above]}" -gt "${rank[$name]}" ]; then
        echo "layer $name calls up into $above: $(basename "$object") uses $(c++filt "$symbol")"
        status=1
      fi
    done < <(nm -u "$object" | awk '{print $2}')
  done
done
[ "$status" = 0 ] && echo "layers: ${names[*]} (each uses only the ones before it)"
exit "$status"
