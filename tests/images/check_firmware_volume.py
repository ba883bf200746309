#!/usr/bin/python3
"""Checks the firmware volume of the firmware build (NotebookDrivers.fv).

    check_firmware_volume.py <UEFIExtract> <volume> <images dir> <driver>...

The volume must
  - pass our own reading: "_FVH" signature, EFI_FIRMWARE_FILE_SYSTEM2_GUID, revision 2, FvLength
    equal to the file's length and a multiple of the block size, the 16-bit header checksum, a
    block map ending in {0, 0} that covers FvLength exactly, erase polarity 1 (and every other
    attribute of a memory-mapped DXE volume), an extended header naming the volume inside a pad
    file, an alignment attribute that covers every file's data alignment;
  - hold, from the end of the header on, files at 8-byte-aligned offsets inside the volume, each
    with a valid header checksum, a valid data checksum (or 0xAA without the checksum
    attribute), State 0xF8 (a finished file, stored inverted), its data on the boundary its
    attributes ask for, one file per GUID; pad files with erased bodies (but for the extended
    header); erased bytes between the files and in the free space after them;
  - hold exactly the firmware files of the drivers named, each byte for byte as <driver>.ffs in
    the images folder with State inverted, and nothing else;
  - parse in UEFIExtract without a complaint as one FFSv2 volume with erase polarity 1, a valid
    header checksum and the volume's name, in which it finds each driver's file with valid
    checksums, its name, its sections (the .ffs's section types) and its image.
"""

import os
import struct
import sys
import tempfile

from uefiextract import (SECTION_NAMES, Failures, dump_one_volume, guid_text, numbered_children,
                         read_info)

FFS2_FILE_SYSTEM_GUID = "8C8CE578-8A3D-4F1C-9935-896185C32DD3"
VOLUME_NAME = "5C1C8F2E-7A3B-4E51-9D60-2B8E4173C60A"
BLOCK_SIZE = 0x1000
# Read, write and lock capabilities and status, sticky write, memory mapped, erase polarity 1.
DXE_VOLUME_ATTRIBUTES = 0x0000FEFF
ERASE_POLARITY = 0x800
ALIGNMENTS = (1, 16, 128, 512, 1024, 4096, 32768, 65536)
PAD = 0xF0
FINISHED_STORED = 0xF8


