#!/usr/bin/env python3
"""All five drivers started by OVMF's own DXE core from one firmware volume.

The harness reads NotebookDrivers.fv from its drive into pages at the boundary the volume header
asks for, hands it to the DXE services' ProcessFirmwareVolume, layers the Framework
firmware-volume protocol on the handle the core made, and calls Dispatch in rounds, installing
between rounds what the drivers wait for. The core itself must evaluate each file's dependency
expression, load the PE32 section from the volume and start the driver, with the volume as its
device and the firmware-file node as its path:

- round 1, the firmware's own protocols: FingerprintAuthDxe (no dependency) and SetupHwSyncDxe
  (variable services); the other three stay pending;
- round 2, the Framework boot-script protocol installed: PciBridgeProbeDxe;
- round 3, the SMM base and software-SMI dispatch stand-ins installed: both SMM drivers, whose
  first run registers its own file; the stand-in resolves the joined device path to the volume
  file through LocateDevicePath and the PI volume protocol and starts a copy inside SMM;
- round 4, nothing new: the core finds nothing to start.

What each driver did is read from the firmware and the drivers: the images the core loaded (as
their loaded-image protocols appeared), whether each is still loaded after its round (the core
unloads a driver whose entry point failed), the protocol FingerprintAuthDxe installed, the
"Setup" SetupHwSyncDxe rewrote in the firmware's store, the boot-script entry of
PciBridgeProbeDxe, the SMM registrations and the status service's answers."""
import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_smm_drivers import QUESTIONS, ROUNDS, UNTOUCHED, check_status_store
from ovmf_machine import (Judge, Machine, SetupError, check_dispatched_image, file_guid,
                          standard_arguments)

EFI_NOT_FOUND = 0x800000000000000E
# What each round's Dispatch must start, given what each driver's file says it waits for.
ROUND_STARTS = {
    1: ["FingerprintAuthDxe", "SetupHwSyncDxe"],
    2: ["PciBridgeProbeDxe"],
    3: ["FanControlSmm", "FingerprintStatusSmm"],
    4: [],
}
OPTION_STRAP_LATCH, COM2_STRAP_LATCH = 0x28D, 0x28E
PROBED_VENDOR_ID, BRIDGE_CONTROL = 0xE0928000, 0xE00A4042


def volume_alignment(path):
    with open(path, "rb") as stream:
        header = stream.read(56)
    attributes = struct.unpack_from("<I", header, 44)[0]
    return 1 << ((attributes >> 16) & 0x1F)


def check_dispatched(judge, boot, images):
    """Every image the core loaded from the volume, per round, and whether it stayed loaded. The
    core starts the drivers of one round in an order of its own (volume order, then what each
    start made possible), so a round is judged by which drivers it loaded, not in which order."""
    records = boot.of_kind("dispatched")
    for round_number, expected in ROUND_STARTS.items():
        loaded = [r["name"] for r in records if r["round"] == str(round_number)]
        judge.equal(sorted(loaded), sorted(expected),
                    "round %d: the DXE core loads exactly the drivers whose dependencies hold"
                    % round_number)
        dispatch = boot.of_kind("dispatch", round=str(round_number))
        status = EFI_NOT_FOUND if not expected else 0
        judge.check(len(dispatch) == 1 and dispatch[0].number("status") == status,
                    "round %d: Dispatch returns %#x" % (round_number, status), repr(dispatch))
        resident = {r["name"]: r["loaded"] for r in boot.of_kind("resident",
                                                                  round=str(round_number))}
        started_so_far = [name for number in range(1, round_number + 1)
                          for name in ROUND_STARTS[number]]
        judge.equal(resident, {name: "1" for name in started_so_far},
                    "round %d: every driver started so far is still loaded (its entry point "
                    "succeeded; the core unloads a driver that fails)" % round_number)
    dispatched = {}
    for name in sorted(name for names in ROUND_STARTS.values() for name in names):
        record = check_dispatched_image(judge, records, images, name)
        if record is not None:
            dispatched[name] = record
    return dispatched


def check_smm_start(judge, boot, images, driver):
    """First run (started by the core) registers its own volume file; the copy the stand-in
    read through the volume protocol starts inside SMM."""
    registers = [r for r in boot.of_kind("smm", op="register")
                 if r["file"] == "fvfile:" + file_guid(os.path.join(images, driver + ".ffs"))]
    image_size = os.path.getsize(os.path.join(images, driver + ".efi"))
    judge.check(len(registers) == 1 and registers[0]["source"] == "null"
                and registers[0]["resolved"] == "volume"
                and registers[0].number("pe32") == image_size,
                "%s: registers its own file by the device path the core gave it; resolved "
                "through LocateDevicePath to the volume, whose PE32 section is the image"
                % driver, repr(registers))
    copies = boot.of_kind("load", image=driver + ".smm")
    starts = boot.of_kind("start", image=driver + ".smm")
    judge.check(len(copies) == 1 and copies[0].number("status") == 0
                and copies[0]["from"] == "buffer" and len(starts) == 1
                and starts[0].number("status") == 0,
                "%s: the SMM copy loads from the section and its in-SMM run succeeds" % driver,
                repr(copies + starts))


