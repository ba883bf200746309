#!/usr/bin/env python3
"""FingerprintAuthDxe inside OVMF, started the way a platform starts it: the harness hands
NotebookDrivers.fv to the DXE core and OVMF's own dispatcher loads and starts the driver from its
file (round 1); the driver finds its legacy module section through the Framework volume protocol
on the device handle and file node the core gave it. The harness then calls
FINGERPRINT_AUTH_PROTOCOL as the setup engine does (a boot run), with a reader, one locked SATA
drive and the legacy fingerprint module played in 64-bit code behind FarCall86; the machine has
a display controller (std VGA) for the driver to hand over.

Boot 1: the finger is read (the module delivers the user password), the drive's password is not
known yet: the prompt comes up on the serial console, a wrong password typed there is refused,
the right one opens the drive, the module is given it to store and the drive map
"FpHdp2HdpMapFlag" is written. Boot 2, same variable store: the drive sits on another SATA
channel; the finger alone must open it through the remembered slot, with no prompt, and the map
must follow the drive to its new number. In both runs 0x30000..0x7FFFF, reserved and filled with
a pattern by the harness, must be given back byte for byte."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ovmf_machine import (Judge, Machine, SetupError, check_dispatched_image, differences,
                          standard_arguments)

DRIVE_SERIAL = b"FWHARNESS-DRIVE-0001"
USER_VERIFIED, CONSOLE_RESTORED, READER_FOUND = 0x40000000, 0x4, 0x2
PROMPT = "missing Hard Disk Password for SATA Drive: "
HALTED = "Fatal Error... System Halted"  # the driver's halt: no run here may end there
WRONG, RIGHT = "nope", "diskpw"
WINDOW_BASE, WINDOW_SIZE = 0x30000, 0x50000  # the low-memory window the module's run owns


def crc16_xmodem(data):
    crc = 0
    for byte in data:
        for bit in range(7, -1, -1):
            crc = ((crc << 1) & 0xFFFF) ^ (0x1021 if ((crc >> 15) ^ (byte >> bit)) & 1 else 0)
    return crc


def drive_map(entries):
    """50 bytes: valid, not dirty, six 8-byte entries {drive number: slot byte offset}."""
    data = bytearray(50)
    data[0] = 1
    crc = crc16_xmodem(DRIVE_SERIAL)
    for number, slot_offset in entries.items():
        entry = 2 + 8 * number
        data[entry:entry + 2] = crc.to_bytes(2, "little")
        data[entry + slot_offset] = 1
    return bytes(data)


def console_text(boot):
    """What the serial console showed apart from the harness's own lines."""
    return "\n".join(line.split("@fw ", 1)[0] for line in boot.lines)


def check_run(judge, boot, images, expect):
    name = boot.name
    # The driver as a platform starts it: dispatched by the DXE core in round 1.
    record = check_dispatched_image(judge, boot.of_kind("dispatched", round="1"), images,
                                    "FingerprintAuthDxe")
    if record is None:
        return
    judge.check(boot.of_kind("resident", round="1", name="FingerprintAuthDxe", loaded="1"),
                "%s: entry point succeeds (the core keeps the driver loaded)" % name)
    protocol = boot.of_kind("protocol", name="fingerprint-auth")
    judge.check(protocol and protocol[0].number("status") == 0
                and protocol[0]["function"] == "in-dispatched-image",
                "%s: FINGERPRINT_AUTH_PROTOCOL installed, pointing into the image" % name,
                repr(protocol))
    # The module section, found by the handle and the file node the core gave the driver: every
    # read through the Framework volume protocol names the driver's own file, and one of them
    # delivers a freeform section.
    reads = boot.of_kind("fvlayer", op="readsection")
    judge.check(reads and all(r["file"] == record["file"] for r in reads)
                and any(r["type"] == "0x18" and r.number("status") == 0 for r in reads),
                "%s: reads its module section from its own file through the Framework volume "
                "protocol on its device handle" % name, repr(reads))
    if not judge.premise(len(boot.of_kind("auth")) == 1,
                         "%s: the harness ran one authentication" % name):
        return

    # The run and its verdict.
    auth = boot.of_kind("auth")
    judge.equal(auth[0].number("status"), 0, "%s: run status" % name)
    judge.equal(auth[0].number("authflags"), USER_VERIFIED | CONSOLE_RESTORED,
                "%s: verdict: user password verified by the finger, console restored" % name)
    judge.equal(auth[0].number("controlflags"), READER_FOUND, "%s: reader found" % name)
    window = boot.of_kind("window", op="check")
    judge.premise(window and (window[0].number("base"), window[0].number("size"))
                  == (WINDOW_BASE, WINDOW_SIZE),
                  "%s: the harness filled 0x30000..0x7FFFF with its pattern" % name, repr(window))
    judge.check(window and window[0].number("mismatches") == 0,
                "%s: 0x30000..0x7FFFF given back byte for byte" % name, repr(window))

    # The module: its side of the contract on every call, the requests in order.
    modules = boot.of_kind("module")
    judge.equal([m["contract"] for m in modules], ["ok"] * len(modules),
                "%s: every module call keeps the host's contract (entry, DS:BX, block header, "
                "module image at 0x40000, the rest of the window zero, reader descriptor, USB "
                "data copy)" % name)
    judge.equal([(m.number("request"), m.number("answer"), m["stored"]) for m in modules],
                expect["requests"], "%s: module requests, answers and stored slots" % name)
    # The display controller is handed over for the fingerprint request and comes back.
    gop_before = boot.of_kind("display", tag="before")[0].number("gop")
    gop_after = boot.of_kind("display", tag="after")[0].number("gop")
    request0 = [m for m in modules if m.number("request") == 0]
    judge.check(request0 and request0[0].number("gop") < gop_before and gop_after == gop_before,
                "%s: display controller disconnected during the fingerprint request and "
                "connected again" % name,
                "graphics outputs %d before, %s during, %d after" % (
                    gop_before, [m["gop"] for m in request0], gop_after))
    judge.equal([r.number("enable") for r in boot.of_kind("usb", op="switch")], [1, 0],
                "%s: USB stack switched over for the request and back" % name)
    judge.equal([r.number("mode") for r in boot.of_kind("console", op="setmode")], [0],
                "%s: console control set to text once" % name)
    judge.equal([r.number("code") for r in boot.of_kind("query")], [2],
                "%s: the setup engine is asked only whether to go on" % name)

    # The drive.
    # The drive stand-in starts locked and opens only for an accepted verify of its password.
    judge.premise(boot.of_kind("drive", tag="before", locked="1"),
                  "%s: the drive is locked before the run" % name)
    verifies = boot.of_kind("hdd", op="verify")
    judge.check([(v["drive"], v.number("type"), v.number("number"), v["serial"], v["padding"],
                  v["password"], v.number("status") == 0) for v in verifies] == expect["verifies"]
                and boot.of_kind("drive", tag="after", locked="0"),
                "%s: drive password checks, the last one opening the drive" % name,
                "%r, after the run %r" % (verifies, boot.of_kind("drive", tag="after")))

    # The console: prompts as expected, the typed passwords never shown.
    text = console_text(boot)
    judge.equal(text.count(PROMPT + str(expect["drive_number"])), expect["prompts"],
                "%s: hard-disk password prompts on the serial console" % name)
    judge.equal(text.count("Password Incorrect.  Try again."), expect["incorrect"],
                "%s: 'Password Incorrect' shown" % name)
    judge.check(WRONG not in text and RIGHT not in text,
                "%s: typed passwords never appear on the console" % name)


