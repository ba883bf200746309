#!/bin/sh
# All tests: installs what is missing, builds the presets, then runs the firmware build's checks
# (images, firmware files, the real-firmware boot), the host tests, the host tests again under
# AddressSanitizer and UndefinedBehaviorSanitizer (host-asan, with every fuzz target over its kept
# inputs; any sanitizer report fails the run), and every fuzz target for a bounded time
# (FUZZ_SECONDS each, default 15; scripts/fuzz.sh).
set -e
cd "$(dirname "$0")/.."
scripts/install-dependencies.sh
scripts/build.sh
cmake --preset host-asan
cmake --build --preset host-asan
ctest --preset uefi
ctest --preset host

# The sanitizers write their reports into this folder (ASAN_OPTIONS and UBSAN_OPTIONS of the
# host-asan test preset): a report fails the run even where a test does not look at exit codes.
reports=build/host-asan/sanitizer-reports
mkdir -p "$reports"
rm -f "$reports"/*
status=0
ctest --preset host-asan || status=1
# ASan warns (and writes a report file) when a no-return call such as the board's long jump out
# of a driver leaves a stack it does not know: the images' own stack and the board's service
# stack. That three-line warning is no finding; every other line in a report is.
known='WARNING: ASan is ignoring requested __asan_handle_no_return|^False positive error reports may follow|^For details see https://github.com/google/sanitizers/issues/189'
for report in "$reports"/*; do
  [ -e "$report" ] || continue
  if grep -Evq "$known" "$report"; then
    echo "== sanitizer report $report"
    cat "$report"
    status=1
  fi
done
[ $status -eq 0 ] || exit 1

scripts/fuzz.sh "${FUZZ_SECONDS:-15}"
