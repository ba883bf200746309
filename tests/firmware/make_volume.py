#!/usr/bin/env python3
"""Packs firmware files (FFS) into one firmware volume for the real-firmware check.

    make_volume.py --output NotebookDrivers.fv [--alignment N] FILE.ffs...

The volume: an EFI_FIRMWARE_VOLUME_HEADER of the FFS2 file system (signature "_FVH", revision
2, one block-map run of 4 KiB blocks, the 16-bit header checksum), erase polarity 0 (so each
file's state byte 0x07 reads as "data valid" as the files were packed, and free space is zero
bytes), the files back to back at 8-byte aligned offsets, the rest up to the last block free.
The volume asks to be placed at a 2^N-byte boundary (EFI_FVB2_ALIGNMENT, default N = 16), which
the firmware's volume reader checks when it is handed the buffer.
"""
import argparse
import struct
import sys
import uuid

FFS2_FILE_SYSTEM = uuid.UUID("8C8CE578-8A3D-4F1C-9935-896185C32DD3").bytes_le
BLOCK = 0x1000
HEADER = 56 + 2 * 8  # the fixed part, one block-map run and the terminating run
# EFI_FVB2_READ_DISABLED_CAP | READ_ENABLED_CAP | READ_STATUS | MEMORY_MAPPED |
# READ_LOCK_CAP | READ_LOCK_STATUS
ATTRIBUTES = 0x1 | 0x2 | 0x4 | 0x200 | 0x1000 | 0x2000


def align(value, boundary):
    return (value + boundary - 1) // boundary * boundary


def volume(files, alignment_bits):
    body = bytearray()
    for data in files:
        if len(data) < 24 or int.from_bytes(data[20:23], "little") != len(data):
            raise ValueError("not a firmware file (size field does not match)")
        body += bytes(align(HEADER + len(body), 8) - HEADER - len(body))
        body += data
    length = align(HEADER + len(body), BLOCK)
    attributes = ATTRIBUTES | (alignment_bits << 16)
    header = bytearray(struct.pack("<16s16sQ4sIHHHBB", bytes(16), FFS2_FILE_SYSTEM, length,
                                   b"_FVH", attributes, HEADER, 0, 0, 0, 2))
    header += struct.pack("<IIII", length // BLOCK, BLOCK, 0, 0)
    checksum = (-sum(struct.unpack("<%dH" % (HEADER // 2), header))) & 0xFFFF
    struct.pack_into("<H", header, 50, checksum)
    image = bytes(header) + bytes(body)
    return image + bytes(length - len(image))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", required=True)
    parser.add_argument("--alignment", type=int, default=16, help="log2 of the placement")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()
    files = []
    for path in args.files:
        with open(path, "rb") as stream:
            files.append(stream.read())
    try:
        data = volume(files, args.alignment)
    except ValueError as problem:
        print("make_volume: %s" % problem, file=sys.stderr)
        return 1
    with open(args.output, "wb") as stream:
        stream.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
