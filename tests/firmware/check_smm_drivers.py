#!/usr/bin/env python3
"""FanControlSmm and FingerprintStatusSmm inside OVMF, through the harness's stand-in for the
notebook's Framework SMM core (OVMF has none).

Each driver is loaded and started by the firmware from its file. Its first run must locate the
SMM base protocol, find itself outside SMM and register its own file; the stand-in then loads a
fresh copy with the firmware's LoadImage and starts it while InSmm answers TRUE, and that second
run must take the SMM system table and register its handlers, with code of the SMM copy:
FanControlSmm one SMI callback (no floating-point save, not last), FingerprintStatusSmm its three
software SMIs in order. Then the harness raises two SMIs that are not software SMIs and the
three software SMIs of the status service over two sets of variables in the firmware's store;
the answers must come back in the caller's saved EAX (processor 1, named by the processor-index
table) and leave the executing processor's record alone."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ovmf_machine import Judge, Machine, SetupError, check_loaded_as_driver, standard_arguments

DRIVERS = ["FanControlSmm", "FingerprintStatusSmm"]
UNTOUCHED = 0x5A5A5A5A  # what the harness leaves in the executing processor's saved EAX

# The status service's questions (value, caller's EAX) and the answers each round must give.
QUESTIONS = [(0x534D1020, 0x6E0C10F3), (0x534D8420, 0x000084A5), (0x534D8920, 0xFFFF8920),
             (0x534D1020, 0x12348900), (0x534D1020, 0x00002020)]
ROUNDS = {
    # User password field starts with 0 (empty), administrator set, finger enrolled
    # ("FPExistFlag" bit 1), reader option (Setup byte 0x218) on.
    "round 1": ([0x000E0000, 0x7, 0x5553000F, 0x5553000F, 0x2020],
                [["VELTRASetup"], ["FPExistFlag", "Setup"], [], [], []]),
    # User set, administrator empty, no "FPExistFlag": "Setup" is then not read.
    "round 2": ([0x000A0001, 0x0, 0x5553000F, 0x5553000F, 0x2020],
                [["VELTRASetup"], ["FPExistFlag"], [], [], []]),
}


# What each round stored for the service, read back at the setup engine's own offsets: the
# user password field at 0 and the administrator's at 128 of the 257-byte "VELTRASetup" (empty
# when the first UINT16 is 0), "FPExistFlag" (one byte, bit 1: a finger enrolled) and the reader
# option at byte 0x218 of "Setup".
STORED = {"round 1": (True, False, True), "round 2": (False, True, False)}
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


def slice_between(records, first, last):
    """The records after the first one matching first() up to the first one after it that
    matches last(), both included; [] when not found."""
    start = next((i for i, r in enumerate(records) if first(r)), None)
    if start is None:
        return []
    end = next((i for i in range(start + 1, len(records)) if last(records[i])), None)
    return records[start:end + 1] if end is not None else []


def check_start(judge, boot, images, driver):
    """The two-run start of one SMM driver, from the load of its first copy to the end of its
    first run."""
    run = slice_between(boot.records,
                        lambda r: r.kind == "load" and r.get("image") == driver,
                        lambda r: r.kind == "start" and r.get("image") == driver)
    if not judge.premise(run, "%s: the harness loaded and started the driver" % driver):
        return None
    first_load, first_start = run[0], run[-1]
    smm_loads = [r for r in run if r.kind == "load" and r.get("image") == driver + ".smm"]
    smm_starts = [r for r in run if r.kind == "start" and r.get("image") == driver + ".smm"]
    image = os.path.join(images, driver + ".efi")
    check_loaded_as_driver(judge, [first_load] + smm_loads, image)

    answers = [r["answer"] for r in run if r.kind == "smm" and r["op"] == "insmm"]
    judge.equal(answers, ["0", "1"], "%s: asks InSmm once per run (outside, then inside)"
                % driver)
    registers = [r for r in run if r.kind == "smm" and r["op"] == "register"]
    judge.check(len(registers) == 1 and registers[0]["file"] == "\\%s.efi" % driver
                and registers[0]["source"] == "null" and registers[0]["legacy"] == "0",
                "%s: first run registers its own file by device path" % driver, repr(registers))
    # The stand-in loads one copy per Register call; that the driver's handlers belong to that
    # copy is judged from the addresses it registers (callback and software-SMI lines).
    judge.premise(len(smm_loads) == 1, "%s: the stand-in loaded one SMM copy" % driver)
    smst = [r for r in run if r.kind == "smm" and r["op"] == "getsmst"]
    judge.check(len(smst) == 1 and smst[0]["insmm"] == "1" and smst[0].number("status") == 0,
                "%s: second run takes the SMM system table inside SMM" % driver, repr(smst))
    judge.check(len(smm_starts) == 1 and smm_starts[0].number("status") == 0,
                "%s: second run (in-SMM entry) succeeds" % driver, repr(smm_starts))
    judge.equal(first_start.number("status"), 0, "%s: first run (outside SMM) succeeds" % driver)
    return run


def check_status_answers(judge, boot):
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
    images = [os.path.join(args.images, name + ".efi") for name in DRIVERS]
    try:
        machine = Machine(args.work, images + [args.harness])
    except SetupError as problem:
        print("cannot start the emulated machine: %s" % problem)
        return 1
    judge = Judge("SMM drivers in OVMF")
    boot = machine.boot("smm-drivers", ["FirmwareHarness.efi smm-drivers"])
    if not judge.boot_completed(boot):
        return judge.finish(machine)

    fan = check_start(judge, boot, args.images, "FanControlSmm")
    if fan is not None:
        callbacks = [r for r in fan if r.kind == "smm" and r["op"] == "callback"]
        judge.check(len(callbacks) == 1 and callbacks[0]["image"] == "smm-copy"
                    and callbacks[0]["function"] == "smm-copy"
                    and callbacks[0]["makelast"] == "0" and callbacks[0]["fpsave"] == "0"
                    and callbacks[0]["insmm"] == "1" and callbacks[0].number("status") == 0,
                    "FanControlSmm: one SMI callback of the SMM copy, registered inside SMM, "
                    "not last, without floating-point save", repr(callbacks))
    status = check_start(judge, boot, args.images, "FingerprintStatusSmm")
    if status is not None:
        registrations = [r for r in status if r.kind == "smm" and r["op"] == "swregister"]
        judge.equal([(r.number("value"), r["function"], r["insmm"]) for r in registrations],
                    [(0x534D8420, "smm-copy", "1"), (0x534D8920, "smm-copy", "1"),
                     (0x534D1020, "smm-copy", "1")],
                    "FingerprintStatusSmm: three software SMIs of the SMM copy, in order")

    # The timer callback on this machine: the SMI registers at 0xFED80291/0xFED80297 read as
    # 0 (nothing backs the FCH block), so no SMI is the timer's and the callback must return
    # EFI_HANDLER_SUCCESS after its two status reads.
    answers = {r.number("address"): r.number("value") for r in boot.of_kind("mmio", tag="answer")}
    timer_status = answers[0xFED80297] & answers[0xFED80291] & 0x80
    print("      machine answers: SMI register 0x97 %#04x, 0x91 %#04x; PM1 control %s"
          % (answers[0xFED80297], answers[0xFED80291],
             boot.of_kind("io", tag="answer")[0]["value"]))
    periodic = boot.of_kind("smi", kind="periodic")
    judge.premise(timer_status == 0, "the timer status reads clear on this machine")
    judge.equal([(r["index"], r.number("status", "skipped")) for r in periodic], [("0", 0), ("0", 0)],
                "FanControlSmm: two SMIs, its callback returns EFI_HANDLER_SUCCESS each time")

    check_status_answers(judge, boot)
    return judge.finish(machine)


if __name__ == "__main__":
    sys.exit(main())
