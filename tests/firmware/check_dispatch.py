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
  first run finds itself outside SMM and registers its own file; the stand-in resolves the joined
  device path to the volume file through LocateDevicePath and the PI volume protocol, loads the
  PE32 section with the firmware's LoadImage and starts that copy inside SMM, where it takes the
  SMM system table and registers its handlers (FanControlSmm one SMI callback, not last, without
  floating-point save; FingerprintStatusSmm its three software SMIs in order); then two SMIs
  that are no software SMIs, and the status service's software SMIs over two sets of variables
  in the firmware's store, answered in the caller's saved EAX (processor 1, named by the
  processor-index table) with the executing processor's record left alone;
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
from ovmf_machine import (Judge, Machine, SetupError, check_dispatched_image,
                          check_loaded_as_driver, file_guid, standard_arguments)

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
SMM_DRIVERS = ["FanControlSmm", "FingerprintStatusSmm"]
UNTOUCHED = 0x5A5A5A5A  # what the harness leaves in the executing processor's saved EAX

# The status service's questions (value, caller's EAX) and the answers each round must give.
QUESTIONS = [(0x534D1020, 0x6E0C10F3), (0x534D8420, 0x000084A5), (0x534D8920, 0xFFFF8920),
             (0x534D1020, 0x12348900), (0x534D1020, 0x00002020)]
ROUNDS = {
    # User password field starts with 0 (empty), administrator set, finger enrolled
    # ("FPExistFlag" bit 1), reader option (Setup byte 0x218) on.
    "status 1": ([0x000E0000, 0x7, 0x5553000F, 0x5553000F, 0x2020],
                [["VELTRASetup"], ["FPExistFlag", "Setup"], [], [], []]),
    # User set, administrator empty, no "FPExistFlag": "Setup" is then not read.
    "status 2": ([0x000A0001, 0x0, 0x5553000F, 0x5553000F, 0x2020],
                [["VELTRASetup"], ["FPExistFlag"], [], [], []]),
}


# What each round stored for the service, read back at the setup engine's own offsets: the
# user password field at 0 and the administrator's at 128 of the 257-byte "VELTRASetup" (empty
# when the first UINT16 is 0), "FPExistFlag" (one byte, bit 1: a finger enrolled) and the reader
# option at byte 0x218 of "Setup".
STORED = {"status 1": (True, False, True), "status 2": (False, True, False)}
READER_OPTION = 0x218


def check_status_store(judge, boot, tag, round_name):
    user_empty, admin_empty, enrolled = STORED[round_name]
    _, passwords = boot.variable(tag, "VELTRASetup")
    flag_record, flag = boot.variable(tag, "FPExistFlag")
    _, setup = boot.variable(tag, "Setup")
    stored = (passwords is not None and len(passwords) == 257 and len(setup or b"") == 662
              and (passwords[0:2] == bytes(2)) == user_empty
              and (passwords[128:130] == bytes(2)) == admin_empty
              and setup[READER_OPTION] == 1
              and ((flag == b"\x02") if enrolled
                   else flag_record is not None and flag_record.number("status") != 0))
    judge.premise(stored, "status service, %s: stored user password %s, administrator %s, "
                  "finger %s, reader option on" % (
                      round_name, "empty" if user_empty else "set",
                      "empty" if admin_empty else "set", "enrolled" if enrolled else "none"),
                  "VELTRASetup %s, FPExistFlag %s, Setup[0x218] %s" % (
                      passwords[:2].hex() + ".." + passwords[128:130].hex() if passwords
                      else None, flag.hex() if flag else flag_record,
                      setup[READER_OPTION] if setup else None))


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


def driver_run(boot, driver):
    """The records of one dispatched driver's start: from the line of its loaded image (the core
    installs it just before it calls the entry point) up to the next image the core loads or the
    end of the round, whichever comes first."""
    records = boot.records
    start = next((i for i, r in enumerate(records)
                  if r.kind == "dispatched" and r.get("name") == driver), None)
    if start is None:
        return []
    end = next((i for i in range(start + 1, len(records))
                if records[i].kind in ("dispatched", "dispatch")), len(records))
    return records[start:end]


def check_smm_start(judge, boot, images, driver):
    """First run (started by the core) finds itself outside SMM and registers its own volume file;
    the copy the stand-in read through the volume protocol is loaded and relocated by the
    firmware and starts inside SMM, where it takes the SMM system table."""
    run = driver_run(boot, driver)
    guid = file_guid(os.path.join(images, driver + ".ffs"))
    registers = [r for r in run if r.kind == "smm" and r["op"] == "register"]
    image_size = os.path.getsize(os.path.join(images, driver + ".efi"))
    judge.check(len(registers) == 1 and registers[0]["file"] == "fvfile:" + guid
                and registers[0]["source"] == "null" and registers[0]["legacy"] == "0"
                and registers[0]["resolved"] == "volume"
                and registers[0].number("pe32") == image_size,
                "%s: registers its own file (native, no buffer) by the device path the core gave "
                "it; resolved through LocateDevicePath to the volume, whose PE32 section is the "
                "image" % driver, repr(registers))
    answers = [r["answer"] for r in run if r.kind == "smm" and r["op"] == "insmm"]
    judge.equal(answers, ["0", "1"], "%s: asks InSmm once per run (outside, then inside)"
                % driver)
    copies = [r for r in run if r.kind == "load" and r["image"] == driver + ".smm"]
    starts = [r for r in run if r.kind == "start" and r["image"] == driver + ".smm"]
    judge.premise(len(copies) == 1 and copies[0]["from"] == "buffer",
                  "%s: the stand-in loaded one SMM copy from the section" % driver, repr(copies))
    check_loaded_as_driver(judge, copies, os.path.join(images, driver + ".efi"))
    smst = [r for r in run if r.kind == "smm" and r["op"] == "getsmst"]
    judge.check(len(smst) == 1 and smst[0]["insmm"] == "1" and smst[0].number("status") == 0,
                "%s: second run takes the SMM system table inside SMM" % driver, repr(smst))
    judge.check(len(starts) == 1 and starts[0].number("status") == 0,
                "%s: second run (in-SMM entry) succeeds" % driver, repr(starts))
    return run


