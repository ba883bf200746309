#!/usr/bin/env python3
"""PciBridgeProbeDxe inside OVMF: loaded and started by the firmware from a file three times
on one boot: with no "Setup" in the fresh variable store (EFI_NOT_FOUND, no boot-script
entry), with "Setup" (success, one PCI configuration write in the S3 resume script carrying the
bridge control byte the driver must have written given what the machine answered), and
without the Framework boot-script protocol, which the firmware does not have on its own."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ovmf_machine import (Judge, Machine, SetupError, check_loaded_as_driver, differences,
                          standard_arguments)

EFI_NOT_FOUND = 0x800000000000000E
BRIDGE_BUS_NUMBERS = 0xE00A4019  # 0:14.4 registers 0x19/0x1A
PROBED_VENDOR_ID = 0xE0928000    # 9:05.0 register 0
BRIDGE_CONTROL = 0xE00A4042      # 0:14.4 register 0x42
PROBE_SELECT_OFFSET = 0x22D


def main():
    args = standard_arguments(__doc__)
    image = os.path.join(args.images, "PciBridgeProbeDxe.efi")
    try:
        machine = Machine(args.work, [image, args.harness])
    except SetupError as problem:
        print("cannot start the emulated machine: %s" % problem)
        return 1
    judge = Judge("PciBridgeProbeDxe in OVMF")
    boot = machine.boot("pci-bridge-probe", ["FirmwareHarness.efi pci-bridge-probe"])
    if not judge.boot_completed(boot):
        return judge.finish(machine)

    loads = boot.of_kind("load", image="PciBridgeProbeDxe")
    starts = boot.of_kind("start", image="PciBridgeProbeDxe")
    counts = boot.of_kind("scripts")
    # The harness's own calls: three loads, the recorder read after runs 1 and 2.
    if not judge.premise(len(loads) == 3 and len(counts) == 2,
                         "the harness loaded the driver three times and read the boot script "
                         "after runs 1 and 2",
                         "%d loads, %d boot-script reports" % (len(loads), len(counts))):
        return judge.finish(machine)
    check_loaded_as_driver(judge, loads, image)
    if not judge.premise(len(starts) == 3, "the harness started each loaded image",
                         "%d starts" % len(starts)):
        return judge.finish(machine)

    # Run 1: no "Setup".
    fresh = boot.of_kind("var", tag="fresh", name="Setup")
    judge.premise(fresh and fresh[0].number("status") == EFI_NOT_FOUND,
                  "run 1: the fresh variable store has no Setup", repr(fresh))
    judge.equal(starts[0].number("status"), EFI_NOT_FOUND, "run 1 (no Setup): entry status")
    judge.equal(counts[0].number("count"), 0, "run 1 (no Setup): no boot-script entry")

    # Run 2: "Setup" with the probe option set.
    before_record, before = boot.variable("before", "Setup")
    after_record, after = boot.variable("after", "Setup")
    judge.premise(before is not None and len(before) == 662 and before[PROBE_SELECT_OFFSET] == 1,
                  "run 2: the harness stored a 662-byte Setup with BridgeProbeSelect (0x22D) 1")
    judge.equal(starts[1].number("status"), 0, "run 2 (Setup): entry status")
    judge.equal(counts[1].number("count"), 1, "run 2 (Setup): one boot-script entry")
    judge.check(after == before, "run 2: Setup is only read", differences(after, before))

    # The byte the driver must have written and recorded, given the machine's answers: bit 2
    # of the control byte set when a device answers at 9:05.0 (vendor ID not 0xFFFF), cleared
    # when none does, the other bits as read.
    answers = {r.number("address"): r.number("value") for r in boot.of_kind("mmio", tag="before")}
    vendor = answers[PROBED_VENDOR_ID]
    control = answers[BRIDGE_CONTROL]
    expected_byte = control & 0xFB if vendor == 0xFFFF else control | 0x04
    print("      machine answers: vendor ID at 9:05.0 %#06x, bridge control byte %#04x"
          % (vendor, control))
    entries = boot.of_kind("script")
    if len(entries) == 1:  # runs 1 and 2 together: their counts are judged above
        entry = entries[0]
        judge.equal((entry.number("table"), entry.number("opcode"), entry.number("width"),
                     entry.number("address"), entry.number("count")),
                    (0, 4, 0, 0x140442, 1),
                    "S3 resume script: table 0, PCI config write, 8-bit, 0:14.4 reg 0x42, once")
        judge.equal(entry["data"], "%02X" % expected_byte,
                    "S3 resume script carries the control byte with bit 2 by the probe")

    # What the machine holds after the run: on this emulated machine nothing backs the
    # configuration window at 0xE0000000, so the driver's writes leave no trace to check here
    # (the simulated board checks them); shown for the log.
    for record in boot.of_kind("mmio", tag="after"):
        print("      after run 2: %#x reads %s" % (record.number("address"), record["value"]))

    # Run 3: OVMF without the Framework boot-script protocol.
    judge.equal(starts[2].number("status"), 0,
                "run 3 (no boot-script protocol): entry status, the driver copes")
    return judge.finish(machine)


if __name__ == "__main__":
    sys.exit(main())
