#!/usr/bin/python3
"""Proves that tools/ffs/insert_ffs.py puts our firmware files into flash images of the layouts
platforms use, and refuses, without writing anything, the images it must not change.

    check_insert_ffs.py <UEFIExtract> <images dir> <driver>...

The flash images are made here, small but of real layouts: a DXE volume (FFS2, a DXE core file
and a driver of the platform, free space) in a volume image section inside an LZMA-compressed
GUID-defined section of a firmware-volume-image file in an outer volume (as OVMF's
FVMAIN_COMPACT), with erased regions and other data around it as in a whole flash; the DXE
volume alone with erase polarity 0; two DXE volumes.

Accepted, each output read by UEFIExtract (every file found with valid checksums, no complaint it
does not make about the image given) and by this check's own reading (the new files byte for byte
with State stored for the volume's erase polarity, at 8-byte-aligned offsets, their data on the
boundary they ask for, the old files where they were, the free space erased, the LZMA header's
size the decompressed size, every byte outside the changed volume as it was): all drivers, all
drivers where the compressed volume's file carries the checksum attribute, a named subset, a
file asking for 4 KiB data alignment, the volume chosen by --volume.

Refused with a message saying why, exit code 1 and no output file: no room in the DXE volume, no
room for the grown compressed file, a file GUID already in the image, a file given twice, a
damaged input file, a data alignment larger than the volume's own, the DXE volume under a
GUID-defined section it does not open, no volume at all, two DXE volumes without --volume,
written bytes in the free space, the compressed section followed by another section of its
file, a damaged LZMA stream. Faults planted in the tool's own rebuilding (a wrong uncompressed
size in the LZMA header, a file checksum left stale) must be caught by its read-back before
anything is written.
"""

import lzma
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import uuid

from rejects import Judge

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.join(HERE, "..", "..", "tools", "ffs")
TOOL = os.path.join(TOOLS, "insert_ffs.py")
sys.path.insert(0, TOOLS)

import flash_image  # noqa: E402
import insert_ffs  # noqa: E402

FFS2 = uuid.UUID("8C8CE578-8A3D-4F1C-9935-896185C32DD3").bytes_le
LZMA_GUID = "EE4E5898-3914-4259-9D6E-DC7BD79403CF"
OTHER_GUIDED = "A31280AD-481E-41B6-95E8-127F4C984779"  # EFI standard ("Tiano") compression
DXE_VOLUME = "9A3B1C2D-0E4F-4A5B-8C6D-7E8F90A1B2C3"
SECOND_VOLUME = "1F2E3D4C-5B6A-4978-8695-A4B3C2D1E0F9"
ALIGN_4K = 5 << 3


def guid(text):
    return uuid.UUID(text).bytes_le


def section(kind, payload):
    return struct.pack("<I", (4 + len(payload)) | kind << 24) + payload


def ffs(name, kind, body, checksum=True):
    """A finished firmware file (State 0x07) of the given type and sections."""
    header = bytearray(guid(name) + bytes([0, 0, kind, 0x40 if checksum else 0]))
    header += (24 + len(body)).to_bytes(3, "little") + b"\0"
    header[16] = -sum(header) & 0xFF
    header[17] = (-sum(body) & 0xFF) if checksum else 0xAA
    header[23] = 0x07
    return bytes(header) + body