def main():
    args = standard_arguments(__doc__)
    if not args.volume:
        print("the dispatch check needs --volume")
        return 1
    try:
        machine = Machine(args.work, [args.harness, args.volume])
    except SetupError as problem:
        print("cannot start the emulated machine: %s" % problem)
        return 1
    judge = Judge("DXE dispatch in OVMF")
    boot = machine.boot("dispatch", ["FirmwareHarness.efi dispatch"])
    if not judge.boot_completed(boot):
        return judge.finish(machine)

    volume = boot.of_kind("volume")
    alignment = volume_alignment(args.volume)
    judge.premise(volume and volume[0].number("placed") % alignment == 0,
                  "the harness placed the volume at the %#x boundary its header asks for"
                  % alignment, repr(volume))
    judge.check(volume and volume[0].number("status") == 0,
                "the core takes the volume (ProcessFirmwareVolume)", repr(volume))
    layer = boot.of_kind("fvlayer", op="install")
    judge.premise(layer and layer[0].number("status") == 0,
                  "the Framework volume protocol layered on the core's volume handle")
    dispatched = check_dispatched(judge, boot, args.images)

    # FingerprintAuthDxe: its protocol, served from the image the core started.
    protocol = boot.of_kind("protocol", name="fingerprint-auth")
    judge.check(protocol and protocol[0].number("status") == 0
                and protocol[0]["function"] == "in-dispatched-image",
                "FingerprintAuthDxe: FINGERPRINT_AUTH_PROTOCOL installed, pointing into the "
                "image the core started", repr(protocol))

    # SetupHwSyncDxe: both latches set in the stored "Setup", cleared by the dispatched run.
    _, before = boot.variable("before", "Setup")
    _, after = boot.variable("round1", "Setup")
    judge.premise(before is not None and before[OPTION_STRAP_LATCH] != 0
                  and before[COM2_STRAP_LATCH] != 0,
                  "the stored Setup has both strap latches set")
    judge.check(after is not None and len(after) == 662 and after[OPTION_STRAP_LATCH] == 0
                and after[COM2_STRAP_LATCH] == 0,
                "SetupHwSyncDxe: started by the core, it clears both latches in the firmware's "
                "store", "after round 1: %s" % (after.hex() if after else None))

    # PciBridgeProbeDxe: one boot-script entry, the control byte as the probe must set it.
    answers = {r.number("address"): r.number("value") for r in boot.of_kind("mmio", tag="answer")}
    vendor, control = answers[PROBED_VENDOR_ID], answers[BRIDGE_CONTROL]
    expected_byte = control & 0xFB if vendor == 0xFFFF else control | 0x04
    entries = boot.of_kind("script")
    judge.check(len(entries) == 1 and (entries[0].number("opcode"), entries[0].number("address"),
                                       entries[0]["data"]) == (4, 0x140442, "%02X" % expected_byte),
                "PciBridgeProbeDxe: started by the core once the boot-script protocol is there, "
                "records one PCI write of 0:14.4 register 0x42 with bit 2 by the probe",
                repr(entries))

    # The SMM drivers.
    for driver in ("FanControlSmm", "FingerprintStatusSmm"):
        if driver in dispatched:
            check_smm_start(judge, boot, args.images, driver)
    callbacks = boot.of_kind("smm", op="callback")
    judge.check(len(callbacks) == 1 and callbacks[0]["function"] == "smm-copy"
                and callbacks[0]["insmm"] == "1",
                "FanControlSmm: one SMI callback of its SMM copy", repr(callbacks))
    periodic = boot.of_kind("smi", kind="periodic")
    judge.equal([r.number("status", "skipped") for r in periodic], [0],
                "FanControlSmm: its callback answers an SMI with EFI_HANDLER_SUCCESS")
    registrations = boot.of_kind("smm", op="swregister")
    judge.equal([(r.number("value"), r["function"]) for r in registrations],
                [(0x534D8420, "smm-copy"), (0x534D8920, "smm-copy"), (0x534D1020, "smm-copy")],
                "FingerprintStatusSmm: three software SMIs of its SMM copy, in order")
    check_status_store(judge, boot, "status1", "round 1")
    smis = boot.of_kind("smi", kind="software")
    answers_expected = ROUNDS["round 1"][0]
    judge.equal([(r.number("value"), r.number("eax"), r.number("answer"), r.number("executing"))
                 for r in smis],
                [(value, eax, answer, UNTOUCHED)
                 for (value, eax), answer in zip(QUESTIONS, answers_expected)],
                "FingerprintStatusSmm: the five SMIs answered from the firmware's store in the "
                "caller's EAX")
    return judge.finish(machine)


if __name__ == "__main__":
    sys.exit(main())
