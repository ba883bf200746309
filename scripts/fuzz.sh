#!/bin/sh
# Runs the libFuzzer targets of the host-asan build (tests/fuzz/): each for SECONDS (default 15),
# from its seed corpus in the repository and what earlier runs of this build found
# (build/host-asan/fuzz/corpus/<target>). Any finding fails the run: the input is kept as
# build/host-asan/fuzz/findings/<target>-crash-..., and goes into tests/fuzz/regressions/<target>/
# so that ctest runs it from then on. Prints the executions of every target.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]        e.g. scripts/fuzz.sh 3600 fingerprint_auth
#
# Needs the host-asan build: cmake --preset host-asan && cmake --build --preset host-asan
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
build=${HOST_ASAN_BUILD_DIR:-$root/build/host-asan}
seconds=${1:-15}
[ $# -gt 0 ] && shift
targets="$*"
if [ -z "$targets" ]; then
  targets="scenario_reader firmware_file setup_hw_sync pci_bridge_probe fan_control_smm
fingerprint_status_smm fingerprint_auth"
fi
export BOARD_IMAGE_DIR="${BOARD_IMAGE_DIR:-$root/build/uefi/images}"
# The sanitizers report on standard error here: libFuzzer keeps the input of every report.
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:allow_user_segv_handler=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
mkdir -p "$build/fuzz/findings"
status=0
total=0
for target in $targets; do
  binary="$build/tests/fuzz/${target}_fuzz"
  if [ ! -x "$binary" ]; then
    echo "fuzz: no $binary (build the host-asan preset)" >&2
    exit 2
  fi
  corpus="$build/fuzz/corpus/$target"
  mkdir -p "$corpus"
  seeds="$root/tests/fuzz/corpus/$target"
  regressions="$root/tests/fuzz/regressions/$target"
  extra=""
  [ -d "$regressions" ] && extra="$regressions"
  dictionary=""
  [ -f "$root/tests/fuzz/$target.dict" ] && dictionary="-dict=$root/tests/fuzz/$target.dict"
  log="$build/fuzz/$target.log"
  # shellcheck disable=SC2086
  "$binary" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=3072 \
    -len_control=0 -print_final_stats=1 -artifact_prefix="$build/fuzz/findings/$target-" $dictionary \
    "$corpus" "$seeds" $extra > "$log" 2>&1
  code=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  runs=${runs:-0}
  total=$((total + runs))
  if [ $code -ne 0 ]; then
    echo "fuzz: $target: FINDING after $runs executions (exit $code), log $log:"
    grep -E "FUZZ FINDING|ERROR: |runtime error|SUMMARY|Test unit written to" "$log" | head -20
    status=1
  else
    echo "fuzz: $target: $runs executions in ${seconds} s, no finding"
  fi
done
echo "fuzz: $total executions in all, $( [ $status -eq 0 ] && echo "no finding" || echo "FINDINGS above")"
exit $status
