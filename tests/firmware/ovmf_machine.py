"""Boots OVMF (the EDK II firmware for QEMU) under qemu-system-x86_64 with a FAT drive that
holds our driver images, FirmwareHarness.efi and a startup.nsh, and hands back the serial log
and the harness's "@fw" result lines.

Each boot has a time limit: when the firmware does not power off by itself in time (a driver
hangs, the harness halts, the shell never starts), QEMU is killed and the boot counts as
failed. A firmware exception report on the serial console ends the boot at once.

Needs the Debian packages qemu-system-x86 and ovmf (python3 standard library only).
"""
import os
import re
import shutil
import struct
import subprocess
import threading
import time

# OVMF code and variable-store templates, in order of preference (the 4 MiB pair is the one
# current Debian ships; the 2 MiB pair is the older layout). FIRMWARE_OVMF_CODE and
# FIRMWARE_OVMF_VARS select another pair.
OVMF_PAIRS = [
    ("/usr/share/OVMF/OVMF_CODE_4M.fd", "/usr/share/OVMF/OVMF_VARS_4M.fd"),
    ("/usr/share/OVMF/OVMF_CODE.fd", "/usr/share/OVMF/OVMF_VARS.fd"),
]

# The shell's offer to skip startup.nsh, shown for five seconds: any key but ESC goes on at once.
STARTUP_PROMPT = "startup.nsh or any other key to continue"
# What the firmware prints when the CPU takes an exception (a driver crashed): the boot is over.
EXCEPTION_MARKERS = ("!!!! X64 Exception", "!!!! IA32 Exception", "ASSERT [")

ANSI_ESCAPE = re.compile(r"\x1b(\[[0-?]*[ -/]*[@-~]|[()][0-9A-Za-z]|[=>NOM78])")


# The firmware's exception report: the faulting instruction, and the image it lies in.
EXCEPTION_RIP = re.compile(r"^RIP\s+-\s+([0-9A-Fa-f]+)")
EXCEPTION_IMAGE = re.compile(r"Find image based on IP.*ImageBase=([0-9A-Fa-f]+), "
                             r"EntryPoint=([0-9A-Fa-f]+)")


class SetupError(Exception):
    """The machine cannot be started (a package is missing): not a verdict on the drivers."""


def find_tools():
    qemu = shutil.which("qemu-system-x86_64")
    if qemu is None:
        raise SetupError("qemu-system-x86_64 not found: install the Debian package qemu-system-x86")
    code = os.environ.get("FIRMWARE_OVMF_CODE")
    variables = os.environ.get("FIRMWARE_OVMF_VARS")
    if code and variables:
        pairs = [(code, variables)]
    else:
        pairs = OVMF_PAIRS
    for code, variables in pairs:
        if os.path.isfile(code) and os.path.isfile(variables):
            return qemu, code, variables
    raise SetupError("no OVMF code/variable-store pair found (%s): install the Debian package ovmf"
                     % ", ".join(code for code, _ in pairs))


def twin_entry_points(folders):
    """{entry point RVA: [(name, twin path, link address)]} of the debug twins in folders."""
    found = {}
    for folder in folders:
        if not os.path.isdir(folder):
            continue
        for name in sorted(os.listdir(folder)):
            if name.endswith(".debug"):
                path = os.path.join(folder, name)
                with open(path, "rb") as twin:
                    data = twin.read(4096)
                pe = struct.unpack_from("<I", data, 0x3C)[0]
                entry = struct.unpack_from("<I", data, pe + 24 + 16)[0]
                found.setdefault(entry, []).append(
                    (name[:-len(".debug")], path, struct.unpack_from("<Q", data, pe + 24 + 24)[0]))
    return found


