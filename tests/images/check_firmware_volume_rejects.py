#!/usr/bin/python3
"""Proves that the firmware-volume check refuses damaged volumes and accepts sound ones.

    check_firmware_volume_rejects.py <UEFIExtract> <volume> <images dir> <driver>...

Works on copies in a temporary folder. Accepted: the volume of the build as it is, and a volume
packed by tools/ffs/make_fv.py in which one driver's file asks for its data on a 4 KiB boundary
(so a pad file has to move it there). Refused: each damage in the table, applied to the bytes of
the build's volume (checksums recomputed where the damage is meant to be something else), or a
volume packed from other files.
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile

from rejects import Judge, fail_lines

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKER = os.path.join(HERE, "check_firmware_volume.py")
PACKER = os.path.join(HERE, "..", "..", "tools", "ffs", "make_fv.py")
ALIGN_4K = 5 << 3  # FFS_ATTRIB_DATA_ALIGNMENT for 4 KiB


def seal_volume(data):
    header_length = struct.unpack_from("<H", data, 48)[0]
    struct.pack_into("<H", data, 50, 0)
    struct.pack_into("<H", data, 50, -sum(struct.unpack_from(f"<{header_length // 2}H", data))
                     & 0xFFFF)


def seal_file_header(data, offset):
    data[offset + 16] = 0
    data[offset + 16] = -(sum(data[offset:offset + 24]) - data[offset + 17]
                          - data[offset + 23]) & 0xFF


def driver_files(data):
    """Offsets of the files that are not pad files, in volume order."""
    offsets, offset = [], struct.unpack_from("<H", data, 48)[0]
    while offset + 24 <= len(data) and data[offset:offset + 24] != b"\xff" * 24:
        if data[offset + 18] != 0xF0:
            offsets.append(offset)
        offset += int.from_bytes(data[offset + 20:offset + 23], "little")
        offset += -offset % 8
    return offsets


def header_edit(edit):
    def damage(data):
        edit(data)
        seal_volume(data)
    return damage


def set_length(delta):
    return header_edit(lambda data: struct.pack_into("<Q", data, 32, len(data) + delta))


def flip(offset):
    def damage(data):
        data[offset] ^= 0x01
    return damage


def cut_block(data):
    del data[-0x1000:]


def last_file_past_end(data):
    last = driver_files(data)[-1]
    data[last + 20:last + 23] = (len(data) - last + 8).to_bytes(3, "little")
    seal_file_header(data, last)


def state_not_inverted(data):
    data[driver_files(data)[0] + 23] = 0x07


def image_byte(data):
    data[driver_files(data)[0] + 200] ^= 0x01


def file_guid_changed(data):
    first = driver_files(data)[0]
    data[first] ^= 0x01
    seal_file_header(data, first)


def same_guid_twice(data):
    first, second = driver_files(data)[:2]
    data[second:second + 16] = data[first:first + 16]
    seal_file_header(data, second)


def clear_erase_polarity(data):
    struct.pack_into("<I", data, 44, struct.unpack_from("<I", data, 44)[0] & ~0x800)


def one_block_less(data):
    struct.pack_into("<I", data, 56, struct.unpack_from("<I", data, 56)[0] - 1)


def free_space_written(data):
    data[-1] = 0x00


def gap_written(data):
    for offset in driver_files(data):
        end = offset + int.from_bytes(data[offset + 20:offset + 23], "little")
        if end % 8:
            data[end] = 0x00
            return
    raise RuntimeError("no file leaves a gap before the next 8-byte boundary")


def ext_header_in_a_file(data):
    # The extended header moved out of its pad file (left erased) into a driver's file body
    # (file checksum mended).
    old = struct.unpack_from("<H", data, 52)[0]
    ext = bytes(data[old:old + 20])
    data[old:old + 20] = b"\xff" * 20
    first = driver_files(data)[0]
    at = first + 24 + 64
    data[at:at + 20] = ext
    size = int.from_bytes(data[first + 20:first + 23], "little")
    data[first + 17] = -sum(data[first + 24:first + size]) & 0xFF
    struct.pack_into("<H", data, 52, at)
    seal_volume(data)


def volume_renamed(data):
    data[struct.unpack_from("<H", data, 52)[0]] ^= 0x01


class Case:
    """damage edits the bytes of the build's volume; files names the .ffs files (stems, from the
    working images folder) to pack instead, after prepare(folder) has made them."""

    def __init__(self, label, damage=None, files=None, prepare=None):
        self.label, self.damage, self.files, self.prepare = label, damage, files, prepare


def main(argv):
    uefiextract, volume, image_dir = argv[:3]
    drivers = argv[3:]
    if len(drivers) < 2:
        print("FAIL: need at least two drivers")
        return 1

    def align_first(folder):
        # The first driver's file asks for its data on a 4 KiB boundary (header resealed).
        path = os.path.join(folder, drivers[0] + ".ffs")
        with open(path, "rb") as stream:
            data = bytearray(stream.read())
        data[19] |= ALIGN_4K
        seal_file_header(data, 0)
        with open(path, "wb") as stream:
            stream.write(data)

    accepted = [
        Case("the build's volume"),
        Case(f"{drivers[0]} asking for 4 KiB data alignment", files=drivers,
             prepare=align_first),
    ]
    refused = [
        Case("header checksum off by one", flip(50)),
        Case("FvLength one block longer than the volume", set_length(0x1000)),
        Case("FvLength one block shorter than the volume", set_length(-0x1000)),
        Case("volume cut short by a block", cut_block),
        Case("block map one block short", header_edit(one_block_less)),
        Case("erase polarity cleared", header_edit(clear_erase_polarity)),
        Case("volume renamed", volume_renamed),
        Case("extended header in a driver's file", ext_header_in_a_file),
        Case("the last file running past the end", last_file_past_end),
        Case("a file's State not inverted", state_not_inverted),
        Case("a byte of a file's image changed", image_byte),
        Case("a file's GUID changed", file_guid_changed),
        Case("two files of one GUID", same_guid_twice),
        Case("a byte between two files written", gap_written),
        Case("a byte of the free space written", free_space_written),
        Case(f"{drivers[-1]} left out", files=drivers[:-1]),
    ]
    judge = Judge()
    with tempfile.TemporaryDirectory() as work:

        def run(case):
            folder = os.path.join(work, "images")
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)
            for name in drivers:
                for extension in (".efi", ".ffs"):
                    shutil.copy(os.path.join(image_dir, name + extension), folder)
            target = os.path.join(folder, "volume.fv")
            shutil.copy(volume, target)
            if case.prepare:
                case.prepare(folder)
            if case.files is not None:
                packed = subprocess.run(
                    [sys.executable, PACKER, "--output", target]
                    + [os.path.join(folder, name + ".ffs") for name in case.files],
                    capture_output=True, text=True, check=False)
                if packed.returncode != 0:
                    return packed.returncode, ["make_fv: " + packed.stderr.strip()]
            if case.damage:
                with open(target, "rb") as stream:
                    data = bytearray(stream.read())
                case.damage(data)
                with open(target, "wb") as stream:
                    stream.write(data)
            result = subprocess.run([sys.executable, CHECKER, uefiextract, target, folder]
                                    + drivers, capture_output=True, text=True, check=False)
            return result.returncode, fail_lines(result.stdout)

        for case in accepted:
            code, reported = run(case)
            judge.sound(case.label, code, "; ".join(reported))
        for case in refused:
            code, reported = run(case)
            judge.planted(case.label, code, reported)
    return judge.verdict(f"{len(accepted)} sound and {len(refused)} damaged volumes")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
