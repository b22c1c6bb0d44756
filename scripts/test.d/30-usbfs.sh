#!/usr/bin/env bash
# The emulated-usbfs tier (the shipped library over Debian's libusb-0.1,
# tests/usbfs) runs inside ctest with the rest, in both builds. It is skipped
# at configure time when umockdev is missing; CI installs umockdev, so here
# its absence is a failure, not a quiet gap.
set -euo pipefail
cd "$(dirname "$0")/../.."
for preset in default asan; do
  count=$(ctest --preset "$preset" -N -L usbfs | sed -n 's/^Total Tests: //p')
  if [ "${count:-0}" -eq 0 ]; then
    echo "the usbfs tests are missing from the $preset build: is umockdev (libumockdev-dev) installed?" >&2
    exit 1
  fi
  echo "usbfs tier: $count tests in the $preset build"
done