def volume(files, length, polarity=1, name=None):
    """An FFS2 volume: header, an extended header naming it (in a pad file) when name is given,
    the files at 8-byte-aligned offsets, erased free space."""
    erased = 0xFF if polarity else 0x00
    # Read, write, lock, memory-mapped, placed on a 4 KiB boundary; erase polarity as asked.
    attributes = 0x000CFEFF if polarity else 0x000CF6FF
    body = bytearray(72)
    ext_offset = 0
    if name:
        ext = guid(name) + struct.pack("<I", 20)
        pad = bytearray(b"\xff" * 16 + bytes([0, 0xAA, 0xF0, 0]) + (44).to_bytes(3, "little")
                        + b"\0")
        pad[16] = -(sum(pad) - 0xAA) & 0xFF
        pad[23] = 0xF8 if polarity else 0x07
        ext_offset = 72 + 24
        body += pad + ext
    for data in files:
        body += bytes([erased]) * (-len(body) % 8)
        stored = bytearray(data)
        stored[23] = (~stored[23] & 0xFF) if polarity else stored[23]
        body += stored
    if len(body) > length:
        raise RuntimeError("test volume too small")
    body += bytes([erased]) * (length - len(body))
    struct.pack_into("<16s16sQ4sIHHHBB", body, 0, bytes(16), FFS2, length, b"_FVH", attributes,
                     72, 0, ext_offset, 0, 2)
    struct.pack_into("<IIII", body, 56, length // 0x1000, 0x1000, 0, 0)
    struct.pack_into("<H", body, 50, -sum(struct.unpack_from("<36H", body)) & 0xFFFF)
    return bytes(body)


def lzma_section(payload, section_guid=LZMA_GUID):
    stream = bytearray(lzma.compress(payload, format=lzma.FORMAT_ALONE))
    stream[5:13] = struct.pack("<Q", len(payload))
    return section(0x02, guid(section_guid) + struct.pack("<HH", 24, 1) + stream)


def platform_files():
    """The platform's own DXE core and one of its drivers (raw sections stand for their code)."""
    name = section(0x15, "DxeCore\0".encode("utf-16-le"))
    core = ffs("D6A2CB7F-6A18-4E2F-B43B-9920A733700A", 0x05,
               section(0x19, bytes(range(256)) * 8) + name)
    driver = ffs("11D92DFB-3CA9-4F93-BA2E-4780ED3E03B5", 0x07,
                 section(0x13, bytes([0x06, 0x08])) + b"\0\0" + section(0x19, b"\x4d\x5a" * 300))
    return [core, driver]


def compact_image(dxe_length=0x40000, outer_length=0x10000, extra_section=b"", guided=LZMA_GUID,
                  dxe_files=None, free_space_byte=None, damage_lzma=False, outer_checksum=False):
    """A whole flash: 4 KiB of other data, the outer volume with the compressed DXE volume, 4 KiB
    erased."""
    dxe = bytearray(volume(dxe_files if dxe_files is not None else platform_files(), dxe_length,
                           name=DXE_VOLUME))
    if free_space_byte is not None:
        dxe[-100] = free_space_byte
    inner = section(0x19, bytes(12)) + section(0x17, bytes(dxe))  # a raw pad, then the volume
    guided_section = bytearray(lzma_section(inner, guided))
    if damage_lzma:
        guided_section[40] ^= 0xFF
    wrapper = bytes(guided_section)
    body = wrapper + bytes(-len(wrapper) % 4) + extra_section if extra_section else wrapper
    outer = volume([ffs("9E21FD93-9C72-4C15-8C4B-E77F1DB2D792", 0x0B, body,
                        checksum=outer_checksum)],
                   outer_length, name="48DB5E17-707C-472D-91CD-1613E7EF51B0")
    return bytes(range(256)) * 16 + outer + b"\xff" * 0x1000


def plain_image(polarity):
    return volume(platform_files(), 0x20000, polarity=polarity, name=DXE_VOLUME)


def two_volumes():
    return (volume(platform_files(), 0x20000, name=DXE_VOLUME)
            + volume(platform_files(), 0x20000, name=SECOND_VOLUME))


def random_bytes(size):
    return bytes((index * 7919 >> 3) & 0xFF for index in range(size))


def read_volume_at_path(data, path_guids):
    """Our own reading of the written image, independent of the tool's rebuilding: the DXE
    volume (named DXE_VOLUME), its polarity, its files."""
    volumes = [node for node in flash_image.walk(flash_image.read_image(data))
               if isinstance(node, flash_image.Volume) and node.name == path_guids]
    return volumes[0] if len(volumes) == 1 else None


class Case:
    def __init__(self, label, image, names=(), options=(), expect=None, reason=None):
        self.label, self.image, self.names = label, image, list(names)
        self.options, self.expect, self.reason = list(options), expect, reason


def judge_output(original, written, inserted, volume_name, polarity):
    """Problems of a written image (empty when sound)."""
    problems = []
    if len(written) != len(original):
        problems.append(f"size {len(written)}, was {len(original)}")
    old = read_volume_at_path(original, volume_name)
    new = read_volume_at_path(written, volume_name)
    if new is None:
        return problems + ["the DXE volume is gone"]
    top_old, top_new = old.chain()[0], new.chain()[0]
    if (original[:top_old.offset] != written[:top_new.offset]
            or original[top_old.offset + top_old.length:]
            != written[top_new.offset + top_new.length:]):
        problems.append("bytes outside the changed volume differ")
    erased = 0xFF if polarity else 0x00
    if new.erased != erased:
        problems.append(f"erase polarity changed to {new.erased:#x}")
    kept = [(file.offset, file.data) for file in old.files]
    if [(file.offset, file.data) for file in new.files[:len(kept)]] != kept:
        problems.append("the volume's old files moved or changed")
    added = [file for file in new.files[len(kept):] if file.type != 0xF0]
    expected = {}
    for data in inserted:
        stored = bytearray(data)
        stored[23] = (~0x07 & 0xFF) if polarity else 0x07
        expected[flash_image.guid_text(data[:16])] = bytes(stored)
    if {file.guid: file.data for file in added} != expected:
        problems.append(f"inserted files {[file.guid for file in added]} are not the "
                        f"{len(expected)} given, stored for polarity {polarity}")
    for file in added:
        boundary = flash_image.DATA_ALIGNMENTS[(file.attributes >> 3) & 7]
        if file.offset % 8 or (file.offset + file.header_size) % boundary:
            problems.append(f"{file.guid} at 0x{file.offset:X}: data not on {boundary}")
    tail = new.data[new.free_start:]
    if tail.count(erased) != len(tail):
        problems.append("free space not erased")
    for node in new.chain():
        if isinstance(node, flash_image.Section) and node.decompressed is not None:
            size, = struct.unpack_from("<Q", node.data, node.data_offset + 5)
            if size != len(node.decompressed):
                problems.append(f"LZMA header says {size}, data is {len(node.decompressed)}")
    return problems


def uefiextract_messages(uefiextract, path):
    shutil.rmtree(path + ".dump", ignore_errors=True)
    run = subprocess.run([uefiextract, path, "all"], capture_output=True, text=True,
                         cwd=os.path.dirname(path), check=False)
    return [line for line in (run.stdout + run.stderr).splitlines() if line.strip()]


def uefiextract_problems(uefiextract, source, path, guids):
    """UEFIExtract's complaints about the written image that it does not make about the image
    given (it takes the zero-filled free space of a volume with erase polarity 0 for a file of
    size 0, whoever wrote the volume), and the given file GUIDs it does not find with valid
    checksums."""
    before = set(uefiextract_messages(uefiextract, source))
    problems = [f"UEFIExtract: {line}" for line in uefiextract_messages(uefiextract, path)
                if line not in before]
    found = {}
    for root, _, names in os.walk(path + ".dump"):
        if "info.txt" in names:
            lines = {}
            with open(os.path.join(root, "info.txt"), encoding="utf-8", errors="replace") as info:
                for line in info.read().splitlines():
                    key, sep, value = line.partition(": ")
                    if sep and key not in lines:  # "Type" comes twice: the item's, the file's
                        lines[key] = value
            if lines.get("Type") == "File":
                found[lines.get("File GUID")] = lines
    for name in guids:
        info = found.get(name)
        if info is None:
            problems.append(f"UEFIExtract does not find {name}")
        elif not (info.get("Header checksum", "").endswith(", valid")
                  and info.get("Data checksum", "").endswith(", valid")):
            problems.append(f"UEFIExtract: {name} checksums {info.get('Header checksum')}, "
                            f"{info.get('Data checksum')}")
    return problems


def planted_fault_caught(label, patch, restore, data, files):
    """Runs the tool in this process with a fault planted in its rebuilding; it must refuse."""
    patch()
    try:
        insert_ffs.insert(data, files)
    except flash_image.LayoutError as error:
        return str(error)
    finally:
        restore()
    return None


def main(argv):
    uefiextract, image_dir = argv[:2]
    drivers = argv[2:]
    judge = Judge()
    ffs_of = {}
    for name in drivers:
        with open(os.path.join(image_dir, name + ".ffs"), "rb") as stream:
            ffs_of[name] = stream.read()
    first = drivers[0]
    with tempfile.TemporaryDirectory() as work:
        folder = os.path.join(work, "images")
        os.makedirs(folder)
        for name in drivers:
            shutil.copy(os.path.join(image_dir, name + ".ffs"), folder)
        shutil.copy(os.path.join(image_dir, "NotebookDrivers.fv"), folder)
        aligned = bytearray(ffs_of[first])
        aligned[19] |= ALIGN_4K
        aligned[16] = 0
        aligned[16] = -(sum(aligned[:24]) - aligned[17] - aligned[23]) & 0xFF
        aligned_path = os.path.join(work, "Aligned.ffs")
        with open(aligned_path, "wb") as stream:
            stream.write(aligned)
        aligned64 = bytearray(aligned)
        aligned64[19] |= 7 << 3
        aligned64[16] = 0
        aligned64[16] = -(sum(aligned64[:24]) - aligned64[17] - aligned64[23]) & 0xFF
        aligned64_path = os.path.join(work, "Aligned64.ffs")
        with open(aligned64_path, "wb") as stream:
            stream.write(aligned64)
        damaged_path = os.path.join(work, "Damaged.ffs")
        with open(damaged_path, "wb") as stream:
            stream.write(ffs_of[first][:300] + bytes([ffs_of[first][300] ^ 1])
                         + ffs_of[first][301:])
        everything = [ffs_of[name] for name in drivers]

        accepted = [
            Case("all drivers into the compressed DXE volume of a whole flash", compact_image(),
                 expect=everything),
            Case("all drivers, the compressed volume's file with the checksum attribute",
                 compact_image(outer_checksum=True), expect=everything),
            Case("all drivers into a DXE volume with erase polarity 0", plain_image(0),
                 expect=everything),
            Case(f"{first} alone, by name", compact_image(), names=[first],
                 expect=[ffs_of[first]]),
            Case(f"{first} asking for 4 KiB data alignment", plain_image(1),
                 names=[aligned_path], expect=[bytes(aligned)]),
            Case("the volume named by --volume of two", two_volumes(), names=[first],
                 options=["--volume", SECOND_VOLUME], expect=[ffs_of[first]]),
        ]
        refused = [
            Case("no room in the DXE volume", volume(platform_files(), 0x2000, name=DXE_VOLUME),
                 reason="no room"),
            Case("no room for the grown compressed file",
                 compact_image(dxe_length=0x80000, outer_length=0x2000), reason="no room"),
            Case(f"{first} already in the image", compact_image(
                dxe_files=platform_files() + [ffs_of[first]]), reason="already in the image"),
            Case(f"{first} given twice", compact_image(), names=[first, first],
                 reason="also given"),
            Case("a damaged input file", compact_image(), names=[damaged_path],
                 reason="checksum"),
            Case("the DXE volume under a GUID-defined section not opened",
                 compact_image(guided=OTHER_GUIDED), reason=OTHER_GUIDED),
            Case(f"{first} asking for 64 KiB data alignment in a volume placed on 4 KiB",
                 plain_image(1), names=[aligned64_path], reason="boundary"),
            Case("no firmware volume at all", random_bytes(0x4000),
                 reason="no firmware volume"),
            Case("two DXE volumes, none named", two_volumes(), reason="several DXE volumes"),
            Case("a written byte in the DXE volume's free space",
                 compact_image(free_space_byte=0x00), reason="not erased"),
            Case("another section after the compressed one", compact_image(
                extra_section=section(0x19, b"tail")), reason="not the last section"),
            Case("a damaged LZMA stream", compact_image(damage_lzma=True),
                 reason="does not decompress"),
        ]

        def run(case):
            source = os.path.join(work, "flash.fd")
            output = os.path.join(work, "out.fd")
            for path in (source, output, output + ".tmp"):
                if os.path.exists(path):
                    os.remove(path)
            shutil.rmtree(output + ".dump", ignore_errors=True)
            with open(source, "wb") as stream:
                stream.write(case.image)
            result = subprocess.run([sys.executable, TOOL, source, "--output", output,
                                     "--images", folder] + case.options + case.names,
                                    capture_output=True, text=True, check=False)
            return result, output

        for case in accepted:
            result, output = run(case)
            if result.returncode != 0 or not os.path.isfile(output):
                judge.sound(case.label, 1, result.stdout + result.stderr)
                continue
            with open(output, "rb") as stream:
                written = stream.read()
            volume_name = SECOND_VOLUME if "--volume" in case.options else DXE_VOLUME
            polarity = 0 if "polarity 0" in case.label else 1
            problems = judge_output(case.image, written, case.expect, volume_name, polarity)
            problems += uefiextract_problems(uefiextract, os.path.join(work, "flash.fd"), output, [
                flash_image.guid_text(data[:16]) for data in case.expect])
            judge.sound(case.label, 1 if problems else 0, "; ".join(problems))

        for case in refused:
            result, output = run(case)
            message = (result.stderr + result.stdout).strip()
            left = [path for path in (output, output + ".tmp") if os.path.exists(path)]
            if left:
                judge.planted(case.label, 0, [], f"wrote {left}")
            elif case.reason not in message:
                judge.planted(case.label, result.returncode, [],
                              f"exit {result.returncode}, message {message!r} does not say "
                              f"{case.reason!r}")
            else:
                judge.planted(case.label, result.returncode, [message])

        # Faults planted in the tool's own rebuilding: its read-back refuses them.
        base = compact_image()
        compress = flash_image.lzma_compress
        rebuilt_file = flash_image.rebuilt_file

        def wrong_size(data, properties):
            stream = bytearray(compress(data, properties))
            stream[5:13] = struct.pack("<Q", len(data) + 8)
            return bytes(stream)

        def stale_checksum(file, body):
            data = bytearray(rebuilt_file(file, body))
            data[16] ^= 0x01
            return bytes(data)

        planted = [
            ("LZMA header with a wrong uncompressed size",
             lambda: setattr(flash_image, "lzma_compress", wrong_size),
             lambda: setattr(flash_image, "lzma_compress", compress)),
            ("a stale file header checksum",
             lambda: setattr(flash_image, "rebuilt_file", stale_checksum),
             lambda: setattr(flash_image, "rebuilt_file", rebuilt_file)),
        ]
        for label, patch, restore in planted:
            message = planted_fault_caught(label, patch, restore, base,
                                           [(name, ffs_of[name]) for name in drivers])
            judge.planted("tool fault: " + label, 1 if message else 0,
                          [message] if message else [])
    return judge.verdict(f"{len(accepted)} images changed, {len(refused)} refused, "
                         f"{len(planted)} tool faults")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
