"""What the firmware-file and volume checks share: their list of failures, GUID text, and
UEFIExtract's dump of a volume (a folder per volume, file and section, each with an info.txt of
"Key: value" lines and the item's body.bin)."""

import os
import subprocess
import uuid

# UEFIExtract's subtype names of the section types our firmware files hold.
SECTION_NAMES = {0x10: "PE32 image", 0x13: "DXE dependency", 0x15: "UI",
                 0x18: "Freeform subtype GUID"}
# A DXE volume has no volume top file; UEFIExtract says so.
HARMLESS_MESSAGES = ("not a single Volume Top File is found",)


class Failures:
    def __init__(self):
        self.items = []

    def check(self, condition, text):
        if not condition:
            self.items.append(text)
        return condition


def guid_text(raw):
    return str(uuid.UUID(bytes_le=bytes(raw))).upper()


def read_info(folder):
    """The "Key: value" lines of a dump folder's info.txt (the first value of each key), and
    all its lines under "_lines"."""
    info = {}
    with open(os.path.join(folder, "info.txt"), encoding="utf-8", errors="replace") as stream:
        lines = stream.read().splitlines()
    for line in lines:
        key, sep, value = line.partition(":")
        if sep and key.strip() not in info:
            info[key.strip()] = value.strip()
    info["_lines"] = lines
    return info


def numbered_children(folder):
    """The numbered item folders of a dump folder, in UEFIExtract's order."""
    children = []
    for entry in os.listdir(folder):
        number, _, _ = entry.partition(" ")
        if number.isdigit() and os.path.isdir(os.path.join(folder, entry)):
            children.append((int(number), os.path.join(folder, entry)))
    return [path for _, path in sorted(children)]


def dump_one_volume(uefiextract, volume_path, fail):
    """Runs UEFIExtract on the volume file (its dump goes next to it); every message but the
    harmless ones is a failure. Returns the folder of the one volume it found, or None."""
    run = subprocess.run([uefiextract, volume_path, "all"], capture_output=True, text=True,
                         cwd=os.path.dirname(volume_path), check=False)
    for message in (run.stdout + run.stderr).splitlines():
        if message.strip():
            fail.check(any(harmless in message for harmless in HARMLESS_MESSAGES),
                       f"UEFIExtract: {message}")
    dump = volume_path + ".dump"
    if not fail.check(os.path.isdir(dump), f"UEFIExtract made no dump (exit {run.returncode})"):
        return None
    volumes = numbered_children(dump)
    if not fail.check(len(volumes) == 1, f"UEFIExtract found {len(volumes)} volumes"):
        return None
    return volumes[0]
