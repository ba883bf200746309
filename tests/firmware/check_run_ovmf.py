#!/usr/bin/env python3
"""scripts/run-ovmf.sh with a scenario word, as a firmware engineer runs it: it ends when the
scenario ends, its last line is the verdict and its exit status matches it, and it leaves
neither its temporary folder nor a QEMU behind, whether the boot passes, fails, reaches the
time limit or the script is stopped.

Usage: check_run_ovmf.py --script scripts/run-ovmf.sh --build <uefi build folder> --work DIR"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ovmf_machine import Judge, SetupError, find_tools  # noqa: E402

# What a boot of the dispatch scenario may take here, with room for a loaded machine.
TIME_LIMIT = 240


def qemu_processes(marker):
    """QEMU processes whose command line names marker (the script's temporary folder)."""
    found = []
    for pid in os.listdir("/proc"):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                words = f.read().split(b"\0")
        except OSError:
            continue
        if words and words[0].endswith(b"qemu-system-x86_64") and \
                any(marker.encode() in word for word in words):
            found.append(int(pid))
    return found


def start(args, tmp, word, environment=None):
    os.makedirs(tmp, exist_ok=True)
    env = {**os.environ, "TMPDIR": tmp, "UEFI_BUILD_DIR": args.build, **(environment or {})}
    return subprocess.Popen(["sh", args.script, word], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)


def finish(process, limit):
    """(exit status or None when the limit passed, output, seconds)."""
    begun = time.monotonic()
    try:
        output, _ = process.communicate(timeout=limit)
    except subprocess.TimeoutExpired:
        process.kill()
        output, _ = process.communicate()
        return None, output.decode("latin-1"), time.monotonic() - begun
    return process.returncode, output.decode("latin-1"), time.monotonic() - begun


def last_line(output):
    lines = [line for line in output.replace("\r", "").split("\n") if line.strip()]
    return lines[-1] if lines else ""


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--script", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    try:
        find_tools()
    except SetupError as problem:
        print("cannot start the emulated machine: %s" % problem)
        return 1
    shutil.rmtree(args.work, ignore_errors=True)
    judge = Judge("run-ovmf.sh")

    def left_nothing(tmp, what):
        judge.check(os.listdir(tmp) == [], "%s: the temporary folder is removed" % what,
                    repr(os.listdir(tmp)))
        judge.check(qemu_processes(tmp) == [], "%s: no QEMU left running" % what)

    # (what, scenario word, environment, exit status, start of the verdict line)
    runs = [
        ("dispatch", "dispatch", {}, 0, "run-ovmf.sh: PASS: dispatch: "),
        ("an unknown scenario word", "no-such-scenario", {}, 1,
         "run-ovmf.sh: FAIL: no-such-scenario: the harness's no-such-scenario scenario returned "
         "EFI_SUCCESS"),
        ("the time limit", "dispatch", {"FIRMWARE_BOOT_TIMEOUT": "2"}, 1,
         "run-ovmf.sh: FAIL: dispatch: dispatch: firmware powered off by itself"),
    ]
    for number, (what, word, environment, code, verdict) in enumerate(runs):
        tmp = os.path.join(args.work, "tmp%d" % number)
        status, output, seconds = finish(start(args, tmp, word, environment), TIME_LIMIT)
        with open(os.path.join(args.work, "run%d.log" % number), "w") as log:
            log.write(output)
        judge.check(status is not None, "%s: the script ends by itself (%.0f s, limit %d s)"
                    % (what, seconds, TIME_LIMIT))
        judge.equal(status, code, "%s: exit status" % what)
        judge.check(last_line(output).startswith(verdict), "%s: the verdict is the last line"
                    % what, "got %r" % last_line(output))
        if environment:
            judge.check("the boot reached the time limit of 2 s" in last_line(output),
                        "%s: the verdict names the time limit" % what)
        left_nothing(tmp, what)

    # Stopped while QEMU runs: the script ends at once, and everything is gone.
    tmp = os.path.join(args.work, "tmp-stopped")
    process = start(args, tmp, "dispatch")
    deadline = time.monotonic() + 60
    while not qemu_processes(tmp) and time.monotonic() < deadline:
        time.sleep(0.2)
    judge.premise(qemu_processes(tmp) != [], "stopped: QEMU was running")
    time.sleep(2)
    process.send_signal(signal.SIGTERM)
    status, output, seconds = finish(process, 20)
    judge.check(status == 128 + signal.SIGTERM, "stopped: the script ends at once with status "
                "143", "status %s after %.1f s" % (status, seconds))
    left_nothing(tmp, "stopped")

    print("%s: %d checks, %d failed" % (judge.title, judge.checks, judge.failures))
    return 1 if judge.failures or judge.broken_premises else 0


if __name__ == "__main__":
    sys.exit(main())
