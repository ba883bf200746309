#!/usr/bin/env python3
"""The OVMF debugger recipe in batch mode: QEMU waits on its gdb stub, gdb runs
scripts/ovmf-gdb.py (which finds our images through the DXE core's debug image info table and
loads their debug twins where the firmware loaded them) with a breakpoint on
FingerprintAuthenticate, set by name before the driver exists; the harness has OVMF's dispatcher
start FingerprintAuthDxe from NotebookDrivers.fv and calls the protocol.

Checks: gdb stops in FingerprintAuthenticate at a line of fingerprint_auth/auth_flow.cpp and
shows that line's very text; the script found the driver at the base the harness reports for the
image the DXE core dispatched, and the stop lies in that image.
"""
import os
import re
import shutil
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ovmf_machine import (ANSI_ESCAPE, STARTUP_PROMPT, Boot, Judge, Machine, SetupError,
                          standard_arguments)

CHECKOUT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FUNCTION, SOURCE = "FingerprintAuthenticate", "fingerprint_auth/auth_flow.cpp"
LOADED = re.compile(r"^\[ovmf\] (\S+) loaded at (0x[0-9a-f]+): symbols from (\S+)$")
STOPPED = re.compile(r"^Breakpoint [\d.]+, (\w+) \(.*\) at (\S+):(\d+)$")
PC = re.compile(r"^stop pc (0x[0-9a-f]+)$")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def main():
    args = standard_arguments(__doc__)
    judge = Judge("firmware_debugger")
    gdb = shutil.which("gdb")
    if gdb is None:
        judge.premise(False, "gdb installed", "install the Debian package gdb")
        return 1
    try:
        machine = Machine(args.work, [args.volume, args.harness], devices=["-device", "VGA"])
    except SetupError as error:
        print("FAIL  %s" % error)
        return 1
    with open(os.path.join(machine.drive, "startup.nsh"), "w", newline="") as nsh:
        nsh.write("\r\n".join(["@echo -off", "fs0:", "FirmwareHarness.efi fingerprint-first-boot",
                               "reset -s", ""]))
    port = free_port()
    start = time.monotonic()
    qemu = subprocess.Popen(machine.command() + ["-S", "-gdb", "tcp:127.0.0.1:%d" % port],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, cwd=machine.work_dir)
    serial = bytearray()

    def read():
        while True:
            chunk = os.read(qemu.stdout.fileno(), 4096)
            if not chunk:
                return
            serial.extend(chunk)
            if not getattr(read, "skipped", False) and STARTUP_PROMPT in ANSI_ESCAPE.sub(
                    "", serial.decode("latin-1")):
                read.skipped = True  # skip the shell's five-second wait
                qemu.stdin.write(b"\r")
                qemu.stdin.flush()

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    environment = dict(os.environ, OVMF_GDB_PORT=str(port),
                       UEFI_BUILD_DIR=os.path.dirname(os.path.abspath(args.images)))
    command = [gdb, "-nx", "-batch", "-x", os.path.join(CHECKOUT, "scripts", "ovmf-gdb.py"),
               "-ex", "break " + FUNCTION, "-ex", "continue",
               "-ex", 'printf "stop pc %#lx\\n", $pc', "-ex", "kill"]
    try:
        run = subprocess.run(command, capture_output=True, text=True, env=environment,
                             timeout=machine.boot_timeout + 60, check=False)
        output = run.stdout + run.stderr
    except subprocess.TimeoutExpired as expired:
        output = (expired.stdout or b"").decode(errors="replace") + "\n(gdb timed out)"
    if qemu.poll() is None:
        qemu.kill()
    qemu.wait()
    reader.join(timeout=5)
    seconds = time.monotonic() - start
    with open(os.path.join(machine.work_dir, "gdb.log"), "w") as log:
        log.write(output)
    with open(os.path.join(machine.work_dir, "serial.log"), "wb") as log:
        log.write(serial)
    boot = Boot("debugger", bytes(serial), seconds, "killed")
    machine.boots.append(boot)

    loads = {}
    stop = None
    pc = None
    shown = {}
    for line in output.splitlines():
        if LOADED.match(line):
            name, base, _ = LOADED.match(line).groups()
            loads[name] = int(base, 16)
        elif STOPPED.match(line) and stop is None:
            stop = STOPPED.match(line).groups()
        elif PC.match(line):
            pc = int(PC.match(line).group(1), 16)
        elif re.match(r"^\d+\t", line):
            number, text = line.split("\t", 1)
            shown[int(number)] = text
    judge.check(stop is not None and stop[:2] == (FUNCTION, SOURCE),
                "gdb stopped at %s in %s" % (FUNCTION, SOURCE), "stop %s" % (stop,))
    if stop is not None:
        number = int(stop[2])
        with open(os.path.join(CHECKOUT, SOURCE), encoding="utf-8") as source:
            lines = source.read().split("\n")
        expected = lines[number - 1] if 0 < number <= len(lines) else None
        judge.check(shown.get(number) == expected and expected is not None,
                    "gdb showed line %d of %s as it is in the file" % (number, SOURCE),
                    "shown %r, the file has %r" % (shown.get(number), expected))
    dispatched = [r for r in boot.of_kind("dispatched") if r.get("name") == "FingerprintAuthDxe"]
    judge.premise(len(dispatched) == 1, "the harness reports the DXE core's one load of "
                  "FingerprintAuthDxe", "%d records" % len(dispatched))
    base = loads.get("FingerprintAuthDxe")
    if dispatched:
        judge.equal(base, dispatched[0].number("base"),
                    "the script found FingerprintAuthDxe at the base the core loaded it at")
    judge.check(base is not None and pc is not None and 0 <= pc - base < 0x10000,
                "the stop lies in that image",
                "pc %s, image at %s" % (pc and hex(pc), base and hex(base)))
    print("      debugger boot took %.1f s (logs: gdb.log, serial.log)" % seconds)
    if judge.failures or judge.broken_premises:
        print(output[-4000:])
    return judge.finish(machine)


if __name__ == "__main__":
    sys.exit(main())
