#!/usr/bin/env python3
"""The verdict of one boot that scripts/run-ovmf.sh watched: its serial log judged as the
real-firmware check judges it, then one line

    run-ovmf.sh: PASS: <scenario>: <n> checks held
    run-ovmf.sh: FAIL: <scenario>: <what failed>; ...

and exit status 0 or 1 to match. "dispatch" gets every check of firmware_dispatch; any other
scenario word what holds for each: the firmware powered off by itself (no exception, no time
limit reached), the harness ran from begin to end and its scenario returned EFI_SUCCESS."""
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ovmf_machine import EXCEPTION_MARKERS, Boot, Judge  # noqa: E402


class Verdict(Judge):
    """A Judge that keeps what failed, for the verdict line."""

    def __init__(self, title):
        super().__init__(title)
        self.failed = []

    def check(self, condition, what, detail=""):
        if not condition:
            self.failed.append(what)
        return super().check(condition, what, detail)

    def premise(self, condition, what, detail=""):
        if not condition:
            self.failed.append("premise: " + what)
        return super().premise(condition, what, detail)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--log", required=True, help="the serial log of the boot")
    parser.add_argument("--scenario", required=True, help="the harness's scenario word")
    parser.add_argument("--qemu-exit", type=int, required=True, help="QEMU's exit status")
    parser.add_argument("--timed-out", type=int, default=0, help="seconds of the time limit "
                        "that stopped the boot, 0 when none did")
    parser.add_argument("--seconds", type=float, default=0.0, help="how long the boot took")
    parser.add_argument("--images", required=True, help="folder of the built driver images")
    parser.add_argument("--harness-folder", required=True, help="folder of FirmwareHarness.efi")
    parser.add_argument("--volume", required=True, help="NotebookDrivers.fv")
    args = parser.parse_args()

    try:
        with open(args.log, "rb") as log:
            raw = log.read()
    except OSError:
        raw = b""
    text = raw.decode("latin-1")
    if args.timed_out:
        ended = "timeout"
    elif any(marker in text for marker in EXCEPTION_MARKERS):
        ended = "exception"
    elif args.qemu_exit == 0:
        ended = "powered-off"
    else:
        ended = "exit-%d" % args.qemu_exit
    boot = Boot(args.scenario, raw, args.seconds, ended)
    boot.twin_folders = [args.images, args.harness_folder]

    print()
    judge = Verdict("run-ovmf.sh " + args.scenario)
    completed = judge.boot_completed(boot)
    if args.timed_out:
        judge.failed.append("the boot reached the time limit of %d s" % args.timed_out)
    if completed and args.scenario == "dispatch":
        from check_dispatch import judge_dispatch
        judge_dispatch(judge, boot, args.images, args.volume)
    elif completed:
        ends = boot.of_kind("end")
        judge.check(ends[0].number("status") == 0, "the harness's %s scenario returned "
                    "EFI_SUCCESS" % args.scenario, "status %s" % ends[0]["status"])
    if judge.failed:
        print("run-ovmf.sh: FAIL: %s: %s" % (args.scenario, "; ".join(judge.failed)))
        return 1
    print("run-ovmf.sh: PASS: %s: %d checks held" % (args.scenario, judge.checks))
    return 0


if __name__ == "__main__":
    sys.exit(main())