def align(value, boundary):
    return -(-value // boundary) * boundary


def first_written(data, begin, end, skip=range(0)):
    for offset in range(begin, end):
        if data[offset] != 0xFF and offset not in skip:
            return offset
    return None


def read_header(volume, fail):
    """Returns (header length, attributes, extended header range) or None."""
    if not fail.check(len(volume) >= 64, f"volume of {len(volume)} bytes, shorter than a header"):
        return None
    (file_system, length, signature, attributes, header_length, _, ext_offset, _,
     revision) = struct.unpack_from("<16sQ4sIHHHBB", volume, 16)
    ok = fail.check(signature == b"_FVH", f"signature {signature!r}")
    ok &= fail.check(guid_text(file_system) == FFS2_FILE_SYSTEM_GUID,
                     f"file system {guid_text(file_system)}, expected FFS2")
    ok &= fail.check(revision == 2, f"revision {revision}, expected 2")
    ok &= fail.check(length == len(volume), f"FvLength 0x{length:X}, file has 0x{len(volume):X}")
    ok &= fail.check(length % BLOCK_SIZE == 0, f"FvLength 0x{length:X} not a whole number of blocks")
    if not fail.check(72 <= header_length <= len(volume) and header_length % 8 == 0,
                      f"header length {header_length}"):
        return None
    ok &= fail.check(sum(struct.unpack_from(f"<{header_length // 2}H", volume)) & 0xFFFF == 0,
                     "header checksum does not make the header's words sum 0")
    ok &= fail.check(attributes & 0xFFFF == DXE_VOLUME_ATTRIBUTES,
                     f"attributes 0x{attributes:08X}, expected 0x{DXE_VOLUME_ATTRIBUTES:04X} "
                     "in the low word (erase polarity 1)")
    covered, entry = 0, 56
    while True:
        if not fail.check(entry + 8 <= header_length, "block map has no {0, 0} end"):
            return None
        blocks, size = struct.unpack_from("<II", volume, entry)
        if blocks == 0 and size == 0:
            break
        covered += blocks * size
        entry += 8
    ok &= fail.check(covered == length, f"block map covers 0x{covered:X} of 0x{length:X} bytes")
    ext = range(0)
    if fail.check(ext_offset != 0, "no extended header (volume name)"):
        if fail.check(header_length <= ext_offset <= len(volume) - 20,
                      f"extended header offset 0x{ext_offset:X} outside the volume"):
            name = guid_text(volume[ext_offset:ext_offset + 16])
            ext_size = struct.unpack_from("<I", volume, ext_offset + 16)[0]
            ok &= fail.check(name == VOLUME_NAME, f"volume name {name}, expected {VOLUME_NAME}")
            ok &= fail.check(20 <= ext_size <= len(volume) - ext_offset,
                             f"extended header size {ext_size}")
            ext = range(ext_offset, ext_offset + ext_size)
    return (header_length, attributes, ext) if ok else None


def read_files(volume, header_length, attributes, ext, fail):
    """Walks the files; returns {GUID text: (offset, stored bytes)} of the non-pad files."""
    files = {}
    ext_in_pad = False
    volume_alignment = 1 << ((attributes >> 16) & 0x1F)
    offset = header_length
    while offset < len(volume):
        if len(volume) - offset < 24 or first_written(volume, offset, offset + 24) is None:
            written = first_written(volume, offset, len(volume))
            fail.check(written is None, f"free space byte at 0x{written or 0:X} not erased")
            break
        where = f"file at 0x{offset:X}"
        header = volume[offset:offset + 24]
        size = int.from_bytes(header[20:23], "little")
        if not fail.check(24 <= size <= len(volume) - offset,
                          f"{where}: size 0x{size:X} runs past the end of the volume"):
            return files
        data = volume[offset:offset + size]
        kind, file_attributes = header[18], header[19]
        fail.check(file_attributes & 0x01 == 0, f"{where}: large-file attribute")
        fail.check((sum(header) - header[17] - header[23]) & 0xFF == 0,
                   f"{where}: header checksum does not make the header sum 0")
        if file_attributes & 0x40:
            fail.check((sum(data[24:]) + header[17]) & 0xFF == 0,
                       f"{where}: data checksum does not make the body sum 0")
        else:
            fail.check(header[17] == 0xAA, f"{where}: file checksum 0x{header[17]:02X}, "
                       "expected 0xAA without the checksum attribute")
        fail.check(header[23] == FINISHED_STORED,
                   f"{where}: State 0x{header[23]:02X}, expected 0x{FINISHED_STORED:02X}")
        boundary = ALIGNMENTS[(file_attributes >> 3) & 0x07]
        fail.check((offset + 24) % boundary == 0 and boundary <= volume_alignment,
                   f"{where}: data not on its {boundary}-byte boundary")
        if kind == PAD:
            holds_ext = ext and ext.start >= offset + 24 and ext.stop <= offset + size
            ext_in_pad = ext_in_pad or holds_ext
            written = first_written(volume, offset + 24, offset + size,
                                    ext if holds_ext else range(0))
            fail.check(written is None, f"{where}: pad file byte 0x{written or 0:X} not erased")
        else:
            name = guid_text(header[:16])
            fail.check(name not in files, f"{where}: GUID {name} used twice")
            files[name] = (offset, bytes(data))
        end = offset + size
        offset = min(align(end, 8), len(volume))
        written = first_written(volume, end, offset)
        fail.check(written is None, f"byte at 0x{written or 0:X} between files not erased")
    fail.check(not ext or ext_in_pad, "extended header not inside a pad file")
    return files


def section_types(ffs):
    types, offset = [], 24
    while offset + 4 <= len(ffs):
        size = int.from_bytes(ffs[offset:offset + 3], "little")
        types.append(ffs[offset + 3])
        if size < 4:
            break
        offset = align(offset + size, 4)
    return types


def check_with_uefiextract(uefiextract, volume_path, drivers, fail):
    """drivers: {name: (GUID text, ffs bytes, image bytes)}."""
    with tempfile.TemporaryDirectory() as work:
        copy = os.path.join(work, "volume.fv")
        with open(volume_path, "rb") as source, open(copy, "wb") as target:
            target.write(source.read())
        volume = dump_one_volume(uefiextract, copy, fail)
        if volume is None:
            return
        info = read_info(volume)
        for field, expected in (("Subtype", "FFSv2"), ("Erase polarity", "1"),
                                ("Volume GUID", VOLUME_NAME)):
            fail.check(info.get(field) == expected,
                       f"UEFIExtract volume {field}: {info.get(field)!r}, expected {expected!r}")
        fail.check(info.get("Checksum", "").endswith(", valid"),
                   f"UEFIExtract volume checksum: {info.get('Checksum')!r}")
        found = {}
        for folder in numbered_children(volume):
            file_info = read_info(folder)
            if file_info.get("Type") == "File" and file_info.get("Subtype") != "Pad":
                found[file_info.get("File GUID")] = (folder, file_info)
        fail.check(len(found) == len(drivers),
                   f"UEFIExtract found {len(found)} files, expected {len(drivers)}")
        for name, (file_guid, ffs, image) in drivers.items():
            if not fail.check(file_guid in found, f"{name}: UEFIExtract did not find {file_guid}"):
                continue
            folder, file_info = found[file_guid]
            fail.check(file_info.get("Text") == name,
                       f"{name}: UEFIExtract name {file_info.get('Text')!r}")
            for field in ("Header checksum", "Data checksum"):
                fail.check(file_info.get(field, "").endswith(", valid"),
                           f"{name}: UEFIExtract {field}: {file_info.get(field)!r}")
            sections = [(path, read_info(path)) for path in numbered_children(folder)]
            subtypes = [section.get("Subtype") for _, section in sections]
            expected = [SECTION_NAMES.get(kind, f"0x{kind:02X}") for kind in section_types(ffs)]
            fail.check(subtypes == expected,
                       f"{name}: UEFIExtract sections {subtypes}, expected {expected}")
            for path, section in sections:
                if section.get("Subtype") == SECTION_NAMES[0x10]:
                    with open(os.path.join(path, "body.bin"), "rb") as stream:
                        fail.check(stream.read() == image,
                                   f"{name}: UEFIExtract's PE32 body differs from {name}.efi")


def main(argv):
    if len(argv) < 4:
        print(__doc__, file=sys.stderr)
        return 2
    uefiextract, volume_path, image_dir = argv[:3]
    names = list(dict.fromkeys(argv[3:]))
    fail = Failures()
    if not os.path.isfile(uefiextract):
        print(f"FAIL: UEFIExtract not found at {uefiextract!r} (Debian package uefitool-cli)")
        return 1
    with open(volume_path, "rb") as stream:
        volume = stream.read()
    files = {}
    header = read_header(volume, fail)
    if header:
        files = read_files(volume, *header, fail)

    drivers = {}
    for name in names:
        with open(os.path.join(image_dir, name + ".ffs"), "rb") as stream:
            ffs = stream.read()
        with open(os.path.join(image_dir, name + ".efi"), "rb") as stream:
            image = stream.read()
        file_guid = guid_text(ffs[:16])
        drivers[name] = (file_guid, ffs, image)
        if not fail.check(file_guid in files, f"{name}: {file_guid} not in the volume"):
            continue
        offset, stored = files.pop(file_guid)
        expected = ffs[:23] + bytes([~ffs[23] & 0xFF]) + ffs[24:]
        fail.check(stored == expected,
                   f"{name}: file at 0x{offset:X} differs from {name}.ffs with State inverted")
        print(f"{name}: at 0x{offset:X}, {len(ffs)} bytes, {file_guid}")
    for file_guid, (offset, _) in files.items():
        fail.items.append(f"file {file_guid} at 0x{offset:X} is none of the drivers named")

    check_with_uefiextract(uefiextract, volume_path, drivers, fail)
    for item in fail.items:
        print("FAIL: " + item)
    print(f"{volume_path}: {len(volume)} bytes, {len(drivers)} drivers, {len(fail.items)} problems")
    return 1 if fail.items else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
