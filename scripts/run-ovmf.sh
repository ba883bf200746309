#!/bin/sh
# Boots OVMF under QEMU with the built driver images, their firmware files, the firmware volume
# NotebookDrivers.fv and FirmwareHarness.efi on a read-only FAT drive, the serial console
# on this terminal (Ctrl-A X quits QEMU).
#
#   scripts/run-ovmf.sh [--gdb] [scenario]
#
# scenario: a FirmwareHarness scenario word (dispatch, pci-bridge-probe,
# setup-hw-sync-first-boot, fingerprint-first-boot, ...) run by startup.nsh, which then powers
# the machine off; the serial log is judged (tests/firmware/run_verdict.py: for dispatch every
# check of firmware_dispatch) and the last line is the verdict, "run-ovmf.sh: PASS: ..." or
# "run-ovmf.sh: FAIL: <what failed>", with exit status 0 or 1 to match. A boot that does not
# end within FIRMWARE_BOOT_TIMEOUT seconds (default 120; not with --gdb) is stopped and fails.
# Without a scenario the shell waits at its prompt (type "fs0:" then "FirmwareHarness.efi
# dispatch"; "reset -s" powers off).
# The temporary folder (drive, variable store, serial log) is removed on any exit, also when
# the script is interrupted or stopped.
# --gdb: QEMU waits for a debugger on its gdb stub, localhost:1234, before the first instruction;
# in another terminal, from the checkout:
#   gdb -x scripts/ovmf-gdb.py -ex 'break FingerprintAuthenticate' -ex continue
# (scripts/ovmf-gdb.py loads the debug twins of our images where the firmware loads them.)
# Needs the uefi build (cmake --preset uefi && cmake --build --preset uefi) and the Debian
# packages qemu-system-x86 and ovmf. FIRMWARE_OVMF_CODE/FIRMWARE_OVMF_VARS pick another OVMF.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${UEFI_BUILD_DIR:-$root/build/uefi}
gdb=""
if [ "${1:-}" = "--gdb" ]; then
  gdb="-s -S"
  echo "QEMU waits for gdb on localhost:1234; in another terminal, from $root:"
  echo "  gdb -x scripts/ovmf-gdb.py -ex 'break FingerprintAuthenticate' -ex continue"
  shift
fi
scenario=${1:-}

code=${FIRMWARE_OVMF_CODE:-}
vars=${FIRMWARE_OVMF_VARS:-}
if [ -z "$code" ]; then
  for pair in OVMF_CODE_4M.fd:OVMF_VARS_4M.fd OVMF_CODE.fd:OVMF_VARS.fd; do
    if [ -f "/usr/share/OVMF/${pair%%:*}" ]; then
      code=/usr/share/OVMF/${pair%%:*}
      vars=/usr/share/OVMF/${pair##*:}
      break
    fi
  done
fi
[ -n "$code" ] || { echo "no OVMF found: install the Debian package ovmf" >&2; exit 1; }
harness=$build/tests/firmware/FirmwareHarness.efi
volume=$build/images/NotebookDrivers.fv
[ -f "$harness" ] && [ -f "$volume" ] || {
  echo "build the uefi preset first ($harness, $volume missing)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/run-ovmf.XXXXXX")
qemu=""
# On any exit: stop QEMU if it still runs, remove the folder. A signal ends the script through
# exit, which runs the EXIT trap.
cleanup() {
  if [ -n "$qemu" ]; then
    kill "$qemu" 2>/dev/null || true
    wait "$qemu" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
mkdir "$work/drive"
cp "$build"/images/*.efi "$build"/images/*.ffs "$harness" "$volume" "$work/drive/"
cp "$vars" "$work/OVMF_VARS.fd"
if [ -n "$scenario" ]; then
  printf '@echo -off\r\nfs0:\r\nFirmwareHarness.efi %s\r\nreset -s\r\n' "$scenario" \
    > "$work/drive/startup.nsh"
fi
echo "drive: $work/drive; maps of the images: $build/images/*.map," \
  "$build/tests/firmware/FirmwareHarness.map"
# QEMU runs in the background so that a signal reaches the traps at once; its input stays the
# terminal (descriptor 3), and the serial console is also written to the log for the verdict.
exec 3<&0
start=$(date +%s)
# shellcheck disable=SC2086
qemu-system-x86_64 -machine q35 -accel tcg -m 256 -nodefaults -display none \
  -chardev "stdio,id=console,mux=on,signal=on,logfile=$work/serial.log" \
  -serial chardev:console -mon chardev=console -no-reboot $gdb \
  -drive "if=pflash,format=raw,unit=0,readonly=on,file=$code" \
  -drive "if=pflash,format=raw,unit=1,file=$work/OVMF_VARS.fd" \
  -drive "if=virtio,format=raw,readonly=on,file=fat:$work/drive" \
  -device VGA <&3 &
qemu=$!
limit=0
if [ -n "$scenario" ] && [ -z "$gdb" ]; then
  limit=${FIRMWARE_BOOT_TIMEOUT:-120}
fi
timed_out=0
while kill -0 "$qemu" 2>/dev/null; do
  if [ "$limit" -gt 0 ] && [ $(($(date +%s) - start)) -ge "$limit" ]; then
    timed_out=$limit
    kill "$qemu" 2>/dev/null || true
  fi
  sleep 1
done
status=0
wait "$qemu" || status=$?
qemu=""
if [ -z "$scenario" ]; then
  exit "$status"
fi
python3 "$root/tests/firmware/run_verdict.py" --log "$work/serial.log" --scenario "$scenario" \
  --qemu-exit "$status" --timed-out "$timed_out" --seconds "$(($(date +%s) - start))" \
  --images "$build/images" --harness-folder "$(dirname "$harness")" --volume "$volume"
