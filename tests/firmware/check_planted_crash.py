#!/usr/bin/env python3
"""A crash on purpose inside OVMF, for the exception report: the harness loads PciBridgeProbeDxe
with the firmware's LoadImage and calls its entry point with a system table pointer that is not
canonical; the driver's first read of the table faults, and the firmware reports the exception.

Checks: the boot ends in the firmware's exception report, inside PciBridgeProbeDxe at the base
the harness reports for its load; the check's report of it names the function, file and line
from the debug twin, and that line of the file reads the system table.
"""
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ovmf_machine import Judge, Machine, SetupError, exception_source, standard_arguments

CHECKOUT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SOURCE = re.compile(r"^PciBridgeProbeDxe\+0x[0-9a-f]+: InitializeDriverGlobals at "
                    r"(support/driver_globals\.cpp):(\d+)$")


def main():
    args = standard_arguments(__doc__)
    judge = Judge("firmware_planted_crash")
    try:
        machine = Machine(args.work, [os.path.join(args.images, "PciBridgeProbeDxe.efi"),
                                      args.harness], boot_timeout=90)
    except SetupError as error:
        print("FAIL  %s" % error)
        return 1
    boot = machine.boot("crash", ["FirmwareHarness.efi planted-crash"])
    judge.equal(boot.ended, "exception", "the firmware reported the exception")
    loads = boot.of_kind("load", image="PciBridgeProbeDxe")
    judge.premise(len(loads) == 1 and loads[0].number("status") == 0,
                  "the harness loaded PciBridgeProbeDxe", repr(loads))
    judge.check(not boot.of_kind("planted-crash"), "the entry point did not return")
    report = exception_source(boot)
    for line in report:
        print("      source: " + line)
    match = SOURCE.match(report[0]) if report else None
    if judge.check(match is not None, "the report names InitializeDriverGlobals with its file "
                   "and line", repr(report)):
        with open(os.path.join(CHECKOUT, match.group(1)), encoding="utf-8") as source:
            lines = source.read().split("\n")
        number = int(match.group(2))
        text = lines[number - 1] if 0 < number <= len(lines) else ""
        judge.check("SystemTable->" in text, "line %d reads the system table" % number,
                    repr(text))
    image = [line for line in boot.lines if "Find image based on IP" in line]
    if loads:
        judge.check(len(image) == 1 and "ImageBase=%016X" % loads[0].number("base") in image[0],
                    "the exception lies in the image the harness loaded", repr(image))
    return judge.finish(machine)


if __name__ == "__main__":
    sys.exit(main())