def exception_source(boot):
    """Where the firmware's exception report points, named from our debug twins: lines of
    "<image>+0x<offset>: <function> at <file>:<line>" (with the calls it is inlined into), or a
    line saying why it cannot be named."""
    rip = base = entry = None
    for line in boot.lines:
        if EXCEPTION_RIP.match(line):
            rip = int(EXCEPTION_RIP.match(line).group(1), 16)
        if EXCEPTION_IMAGE.search(line):
            base, entry = (int(v, 16) for v in EXCEPTION_IMAGE.search(line).groups())
    if rip is None or base is None:
        return ["no RIP or image base in the exception report"]
    candidates = twin_entry_points(boot.twin_folders).get(entry - base, [])
    # Several images with the same entry point: the one the harness reported at that base.
    named = {r.get("name") or r.get("image") for r in boot.records
             if r.get("base") and int(r.get("base"), 0) == base}
    candidates = [c for c in candidates if c[0] in named] or candidates
    if not candidates:
        return ["RIP %#x in the image at %#x, none of ours" % (rip, base)]
    name, twin, linked = candidates[0]
    symbolizer = shutil.which("llvm-symbolizer") or shutil.which("llvm-symbolizer-14")
    if symbolizer is None:
        return ["%s+%#x (no llvm-symbolizer to name it)" % (name, rip - base)]
    run = subprocess.run([symbolizer, "--obj=" + twin, "--inlining", hex(linked + rip - base)],
                         capture_output=True, text=True, check=False)
    answer = [line for line in run.stdout.split("\n") if line]
    # "./support/memory.cpp:41:7": the sources are named from the checkout, the column dropped.
    where = ["%s at %s" % (answer[i], re.sub(r"^\./|:\d+$", "", answer[i + 1]))
             for i in range(0, len(answer) - 1, 2)]
    if not where:
        return ["%s+%#x (no line)" % (name, rip - base)]
    return ["%s+%#x: %s" % (name, rip - base, where[0])] + ["  inlined into " + w
                                                            for w in where[1:]]


def preferred_image_base(path):
    """ImageBase from the PE32+ optional header: where the image was linked to run."""
    with open(path, "rb") as image:
        data = image.read(4096)
    pe_offset = struct.unpack_from("<I", data, 0x3C)[0]
    optional_header = pe_offset + 4 + 20
    magic = struct.unpack_from("<H", data, optional_header)[0]
    if magic != 0x20B:
        raise ValueError("%s: not a PE32+ image" % path)
    return struct.unpack_from("<Q", data, optional_header + 24)[0]


class Record:
    """One "@fw" result line: its kind and its key=value words (a note keeps its text)."""

    def __init__(self, kind, fields, text):
        self.kind = kind
        self.fields = fields
        self.text = text

    def __getitem__(self, key):
        return self.fields[key]

    def get(self, key, default=None):
        return self.fields.get(key, default)

    def number(self, key, default=None):
        """The field as a number; default (when given) for a record without it."""
        if default is not None and key not in self.fields:
            return default
        return int(self.fields[key], 0)

    def __repr__(self):
        return self.text


def parse_records(lines):
    """The "@fw" records in order. A record may follow a driver's output on the same line (a
    prompt that ends without a line break): it starts at "@fw " wherever that stands."""
    records = []
    for line in lines:
        at = line.find("@fw ")
        if at < 0:
            continue
        words = line[at + 4:].split()
        if not words:
            continue
        kind = words[0]
        fields = {}
        if kind != "note":
            for word in words[1:]:
                key, _, value = word.partition("=")
                fields[key] = value
        records.append(Record(kind, fields, line[at:]))
    return records