def check_variables(judge, boot, tag, expected, premise=False):
    """The variables under tag as expected (None: absent); premise=True when the harness set
    them up itself."""
    judged = judge.premise if premise else judge.check
    for name, value in expected.items():
        record, data = boot.variable(tag, name)
        if value is None:
            judged(record is not None and record.number("status") == 0x800000000000000E,
                        "%s: %s: %s absent" % (boot.name, tag, name), repr(record))
        else:
            attributes, data_expected = value
            judged(record is not None and record.number("status") == 0
                   and record.number("attributes") == attributes and data == data_expected,
                        "%s: %s: %s" % (boot.name, tag, name),
                        "%r %s" % (record, differences(data, data_expected)))


def main():
    args = standard_arguments(__doc__)
    files = [args.volume, args.harness]
    try:
        machine = Machine(args.work, files, devices=["-device", "VGA"])
    except SetupError as problem:
        print("cannot start the emulated machine: %s" % problem)
        return 1
    judge = Judge("FingerprintAuthDxe in OVMF")

    first = machine.boot("first-boot", ["FirmwareHarness.efi fingerprint-first-boot"],
                         keys=[(PROMPT, 1, WRONG + "\r"), (PROMPT, 2, RIGHT + "\r")],
                         unexpected=[HALTED])
    if judge.boot_completed(first):
        check_run(judge, first, args.images, {
            "requests": [(5, 0, "-"), (0, 0, "-"), (1, 0, "diskpw")],
            "verifies": [("ours", 0, 0, "match", "zero", WRONG, False),
                         ("ours", 1, 0, "match", "zero", WRONG, False),
                         ("ours", 0, 0, "match", "zero", RIGHT, True)],
            "drive_number": 0, "prompts": 2, "incorrect": 1})
        check_variables(judge, first, "before", {"FpHdp2HdpMapFlag": None,
                                                 "SysPwdInvalidError": None}, premise=True)
        # The map learns slot 1 (byte +4) for drive 0; "UPEKFLAG" is written 0, volatile.
        check_variables(judge, first, "after", {
            "FpHdp2HdpMapFlag": (7, drive_map({0: 4})),
            "UPEKFLAG": (6, bytes(4)),
            "SysPwdInvalidError": None,
            "Fp1820ErrorFlag": None})
        judge.check(first.of_kind("moduleslots", tag="after", mask="0x5", disk1="diskpw"),
                    "first-boot: the module holds the typed password in hard-disk slot 1")

    second = machine.boot("second-boot", ["FirmwareHarness.efi fingerprint-second-boot"],
                          unexpected=[PROMPT, HALTED])
    if judge.boot_completed(second):
        check_run(judge, second, args.images, {
            "requests": [(5, 0, "-"), (0, 0, "-")],
            "verifies": [("ours", 0, 1, "match", "zero", RIGHT, True)],
            "drive_number": 1, "prompts": 0, "incorrect": 0})
        # Kept in flash across the power cycle; the volatile "UPEKFLAG" is not.
        check_variables(judge, second, "before", {
            "FpHdp2HdpMapFlag": (7, drive_map({0: 4})),
            "UPEKFLAG": None})
        # The remembered slot follows the drive to number 1.
        check_variables(judge, second, "after", {
            "FpHdp2HdpMapFlag": (7, drive_map({1: 4})),
            "SysPwdInvalidError": None})
    return judge.finish(machine)


if __name__ == "__main__":
    sys.exit(main())
