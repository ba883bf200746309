#!/bin/sh
# Configures and builds both presets: the firmware images (uefi) and the host side (host).
set -e
cd "$(dirname "$0")/.."
cmake --preset uefi
cmake --build --preset uefi
cmake --preset host
cmake --build --preset host
