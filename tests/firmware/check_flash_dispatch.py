#!/usr/bin/env python3
"""Our drivers in a real flash image: OVMF's own DXE core dispatches them from its flash.

tools/ffs/insert_ffs.py inserts the five firmware files of NotebookDrivers.fv into Debian's OVMF
code image (the one the other checks boot): into its DXE volume, which OVMF keeps as a volume
image section inside an LZMA-compressed GUID-defined section of FVMAIN_COMPACT. UEFIExtract reads
the written image and must find the five files there, whole, with valid checksums, in the DXE
volume (the one with the DXE core) under the LZMA section.

The machine then boots that image twice on one variable store. The harness dispatches nothing and
loads nothing: it reads from the shell what the firmware left, the driver files in the volumes the
core published and the loaded-image protocols whose path is one of those files.

- Boot 1 (fresh store): the core has started FingerprintAuthDxe from the flash volume (parent
  the DXE core, device the volume's handle, path the firmware-file node), and its protocol points
  into that image. SetupHwSyncDxe's entry point finds no "Setup" and fails, so no image of it is
  left; the harness then stores "Setup" with both strap latches set.
- Boot 2: the core has started SetupHwSyncDxe as well, which cleared both latches in the store
  during the DXE phase, before the shell ran.
- Both boots: PciBridgeProbeDxe (waits for the Framework boot-script protocol) and both SMM
  drivers (wait for the Framework SMM base protocol) are in the volume but never started: OVMF
  offers neither protocol.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from ovmf_machine import (EFI_BOOT_SERVICES_CODE, EFI_BOOT_SERVICES_DATA, Judge,  # noqa: E402
                          Machine, SetupError, file_guid, preferred_image_base)

INSERT_TOOL = os.path.join(HERE, "..", "..", "tools", "ffs", "insert_ffs.py")
LZMA_SECTION_GUID = "EE4E5898-3914-4259-9D6E-DC7BD79403CF"
DRIVERS = ["FingerprintAuthDxe", "SetupHwSyncDxe", "PciBridgeProbeDxe", "FanControlSmm",
           "FingerprintStatusSmm"]
# What OVMF's core can start: the others wait for Framework protocols OVMF never installs.
STARTS = {"flash-first-boot": ["FingerprintAuthDxe"],
          "flash-second-boot": ["FingerprintAuthDxe", "SetupHwSyncDxe"]}
OPTION_STRAP_LATCH, COM2_STRAP_LATCH = 0x28D, 0x28E


def read_info(folder):
    info = {}
    with open(os.path.join(folder, "info.txt"), encoding="utf-8", errors="replace") as stream:
        for line in stream:
            key, sep, value = line.partition(":")
            if sep and key.strip() not in info:
                info[key.strip()] = value.strip()
    return info


def check_with_uefiextract(judge, uefiextract, image, guids, images):
    """UEFIExtract's reading of the written image: our five files whole in one volume, the DXE
    volume, under the LZMA section. Returns that volume's GUID and the DXE core's file GUID
    (None when not found)."""
    with tempfile.TemporaryDirectory() as work:
        copy = os.path.join(work, "image.fd")
        shutil.copy(image, copy)
        run = subprocess.run([uefiextract, copy, "all"], capture_output=True, text=True,
                             cwd=work, check=False)
        messages = [line for line in (run.stdout + run.stderr).splitlines() if line.strip()]
        judge.check(run.returncode == 0 and not messages,
                    "UEFIExtract reads the written image without a complaint",
                    "exit %d: %s" % (run.returncode, "; ".join(messages[:5])))
        found = {}
        for root, _, names in os.walk(copy + ".dump"):
            if "info.txt" in names:
                info = read_info(root)
                if info.get("Type") == "File" and info.get("File GUID") in guids.values():
                    found[info["File GUID"]] = (root, info)
        volumes = set()
        for name, guid in guids.items():
            if not judge.check(guid in found, "UEFIExtract finds %s (%s)" % (name, guid)):
                continue
            folder, info = found[guid]
            volume = os.path.dirname(folder)
            volumes.add(volume)
            with open(os.path.join(folder, "header.bin"), "rb") as header, \
                    open(os.path.join(folder, "body.bin"), "rb") as body:
                stored = header.read() + body.read()
            with open(os.path.join(images, name + ".ffs"), "rb") as stream:
                ffs = stream.read()
            expected = ffs[:23] + bytes([~ffs[23] & 0xFF]) + ffs[24:]
            judge.check(info.get("Text") == name and stored == expected
                        and info.get("Header checksum", "").endswith(", valid")
                        and info.get("Data checksum", "").endswith(", valid"),
                        "%s: named, checksums valid, byte for byte %s.ffs (State stored "
                        "inverted)" % (name, name), "%s, %d bytes" % (info, len(stored)))
        if not judge.check(len(volumes) == 1, "the five files sit in one volume",
                           repr(sorted(volumes))):
            return None
        volume = volumes.pop()
        siblings = [read_info(os.path.join(volume, entry)) for entry in os.listdir(volume)
                    if os.path.isfile(os.path.join(volume, entry, "info.txt"))]
        cores = [info.get("File GUID") for info in siblings if info.get("Subtype") == "DXE core"]
        if not judge.check(len(cores) == 1, "that volume is the DXE volume: it holds the DXE core",
                           repr(cores)):
            return None
        judge.check(LZMA_SECTION_GUID in os.path.relpath(volume, copy + ".dump"),
                    "that volume sits under the LZMA-compressed section, as OVMF keeps it",
                    os.path.relpath(volume, copy + ".dump"))
        return read_info(volume).get("Volume GUID"), cores[0]


def check_boot(judge, boot, images, guids, volume_guid, core_guid):
    if not judge.boot_completed(boot):
        return
    judge.check(not boot.of_kind("load") and not boot.of_kind("dispatch")
                and not boot.of_kind("dispatched"),
                "%s: the harness loaded and dispatched nothing" % boot.name)
    files = boot.of_kind("flashfile")
    judge.equal(sorted((r["name"], r["file"], r["volume"]) for r in files),
                sorted((name, guid, "fvvol:" + volume_guid) for name, guid in guids.items()),
                "%s: the firmware publishes our five driver files, in its DXE volume %s"
                % (boot.name, volume_guid))
    started = STARTS[boot.name]
    judge.equal({r["name"]: r["loaded"] for r in files},
                {name: "1" if name in started else "0" for name in guids},
                "%s: the core left an image of %s and none of the drivers whose dependencies "
                "it never meets" % (boot.name, " and ".join(started)))
    for name in started:
        image = [r for r in boot.of_kind("flashimage") if r["name"] == name]
        if not judge.check(len(image) == 1, "%s: one image of %s" % (boot.name, name),
                           repr(image)):
            continue
        record = image[0]
        judge.check(record["parent"] == "dxe-core"
                    and record["parentpath"] == "fvfile:" + core_guid
                    and record["samevolume"] == "1"
                    and record["device"] == "fvvol:" + volume_guid
                    and record["filepath"] == "fvfile:" + guids[name],
                    "%s: %s started by the DXE core (the image of flash file %s holding the "
                    "core's Dispatch) from its file in the flash volume: the volume's handle as "
                    "device, the firmware-file node as path" % (boot.name, name, core_guid),
                    repr(record))
        base = record.number("base")
        linked = preferred_image_base(os.path.join(images, name + ".efi"))
        judge.check(record.number("codetype") == EFI_BOOT_SERVICES_CODE
                    and record.number("datatype") == EFI_BOOT_SERVICES_DATA
                    and base % 4096 == 0 and base != linked,
                    "%s: %s placed as a boot-service driver and relocated by the core"
                    % (boot.name, name), "%s, linked at %#x" % (record, linked))
    protocol = boot.of_kind("protocol", name="fingerprint-auth")
    judge.check(protocol and protocol[0].number("status") == 0
                and protocol[0]["function"] == "in-flash-image",
                "%s: FINGERPRINT_AUTH_PROTOCOL installed, pointing into the image the core "
                "started from flash" % boot.name, repr(protocol))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--images", required=True, help="folder of the built driver images")
    parser.add_argument("--harness", required=True, help="FirmwareHarness.efi")
    parser.add_argument("--work", required=True, help="folder for the drive, store and logs")
    parser.add_argument("--uefiextract", required=True, help="UEFIExtract")
    args = parser.parse_args()
    if not os.path.isfile(args.uefiextract):
        print("FAIL: UEFIExtract not found at %r (Debian package uefitool-cli)" % args.uefiextract)
        return 1
    try:
        machine = Machine(args.work, [args.harness])
    except SetupError as problem:
        print("cannot start the emulated machine: %s" % problem)
        return 1
    judge = Judge("our drivers dispatched from OVMF's flash")
    guids = {name: file_guid(os.path.join(args.images, name + ".ffs")) for name in DRIVERS}

    inserted = os.path.join(args.work, "OVMF_CODE_with_notebook_drivers.fd")
    run = subprocess.run([sys.executable, INSERT_TOOL, machine.code, "--output", inserted,
                          "--images", args.images], capture_output=True, text=True, check=False)
    for line in (run.stdout + run.stderr).splitlines():
        print("      insert_ffs: " + line)
    if not judge.check(run.returncode == 0 and os.path.isfile(inserted),
                       "insert_ffs.py writes OVMF's code image with our five files",
                       "exit %d" % run.returncode):
        return judge.finish(machine)
    judge.check(os.path.getsize(inserted) == os.path.getsize(machine.code),
                "the new image has the size of the flash it replaces")
    found = check_with_uefiextract(judge, args.uefiextract, inserted, guids, args.images)
    if found is None:
        return judge.finish(machine)
    volume_guid, core_guid = found
    machine.code = inserted

    first = machine.boot("flash-first-boot", ["FirmwareHarness.efi flash-first-boot"])
    check_boot(judge, first, args.images, guids, volume_guid, core_guid)
    found, _ = first.variable("found", "Setup")
    judge.premise(found is not None and found.number("status") != 0,
                  "flash-first-boot: the fresh store holds no Setup (SetupHwSyncDxe's entry "
                  "point fails and the core unloads it)", repr(found))
    _, stored = first.variable("stored", "Setup")
    judge.premise(stored is not None and len(stored) == 662 and stored[OPTION_STRAP_LATCH] != 0
                  and stored[COM2_STRAP_LATCH] != 0,
                  "flash-first-boot: the harness stored Setup with both strap latches set")

    second = machine.boot("flash-second-boot", ["FirmwareHarness.efi flash-second-boot"])
    check_boot(judge, second, args.images, guids, volume_guid, core_guid)
    _, after = second.variable("after", "Setup")
    judge.check(after is not None and len(after) == 662 and after[OPTION_STRAP_LATCH] == 0
                and after[COM2_STRAP_LATCH] == 0,
                "flash-second-boot: SetupHwSyncDxe, started from flash during the DXE phase, "
                "cleared both latches in the firmware's store before the shell ran",
                "Setup: %s" % (after.hex() if after else None))
    return judge.finish(machine)


if __name__ == "__main__":
    sys.exit(main())
