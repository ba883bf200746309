#!/usr/bin/env python3
"""SetupHwSyncDxe inside OVMF, started the way a platform starts it, on OVMF's own variable
store (flash), over two boots of one machine.

Boot 1: the harness stores "Setup" and the port NV variables as a user left them (both strap
latches set from an earlier boot, COM1 choice 3, COM2 choice 4, linked options switched on),
then hands NotebookDrivers.fv to the DXE core, whose first Dispatch starts the driver from its
file. With the straps reading released, the driver must turn the gated options and COM2 back on
exactly once, clear both latches and rewrite the port records.

Boot 2, after a power cycle: the stored variables must be what boot 1 left (the latches are
0 in flash; the shell's dmpstore agrees with the harness). The harness then changes COM2 to
choice 4 and both gated options off, as a user would in setup, and the DXE core dispatches the
volume again: with the latches clear the driver must keep those choices."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ovmf_machine import (Judge, Machine, SetupError, check_dispatched_image, differences,
                          replaced, standard_arguments)

SETUP_GUID = "EC87D643-EBA4-4BB5-A1E5-3F3E36B20DA9"
STRAPS = {"COM2": 0xFED80134, "LPT": 0xFED80135, "option": 0xFED801E0}
GRAPHICS_BRIDGE_SUBORDINATE = 0xE001001A
TPM_IDENTITY = [0xFED40F00 + i for i in range(4)]

# Setup offsets.
GATED_OPTION_1, GATED_OPTION_2 = 0x0E6, 0x0E7
TPM_PRESENT = 0x126
LINKED_OPTIONS = (0x208, 0x214, 0x216)
COM1_SELECTION, COM2_SELECTION = 0x289, 0x28A
OPTION_STRAP_LATCH, COM2_STRAP_LATCH = 0x28D, 0x28E
NVIDIA_DEVICE_PRESENT, LPT_STRAP_ACTIVE = 0x28F, 0x290

PORT_RECORDS = ["PNP0400_0_NV", "PNP0501_0_NV", "PNP0501_1_NV"]
DETECT_RECORDS = ["SetupCom1DetectData", "SetupCom2DetectData"]
ALL_VARIABLES = ["Setup"] + PORT_RECORDS + DETECT_RECORDS


def device_flags(judge, boot):
    """What the machine answers where the driver looks for straps, the graphics device and the
    TPM, and the flags those answers must give."""
    answers = {r.number("address"): r.number("value") for r in boot.of_kind("mmio", tag="answer")}
    print("      %s machine answers: %s" % (boot.name, ", ".join(
        "%#x=%#x" % item for item in sorted(answers.items()))))
    # The fixture's expectations are written for released straps (bit 7 clear), which is what
    # an address without a device reads as on this machine.
    released = all(answers.get(address, 0xFF) & 0x80 == 0 for address in STRAPS.values())
    judge.premise(released, "%s: the straps read as released on this machine" % boot.name,
                  "the expectations below assume bit 7 clear at %s" % ", ".join(
                      "%#x" % a for a in STRAPS.values()))
    bus = answers[GRAPHICS_BRIDGE_SUBORDINATE]
    vendor = answers[0xE0000000 + (bus << 20)]
    identity = [answers[address] for address in TPM_IDENTITY]
    tpm = 0 if identity in ([0x4A, 0x10, 0, 0], [0xFF] * 4) else 1
    gpu = 1 if vendor == 0x10DE else 0
    print("      %s: vendor ID behind 0:2.0 %#06x -> NvidiaDevicePresent %d; TPM identity %s "
          "-> TpmPresent %d" % (boot.name, vendor, gpu, bytes(identity).hex(), tpm))
    return released, tpm, gpu


def variables(boot, tag):
    return {name: boot.variable(tag, name) for name in ALL_VARIABLES}


def check_store(judge, boot, tag, expected, what):
    """Every variable reported under tag holds the expected bytes with attributes 7."""
    actual = variables(boot, tag)
    for name in ALL_VARIABLES:
        record, data = actual[name]
        if not judge.check(record is not None and record.number("status") == 0,
                           "%s: %s %s readable" % (boot.name, what, name)):
            continue
        judge.equal(record.number("attributes"), 7, "%s: %s %s attributes NV+BS+RT"
                    % (boot.name, what, name))
        judge.check(data == expected[name], "%s: %s %s" % (boot.name, what, name),
                    differences(data, expected[name]))


def check_dispatched_run(judge, boot, images):
    """The DXE core loaded the driver from its file in round 1 and kept it loaded after the
    round (the core unloads a driver whose entry point returns an error)."""
    record = check_dispatched_image(judge, boot.of_kind("dispatched", round="1"), images,
                                    "SetupHwSyncDxe")
    judge.check(record is not None and boot.of_kind("resident", round="1",
                                                    name="SetupHwSyncDxe", loaded="1"),
                "%s: entry point succeeds (the core keeps the driver loaded)" % boot.name,
                repr(boot.of_kind("resident", round="1")))
    return record is not None


def main():
    args = standard_arguments(__doc__)
    if not args.volume:
        print("the SetupHwSyncDxe check needs --volume")
        return 1
    try:
        machine = Machine(args.work, [args.volume, args.harness])
    except SetupError as problem:
        print("cannot start the emulated machine: %s" % problem)
        return 1
    judge = Judge("SetupHwSyncDxe in OVMF")

    # ---- boot 1 ----
    first = machine.boot("first-boot", ["FirmwareHarness.efi setup-hw-sync-first-boot"])
    if not judge.boot_completed(first):
        return judge.finish(machine)
    if not check_dispatched_run(judge, first, args.images):
        return judge.finish(machine)
    released, tpm, gpu = device_flags(judge, first)
    if not released:
        return judge.finish(machine)

    seeded = {name: data for name, (record, data) in variables(first, "before").items()}
    if not judge.premise(all(data is not None for data in seeded.values()),
                         "first-boot: the harness stored the user's settings"):
        return judge.finish(machine)
    setup = seeded["Setup"]
    judge.premise((setup[COM1_SELECTION], setup[COM2_SELECTION], setup[OPTION_STRAP_LATCH],
                   setup[COM2_STRAP_LATCH]) == (3, 4, 1, 1),
                  "first-boot: the stored Setup has COM1 3, COM2 4 and both latches set")
    # Released straps with both latches set: the gated options and COM2 (choice 2) come back
    # once and the latches clear; COM1 choice 3 gives COM1 setting 4 and leaves COM2 at 2,
    # which is COM2 setting 1; the linked options follow their switch (1); the parallel port
    # is enabled by the user's choice; device flags by the answers.
    after_first = dict(seeded)
    after_first["Setup"] = replaced(setup, {
        GATED_OPTION_1: 1, GATED_OPTION_2: 1, TPM_PRESENT: tpm,
        LINKED_OPTIONS[0]: 1, LINKED_OPTIONS[1]: 1, LINKED_OPTIONS[2]: 1,
        COM2_SELECTION: 2, OPTION_STRAP_LATCH: 0, COM2_STRAP_LATCH: 0,
        NVIDIA_DEVICE_PRESENT: gpu, LPT_STRAP_ACTIVE: 0})
    after_first["PNP0400_0_NV"] = replaced(seeded["PNP0400_0_NV"], {0: 1})
    after_first["PNP0501_0_NV"] = replaced(seeded["PNP0501_0_NV"], {0: 1, 1: 4})
    after_first["PNP0501_1_NV"] = replaced(seeded["PNP0501_1_NV"], {0: 1, 1: 1})
    check_store(judge, first, "after", after_first, "after the run")

    # ---- boot 2, same variable store ----
    second = machine.boot("second-boot", [
        "dmpstore Setup -guid " + SETUP_GUID,
        "FirmwareHarness.efi setup-hw-sync-second-boot",
    ])
    if not judge.boot_completed(second):
        return judge.finish(machine)
    check_store(judge, second, "stored", after_first, "kept in flash")
    attributes, dumped = second.dmpstore("Setup")
    judge.check(dumped == after_first["Setup"] and attributes == "NV+RT+BS",
                "second-boot: the shell's dmpstore shows the same Setup",
                "%s %s" % (attributes, differences(dumped, after_first["Setup"])))

    released, tpm, gpu = device_flags(judge, second)
    if not (released and check_dispatched_run(judge, second, args.images)):
        return judge.finish(machine)
    edited = {name: data for name, (record, data) in variables(second, "before").items()}
    _, stored_setup = second.variable("stored", "Setup")
    judge.premise(stored_setup is not None and edited["Setup"] == replaced(stored_setup, {
        COM2_SELECTION: 4, GATED_OPTION_1: 0, GATED_OPTION_2: 0}),
                  "second-boot: the harness changed COM2 to 4 and the gated options off")
    # Latches clear: the user's choices stay; COM2 choice 4 is COM2 setting 5.
    after_second = dict(edited)
    after_second["Setup"] = replaced(edited["Setup"], {TPM_PRESENT: tpm,
                                                       NVIDIA_DEVICE_PRESENT: gpu})
    after_second["PNP0501_1_NV"] = replaced(edited["PNP0501_1_NV"], {0: 1, 1: 5})
    check_store(judge, second, "after", after_second, "after the second run")
    return judge.finish(machine)


if __name__ == "__main__":
    sys.exit(main())