def check_status_answers(judge, boot):
    """Both rounds of the status service's questions: each answer in the caller's saved EAX
    (processor 1, named by the processor-index table), the executing processor's record left
    alone, the variables read through the SMM variable services in order."""
    notes = [i for i, r in enumerate(boot.records) if r.kind == "note"]
    for number, (name, (answers, reads)) in enumerate(ROUNDS.items(), 1):
        check_status_store(judge, boot, "status%d" % number, name)
        start = next((i for i in notes if boot.records[i].text.startswith("@fw note " + name)),
                     None)
        if not judge.premise(start is not None, "status service: the harness asked %s" % name):
            continue
        smis, pending = [], []
        for record in boot.records[start + 1:]:
            if record.kind == "note":
                break
            if record.kind == "smm" and record["op"] == "getvariable":
                pending.append(record)
            elif record.kind == "smi" and record["kind"] == "software":
                smis.append((record, pending))
                pending = []
        if not judge.premise(len(smis) == len(QUESTIONS),
                             "status service: the harness raised five SMIs in %s" % name):
            continue
        for (value, eax), expected, expected_reads, (smi, got_reads) in zip(
                QUESTIONS, answers, reads, smis):
            what = "status service: %s, SMI %#x with EAX %#010x" % (name, value, eax)
            judge.premise(smi.number("value") == value and smi.number("eax") == eax,
                          what + ": raised", repr(smi))
            judge.equal(smi.number("handlers"), 1, what + ": one handler of the driver runs")
            judge.equal(smi.number("answer"), expected, what + ": answer in the caller's EAX")
            judge.equal(smi.number("executing"), UNTOUCHED,
                        what + ": executing processor's saved EAX untouched")
            judge.equal([r["name"] for r in got_reads], expected_reads,
                        what + ": variables read, in order")
            judge.check(all(r["attributes"] == "null" for r in got_reads),
                        what + ": reads pass no attributes pointer")


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
    if judge.boot_completed(boot):
        judge_dispatch(judge, boot, args.images, args.volume)
    return judge.finish(machine)


def judge_dispatch(judge, boot, images, volume_path):
    """The checks of one completed boot of "FirmwareHarness.efi dispatch" (also the verdict of
    scripts/run-ovmf.sh dispatch)."""
    volume = boot.of_kind("volume")
    alignment = volume_alignment(volume_path)
    judge.premise(volume and volume[0].number("placed") % alignment == 0,
                  "the harness placed the volume at the %#x boundary its header asks for"
                  % alignment, repr(volume))
    judge.check(volume and volume[0].number("status") == 0,
                "the core takes the volume (ProcessFirmwareVolume)", repr(volume))
    layer = boot.of_kind("fvlayer", op="install")
    judge.premise(layer and layer[0].number("status") == 0,
                  "the Framework volume protocol layered on the core's volume handle")
    dispatched = check_dispatched(judge, boot, images)

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
    runs = {driver: check_smm_start(judge, boot, images, driver)
            for driver in SMM_DRIVERS if driver in dispatched}
    callbacks = [r for r in runs.get("FanControlSmm", []) if r.kind == "smm"
                 and r["op"] == "callback"]
    judge.check(len(callbacks) == 1 and callbacks[0]["image"] == "smm-copy"
                and callbacks[0]["function"] == "smm-copy"
                and callbacks[0]["makelast"] == "0" and callbacks[0]["fpsave"] == "0"
                and callbacks[0]["insmm"] == "1" and callbacks[0].number("status") == 0,
                "FanControlSmm: one SMI callback of the SMM copy, registered inside SMM, not last, "
                "without floating-point save", repr(callbacks))
    registrations = [r for r in runs.get("FingerprintStatusSmm", []) if r.kind == "smm"
                     and r["op"] == "swregister"]
    judge.equal([(r.number("value"), r["function"], r["insmm"]) for r in registrations],
                [(0x534D8420, "smm-copy", "1"), (0x534D8920, "smm-copy", "1"),
                 (0x534D1020, "smm-copy", "1")],
                "FingerprintStatusSmm: three software SMIs of the SMM copy, in order")

    # The timer callback on this machine: the SMI registers at 0xFED80291/0xFED80297 read as
    # 0 (nothing backs the FCH block), so no SMI is the timer's and the callback must return
    # EFI_HANDLER_SUCCESS after its two status reads, each time.
    timer_status = answers[0xFED80297] & answers[0xFED80291] & 0x80
    print("      machine answers: SMI register 0x97 %#04x, 0x91 %#04x; PM1 control %s"
          % (answers[0xFED80297], answers[0xFED80291],
             boot.of_kind("io", tag="answer")[0]["value"]))
    judge.premise(timer_status == 0, "the timer status reads clear on this machine")
    periodic = boot.of_kind("smi", kind="periodic")
    judge.equal([(r["index"], r.number("status", "skipped")) for r in periodic],
                [("0", 0), ("0", 0)],
                "FanControlSmm: two SMIs, its callback answers each with EFI_HANDLER_SUCCESS")
    check_status_answers(judge, boot)


if __name__ == "__main__":
    sys.exit(main())
