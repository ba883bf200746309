#!/bin/sh
# Installs the Debian packages the builds, the simulated board and the tests need, when any is
# missing. Safe to run again: it does nothing when everything is there.
set -e
packages="cmake ninja-build g++ clang clang-format libclang-rt-dev lld llvm googletest libgtest-dev nlohmann-json3-dev
python3 python3-pefile python3-unicorn uefitool-cli ovmf qemu-system-x86 gdb"
missing=""
for package in $packages; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing="$missing $package"
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends $missing
fi
