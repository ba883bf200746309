#!/usr/bin/python3
"""Packs firmware files (.ffs, as make_ffs.py writes them) into one firmware volume.

    make_fv.py --output NotebookDrivers.fv FILE.ffs...

The volume, as a PI firmware volume builder lays it out:

    EFI_FIRMWARE_VOLUME_HEADER  72 bytes: zero vector, EFI_FIRMWARE_FILE_SYSTEM2_GUID, FvLength,
                                "_FVH", attributes, HeaderLength 72, the 16-bit checksum (the
                                header's words sum to 0), ExtHeaderOffset, revision 2, and the
                                block map: one run of 4 KiB blocks covering FvLength, then {0, 0}
    pad file                    holding the EFI_FIRMWARE_VOLUME_EXT_HEADER (the volume's name,
                                VOLUME_NAME below), which ExtHeaderOffset points into
    the files                   in command-line order, each at an 8-byte-aligned offset from the
                                start of the volume; a file whose attributes ask for a larger
                                data alignment gets a pad file in front of it that moves its data
                                (the bytes after the 24-byte header) onto that boundary
    free space                  up to the end of the last block

Erase polarity 1 (EFI_FVB2_ERASE_POLARITY): an erased byte reads 0xFF, so free space, the gaps
before 8-byte-aligned files and the bodies of pad files are 0xFF. A file's State bits are
written by clearing them from the erased value: a finished file (HEADER_CONSTRUCTION |
HEADER_VALID | DATA_VALID = 0x07, the way make_ffs.py writes a file on its own) is stored as
0xF8. State is outside both file checksums, so the checksums stay as packed.

The other attributes are those of a memory-mapped DXE volume (read, write and lock
capabilities and status, sticky write); EFI_FVB2_ALIGNMENT asks for the volume to be placed at
the largest boundary any file needs, at least 8 bytes.

Every input is checked first (size field, header and data checksums, State 0x07, no large-file
form, no pad file, one file per GUID). Standard library only; the output depends on nothing but
the inputs, byte for byte.
"""

import argparse
import struct
import sys

from packing import PackError, align, guid_bytes, write_packed

FFS2_FILE_SYSTEM_GUID = "8C8CE578-8A3D-4F1C-9935-896185C32DD3"
# The volume's own name (EFI_FIRMWARE_VOLUME_EXT_HEADER.FvName). The simulated board's volume
# carries the same name in its device path.
VOLUME_NAME = "5C1C8F2E-7A3B-4E51-9D60-2B8E4173C60A"

EFI_FVH_SIGNATURE = b"_FVH"
FV_REVISION = 2
BLOCK_SIZE = 0x1000
FV_HEADER_SIZE = 56
BLOCK_MAP_SIZE = 2 * 8  # one run, then the terminating {0, 0}
HEADER_LENGTH = FV_HEADER_SIZE + BLOCK_MAP_SIZE
EXT_HEADER_SIZE = 16 + 4  # FvName, ExtHeaderSize

EFI_FVB2_READ_DISABLED_CAP = 0x00000001
EFI_FVB2_READ_ENABLED_CAP = 0x00000002
EFI_FVB2_READ_STATUS = 0x00000004
EFI_FVB2_WRITE_DISABLED_CAP = 0x00000008
EFI_FVB2_WRITE_ENABLED_CAP = 0x00000010
EFI_FVB2_WRITE_STATUS = 0x00000020
EFI_FVB2_LOCK_CAP = 0x00000040
EFI_FVB2_LOCK_STATUS = 0x00000080
EFI_FVB2_STICKY_WRITE = 0x00000200
EFI_FVB2_MEMORY_MAPPED = 0x00000400
EFI_FVB2_ERASE_POLARITY = 0x00000800
EFI_FVB2_READ_LOCK_CAP = 0x00001000
EFI_FVB2_READ_LOCK_STATUS = 0x00002000
EFI_FVB2_WRITE_LOCK_CAP = 0x00004000
EFI_FVB2_WRITE_LOCK_STATUS = 0x00008000
EFI_FVB2_ALIGNMENT_SHIFT = 16
VOLUME_ATTRIBUTES = (
    EFI_FVB2_READ_DISABLED_CAP | EFI_FVB2_READ_ENABLED_CAP | EFI_FVB2_READ_STATUS
    | EFI_FVB2_WRITE_DISABLED_CAP | EFI_FVB2_WRITE_ENABLED_CAP | EFI_FVB2_WRITE_STATUS
    | EFI_FVB2_LOCK_CAP | EFI_FVB2_LOCK_STATUS | EFI_FVB2_STICKY_WRITE | EFI_FVB2_MEMORY_MAPPED
    | EFI_FVB2_ERASE_POLARITY | EFI_FVB2_READ_LOCK_CAP | EFI_FVB2_READ_LOCK_STATUS
    | EFI_FVB2_WRITE_LOCK_CAP | EFI_FVB2_WRITE_LOCK_STATUS)
ERASED = 0xFF

FFS_HEADER_SIZE = 24
FILE_ALIGNMENT = 8
EFI_FV_FILETYPE_FFS_PAD = 0xF0
FFS_ATTRIB_LARGE_FILE = 0x01
FFS_ATTRIB_CHECKSUM = 0x40
FFS_FIXED_CHECKSUM = 0xAA
EFI_FILE_STATE_BUILT = 0x07  # HEADER_CONSTRUCTION | HEADER_VALID | DATA_VALID
# FFS_ATTRIB_DATA_ALIGNMENT (bits 3..5): the boundary the file's data must start on.
DATA_ALIGNMENTS = (1, 16, 128, 512, 1024, 4 * 1024, 32 * 1024, 64 * 1024)


