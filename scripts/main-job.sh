#!/bin/sh
# The main job: installs what is missing, builds both presets and boots the simulated notebook
# with the built images and the default scenario. Extra arguments go to boardsim.
set -e
cd "$(dirname "$0")/.."
scripts/install-dependencies.sh
scripts/build.sh
exec build/host/tools/boardsim/boardsim "$@"