class Boot:
    """The outcome of one boot: serial text, lines, result records, time and how it ended."""

    def __init__(self, name, raw, seconds, ended):
        self.name = name
        self.raw = raw
        self.text = ANSI_ESCAPE.sub("", raw.decode("latin-1"))
        self.lines = [line.rstrip("\r") for line in re.split(r"\r?\n", self.text)]
        self.records = parse_records(self.lines)
        self.seconds = seconds
        self.ended = ended  # "powered-off", "timeout", "exception", "exit-<code>"
        self.twin_folders = []

    def of_kind(self, record_kind, /, **match):
        return [r for r in self.records
                if r.kind == record_kind and all(r.get(k) == v for k, v in match.items())]

    def variable(self, tag, name):
        """A variable as the harness reported it under tag: (record, bytes) or (None, None)."""
        found = self.of_kind("var", tag=tag, name=name)
        if not found:
            return None, None
        record = found[-1]
        data = bytearray()
        for line in self.of_kind("data", tag=tag, name=name):
            offset = line.number("offset")
            chunk = bytes.fromhex(line["bytes"]) if line["bytes"] != "-" else b""
            if offset != len(data):
                raise ValueError("%s: data of %s/%s out of order at %#x" % (self.name, tag, name,
                                                                           offset))
            data += chunk
        return record, bytes(data)

    def dmpstore(self, name):
        """The shell's dmpstore dump of one variable: (attribute text, bytes) or (None, None)."""
        header = re.compile(r"^Variable (\S+) '[0-9A-Fa-f-]+:%s' DataSize = (0x[0-9A-Fa-f]+)$"
                            % re.escape(name))
        row = re.compile(r"^  ([0-9A-F]{8}): ((?:[0-9A-F]{2}[ -]){0,15}[0-9A-F]{2})")
        for index, line in enumerate(self.lines):
            match = header.match(line)
            if not match:
                continue
            size = int(match.group(2), 16)
            data = bytearray()
            for following in self.lines[index + 1:]:
                cells = row.match(following)
                if not cells:
                    break
                data += bytes.fromhex(cells.group(2).replace("-", " "))
            if len(data) != size:
                raise ValueError("%s: dmpstore of %s shows %d of %d bytes" % (self.name, name,
                                                                              len(data), size))
            return match.group(1), bytes(data)
        return None, None