def sum8(data):
    return sum(data) & 0xFF


def data_alignment(attributes):
    return DATA_ALIGNMENTS[(attributes >> 3) & 0x07]


def check_input_file(path, data):
    """The checks a volume reader makes on a finished file, before it goes into the volume."""
    if len(data) < FFS_HEADER_SIZE:
        raise PackError(f"{path}: shorter than a firmware file header")
    size = int.from_bytes(data[20:23], "little")
    if size != len(data):
        raise PackError(f"{path}: size field {size}, but the file has {len(data)} bytes")
    attributes = data[19]
    if attributes & FFS_ATTRIB_LARGE_FILE:
        raise PackError(f"{path}: large-file form not supported")
    if data[18] == EFI_FV_FILETYPE_FFS_PAD:
        raise PackError(f"{path}: a pad file; the volume makes its own")
    if (sum8(data[:FFS_HEADER_SIZE]) - data[17] - data[23]) & 0xFF:
        raise PackError(f"{path}: header checksum does not make the header sum 0")
    if attributes & FFS_ATTRIB_CHECKSUM:
        if (sum8(data[FFS_HEADER_SIZE:]) + data[17]) & 0xFF:
            raise PackError(f"{path}: file checksum does not make the data sum 0")
    elif data[17] != FFS_FIXED_CHECKSUM:
        raise PackError(f"{path}: no checksum attribute, but the file checksum is not 0xAA")
    if data[23] != EFI_FILE_STATE_BUILT:
        raise PackError(f"{path}: State 0x{data[23]:02X}, expected a finished file (0x07)")


def stored_state(state):
    """State as written into an erase-polarity-1 volume: the set bits are cleared ones."""
    return ~state & 0xFF


def pad_file(size, payload=b""):
    """A pad file of size bytes (header included): name all erased bytes, no checksum
    attribute (fixed file checksum), the payload at the start of its body, the rest erased."""
    if size < FFS_HEADER_SIZE + len(payload):
        raise PackError(f"pad file of {size} bytes cannot hold {len(payload)} bytes")
    header = bytearray([ERASED] * 16)
    header += bytes([0, 0, EFI_FV_FILETYPE_FFS_PAD, 0])
    header += size.to_bytes(3, "little")
    header.append(0)
    header[16] = -sum8(header) & 0xFF
    header[17] = FFS_FIXED_CHECKSUM
    header[23] = stored_state(EFI_FILE_STATE_BUILT)
    body = bytes(payload) + bytes([ERASED]) * (size - FFS_HEADER_SIZE - len(payload))
    return bytes(header) + body


def place(volume, data_boundary):
    """Where the next file starts: the next 8-byte boundary, or, when its data (after the file
    header) must start on a larger boundary, the first offset from which it does that leaves
    room for a pad file in between. Returns (offset, pad size)."""
    start = align(len(volume), FILE_ALIGNMENT)
    offset = start
    while (offset + FFS_HEADER_SIZE) % data_boundary:
        offset += FILE_ALIGNMENT
    while offset != start and offset - start < FFS_HEADER_SIZE:
        offset += data_boundary
    return offset, offset - start


def build_volume(files):
    """files: [(path, bytes)] in volume order."""
    names = {}
    for path, data in files:
        check_input_file(path, data)
        name = bytes(data[:16])
        if name in names:
            raise PackError(f"{path}: file GUID also used by {names[name]}")
        names[name] = path

    volume = bytearray(HEADER_LENGTH)
    ext_header = guid_bytes(VOLUME_NAME) + struct.pack("<I", EXT_HEADER_SIZE)
    ext_header_offset = len(volume) + FFS_HEADER_SIZE
    volume += pad_file(FFS_HEADER_SIZE + len(ext_header), ext_header)

    largest = FILE_ALIGNMENT
    for _, data in files:
        boundary = data_alignment(data[19])
        largest = max(largest, boundary)
        offset, pad = place(volume, boundary)
        volume += bytes([ERASED]) * (offset - pad - len(volume))
        if pad:
            volume += pad_file(pad)
        stored = bytearray(data)
        stored[23] = stored_state(stored[23])
        volume += stored

    length = align(len(volume), BLOCK_SIZE)
    volume += bytes([ERASED]) * (length - len(volume))
    attributes = VOLUME_ATTRIBUTES | (largest.bit_length() - 1) << EFI_FVB2_ALIGNMENT_SHIFT
    header = struct.pack("<16s16sQ4sIHHHBB", bytes(16), guid_bytes(FFS2_FILE_SYSTEM_GUID),
                         length, EFI_FVH_SIGNATURE, attributes, HEADER_LENGTH, 0,
                         ext_header_offset, 0, FV_REVISION)
    header += struct.pack("<IIII", length // BLOCK_SIZE, BLOCK_SIZE, 0, 0)
    volume[:HEADER_LENGTH] = header
    checksum = -sum(struct.unpack_from(f"<{HEADER_LENGTH // 2}H", volume)) & 0xFFFF
    struct.pack_into("<H", volume, 50, checksum)
    return bytes(volume)


def main(argv):
    parser = argparse.ArgumentParser(description="Pack firmware files into a firmware volume.")
    parser.add_argument("--output", required=True, help="the firmware volume to write")
    parser.add_argument("files", nargs="+", help="firmware files (.ffs), in volume order")
    args = parser.parse_args(argv)

    def pack():
        files = []
        for path in args.files:
            with open(path, "rb") as stream:
                files.append((path, stream.read()))
        return build_volume(files)

    return write_packed("make_fv", args.output, pack)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
