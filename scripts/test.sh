#!/bin/sh
# All tests: installs what is missing, builds both presets, then runs the firmware build's
# checks (images, firmware files, the real-firmware boot) and the host tests.
set -e
cd "$(dirname "$0")/.."
scripts/install-dependencies.sh
scripts/build.sh
ctest --preset uefi
ctest --preset host