class Machine:
    """One emulated machine: a FAT drive directory and a variable store that lives as long as
    the machine, so that a second boot sees what the first one stored."""

    def __init__(self, work_dir, files, boot_timeout=None, devices=()):
        self.qemu, self.code, variables_template = find_tools()
        self.work_dir = work_dir
        if os.path.isdir(work_dir):
            shutil.rmtree(work_dir)
        self.drive = os.path.join(work_dir, "drive")
        os.makedirs(self.drive)
        for path in files:
            shutil.copy(path, self.drive)
        # A fresh copy of the variable-store template: the firmware writes into it.
        self.variables = os.path.join(work_dir, "OVMF_VARS.fd")
        shutil.copy(variables_template, self.variables)
        self.boot_timeout = boot_timeout or float(os.environ.get("FIRMWARE_BOOT_TIMEOUT", "120"))
        self.boots = []
        # Where the debug twins of the images on the drive are: beside each file (the drivers'
        # beside the volume).
        self.twin_folders = sorted({os.path.dirname(os.path.abspath(path)) for path in files})
        # Extra QEMU device options (for example a display controller).
        self.devices = list(devices)

    def command(self):
        return [
            self.qemu,
            "-machine", "q35",
            "-accel", "tcg",
            "-m", "256",
            "-nodefaults",  # no network (no PXE wait), no VGA, only what is listed here
            "-display", "none",
            "-serial", "stdio",
            "-no-reboot",
            "-drive", "if=pflash,format=raw,unit=0,readonly=on,file=" + self.code,
            "-drive", "if=pflash,format=raw,unit=1,file=" + self.variables,
            # The drive is read-only for the guest: nothing the firmware does can change the
            # build tree.
            "-drive", "if=virtio,format=raw,readonly=on,file=fat:" + self.drive,
        ] + self.devices

    def boot(self, name, shell_lines, keys=(), unexpected=()):
        """Boots once with startup.nsh holding shell_lines (then "reset -s" to power off).

        keys: (text, count, typed) in order: once the serial console has shown text count
        times, typed is sent to the serial input (the firmware's console input).
        unexpected: texts that must not appear; one that does ends the boot at once."""
        script = "\r\n".join(["@echo -off", "fs0:"] + list(shell_lines) + ["reset -s", ""])
        with open(os.path.join(self.drive, "startup.nsh"), "w", newline="") as nsh:
            nsh.write(script)

        start = time.monotonic()
        process = subprocess.Popen(self.command(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, cwd=self.work_dir)
        output = bytearray()
        lock = threading.Lock()

        def read():
            while True:
                chunk = os.read(process.stdout.fileno(), 4096)
                if not chunk:
                    return
                with lock:
                    output.extend(chunk)

        reader = threading.Thread(target=read, daemon=True)
        reader.start()

        ended = None
        key_sent = False
        pending_keys = list(keys)
        exception_seen_at = None
        while ended is None:
            if process.poll() is not None:
                ended = "powered-off" if process.returncode == 0 else "exit-%d" % process.returncode
                break
            now = time.monotonic()
            with lock:
                seen = ANSI_ESCAPE.sub("", output.decode("latin-1"))
            if not key_sent and STARTUP_PROMPT in seen:
                # Skip the five-second wait before startup.nsh.
                process.stdin.write(b"\r")
                process.stdin.flush()
                key_sent = True
            if key_sent and pending_keys and seen.count(pending_keys[0][0]) >= pending_keys[0][1]:
                process.stdin.write(pending_keys.pop(0)[2].encode("ascii"))
                process.stdin.flush()
            if any(text in seen for text in unexpected):
                ended = "unexpected-output"
                continue
            if exception_seen_at is None and any(m in seen for m in EXCEPTION_MARKERS):
                exception_seen_at = now
            if exception_seen_at is not None and now - exception_seen_at > 2.0:
                ended = "exception"
            elif now - start > self.boot_timeout:
                ended = "timeout"
            if ended is None:
                time.sleep(0.05)
        if process.poll() is None:
            process.kill()
            process.wait()
        reader.join(timeout=5)
        seconds = time.monotonic() - start

        with open(os.path.join(self.work_dir, name + ".log"), "wb") as log:
            log.write(output)
        result = Boot(name, bytes(output), seconds, ended)
        result.twin_folders = self.twin_folders
        self.boots.append(result)
        return result


class Judge:
    """Collects the verdicts of one firmware test and prints them; exit status 1 on a fault.

    A check judges what the firmware or a driver did. A premise only describes the set-up the
    checks stand on (what the harness itself stored, installed or called, what the machine
    answers): it is printed as such and not counted, but a premise that does not hold fails the
    test, since the checks after it would judge a different set-up."""

    def __init__(self, title):
        self.title = title
        self.failures = 0
        self.checks = 0
        self.premises = 0
        self.broken_premises = 0

    def check(self, condition, what, detail=""):
        self.checks += 1
        if condition:
            print("ok    %s" % what)
        else:
            self.failures += 1
            print("FAIL  %s%s" % (what, (": " + detail) if detail else ""))
        return condition

    def equal(self, actual, expected, what):
        return self.check(actual == expected, what,
                          "got %s, expected %s" % (show(actual), show(expected)))

    def premise(self, condition, what, detail=""):
        self.premises += 1
        if condition:
            print("set   %s" % what)
        else:
            self.broken_premises += 1
            print("UNSET %s%s" % (what, (": " + detail) if detail else ""))
        return condition

    def boot_completed(self, boot):
        """The boot reached the shell, ran the harness to its end and powered off (a driver
        that crashes, halts or hangs ends the boot otherwise)."""
        ok = self.check(boot.ended == "powered-off", "%s: firmware powered off by itself"
                        % boot.name, "ended by %s after %.1f s" % (boot.ended, boot.seconds))
        ends = boot.of_kind("end")
        ok &= self.check(len(boot.of_kind("begin")) == 1 and len(ends) == 1,
                         "%s: harness ran from begin to end" % boot.name,
                         "%d begin, %d end lines" % (len(boot.of_kind("begin")), len(ends)))
        if boot.ended == "exception":
            # The firmware's exception report names the faulting image and its load address;
            # our debug twins name the function, file and line.
            for line in boot.lines:
                if line.startswith("!!!!") or line.startswith("RIP"):
                    print("      " + line)
            for line in exception_source(boot):
                print("      source: " + line)
        print("      %s took %.1f s (log: %s.log)" % (boot.name, boot.seconds, boot.name))
        return ok

    def finish(self, machine):
        total = sum(boot.seconds for boot in machine.boots)
        print("%s: %d checks, %d failed; %d premises, %d not holding; %d boot(s), %.1f s in the "
              "firmware" % (self.title, self.checks, self.failures, self.premises,
                            self.broken_premises, len(machine.boots), total))
        if self.failures or self.broken_premises:
            print("serial logs in %s" % machine.work_dir)
        return 1 if self.failures or self.broken_premises else 0


def show(value):
    if isinstance(value, (bytes, bytearray)):
        return value.hex()
    if isinstance(value, int):
        return hex(value)
    return repr(value)


def status_text(value):
    return "0x%X" % value


EFI_BOOT_SERVICES_CODE = 3
EFI_BOOT_SERVICES_DATA = 4


def check_loaded_as_driver(judge, loads, image_path):
    """Each load of the image through the firmware's LoadImage succeeded, the firmware placed it
    as the boot-service driver its subsystem says (code and data of the boot-service types) and
    at an address other than its link address, so its base relocations were applied."""
    linked_at = preferred_image_base(image_path)
    name = os.path.splitext(os.path.basename(image_path))[0]
    for number, load in enumerate(loads, 1):
        what = "%s load %d" % (name, number)
        if not judge.equal(load.number("status"), 0, what + ": LoadImage status"):
            continue
        judge.check(load.number("codetype") == EFI_BOOT_SERVICES_CODE
                    and load.number("datatype") == EFI_BOOT_SERVICES_DATA,
                    what + ": firmware placed it as a boot-service driver",
                    "code type %s, data type %s" % (load["codetype"], load["datatype"]))
        base = load.number("base")
        judge.check(base != linked_at and base % 4096 == 0,
                    what + ": relocated by the firmware",
                    "loaded at %#x, linked at %#x" % (base, linked_at))
        judge.premise(load["parent"] == "harness",
                      what + ": loaded by the harness's own LoadImage call",
                      "parent %s" % load["parent"])


def file_guid(path):
    """A firmware file's name (its first 16 bytes), as the GUID text the harness prints."""
    with open(path, "rb") as stream:
        raw = stream.read(16)
    a, b, c = struct.unpack_from("<IHH", raw)
    tail = raw[8:].hex().upper()
    return "%08X-%04X-%04X-%s-%s" % (a, b, c, tail[:4], tail[4:])


def check_dispatched_image(judge, records, images, name):
    """The one image the DXE core loaded from the volume for the driver: the core is its parent
    (the image holding the code of Dispatch), the volume's handle its device, the node of its
    own firmware file its path; the core placed it as a boot-service driver and relocated it.
    The record is the harness's report of the loaded-image protocol as the core installed it."""
    guid = file_guid(os.path.join(images, name + ".ffs"))
    mine = [r for r in records if r["name"] == name]
    if not judge.check(len(mine) == 1 and mine[0]["parent"] == "dxe-core"
                       and mine[0]["device"] == "volume" and mine[0]["file"] == guid
                       and mine[0]["filepath"] == "fvfile:" + guid,
                       "%s: loaded by the DXE core from its file in the volume: the volume's "
                       "handle as device, the firmware-file node as path" % name, repr(mine)):
        return None
    record = mine[0]
    base = record.number("base")
    linked = preferred_image_base(os.path.join(images, name + ".efi"))
    judge.check(record.number("codetype") == EFI_BOOT_SERVICES_CODE
                and record.number("datatype") == EFI_BOOT_SERVICES_DATA
                and base % 4096 == 0 and base != linked,
                "%s: placed as a boot-service driver and relocated by the core" % name,
                "%s, linked at %#x" % (record, linked))
    return record


def replaced(data, changes):
    """data with the bytes at the given offsets replaced."""
    result = bytearray(data)
    for offset, value in changes.items():
        result[offset] = value
    return bytes(result)


def differences(actual, expected):
    """Offsets where two byte strings differ, for a readable failure."""
    if actual is None or expected is None:
        return "missing"
    if len(actual) != len(expected):
        return "size %d, expected %d" % (len(actual), len(expected))
    offsets = [i for i in range(len(actual)) if actual[i] != expected[i]]
    return ", ".join("[%#x] %02x (expected %02x)" % (i, actual[i], expected[i])
                     for i in offsets[:12]) + (" ..." if len(offsets) > 12 else "")


def standard_arguments(description):
    import argparse
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--images", required=True, help="folder of the built driver images")
    parser.add_argument("--harness", required=True, help="FirmwareHarness.efi")
    parser.add_argument("--work", required=True, help="folder for the drive, store and logs")
    parser.add_argument("--volume", help="the firmware volume of all five drivers")
    return parser.parse_args()
