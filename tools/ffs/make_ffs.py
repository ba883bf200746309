#!/usr/bin/python3
"""Packs a driver image into a firmware file (FFS) ready to go into a firmware volume.

    make_ffs.py --name <Driver> --guid <file GUID> --image <Driver>.efi --output <Driver>.ffs
                --guids platform/guids.h [--depends <protocol GUID name>]...
                [--section freeform:<subtype GUID>:<file>]...

What goes into the file is what the driver declares in its add_uefi_driver call: the file GUID
and the protocols its entry point needs (--depends, each the name of an EFI_GUID constant in
platform/guids.h, the header the drivers' own code takes its GUIDs from).

The firmware file is an EFI_FFS_FILE_HEADER (24 bytes) followed by its sections, each section
starting at a 4-byte-aligned offset within the file (zero bytes fill the gaps):

    DXE_DEPEX (0x13)             the dependency expression: PUSH each protocol, AND them, END
                                 (TRUE END when the driver needs none)
    PE32 (0x10)                  the image, byte for byte
    USER_INTERFACE (0x15)        the driver name, NUL-terminated UCS-2
    FREEFORM_SUBTYPE_GUID (0x18) one per --section, in command-line order: the 16-byte subtype
                                 GUID followed by the file's bytes

File type EFI_FV_FILETYPE_DRIVER (0x07). Attributes FFS_ATTRIB_CHECKSUM (0x40): the file
checksum byte makes the 8-bit sum of all bytes after the header zero, so a volume reader can
detect a damaged file body. The header checksum makes the 8-bit sum of the header zero with the
file checksum and State counted as zero. State is 0x07 (header and data valid), written the
way a file is built before a volume with erase polarity 1 inverts it. No file here needs the
large-file header: anything of 16 MiB or more is refused.

Standard library only; the output depends on nothing but the inputs.
"""

import argparse
import re
import struct
import sys

from packing import PackError, guid_bytes, write_packed

EFI_FV_FILETYPE_DRIVER = 0x07
FFS_ATTRIB_CHECKSUM = 0x40
FFS_FIXED_CHECKSUM = 0xAA
EFI_FILE_STATE_BUILT = 0x07  # HEADER_CONSTRUCTION | HEADER_VALID | DATA_VALID

EFI_SECTION_PE32 = 0x10
EFI_SECTION_DXE_DEPEX = 0x13
EFI_SECTION_USER_INTERFACE = 0x15
EFI_SECTION_FREEFORM_SUBTYPE_GUID = 0x18

FFS_HEADER_SIZE = 24
SECTION_HEADER_SIZE = 4
MAX_24BIT_SIZE = 0xFFFFFF

# Dependency-expression opcodes.
DEP_PUSH = 0x02
DEP_AND = 0x03
DEP_TRUE = 0x06
DEP_END = 0x08


# inline constexpr EFI_GUID NAME = {0x12345678, 0x1234, 0x1234, {0x12, ... 8 bytes}};
GUID_CONSTANT = re.compile(
    r"inline\s+constexpr\s+EFI_GUID\s+(\w+)\s*=\s*\{\s*0x([0-9A-Fa-f]+)\s*,\s*0x([0-9A-Fa-f]+)"
    r"\s*,\s*0x([0-9A-Fa-f]+)\s*,\s*\{([^}]*)\}\s*\}\s*;")


def read_guid_constants(path):
    """{name: 16 GUID bytes} of the EFI_GUID constants a header defines."""
    with open(path, encoding="utf-8") as stream:
        text = stream.read()
    constants = {}
    for match in GUID_CONSTANT.finditer(text):
        name, data1, data2, data3, rest = match.groups()
        tail = [int(byte, 16) for byte in re.findall(r"0x([0-9A-Fa-f]+)", rest)]
        if len(tail) != 8:
            raise PackError(f"{path}: {name} does not have 8 trailing bytes")
        constants[name] = struct.pack("<IHH", int(data1, 16), int(data2, 16),
                                      int(data3, 16)) + bytes(tail)
    return constants


def dependency_expression(protocols):
    if not protocols:
        return bytes([DEP_TRUE, DEP_END])
    expression = bytearray()
    for index, protocol in enumerate(protocols):
        expression += bytes([DEP_PUSH]) + protocol
        if index > 0:
            expression.append(DEP_AND)
    expression.append(DEP_END)
    return bytes(expression)


def section(section_type, payload):
    size = SECTION_HEADER_SIZE + len(payload)
    if size > MAX_24BIT_SIZE:
        raise PackError(f"section of type 0x{section_type:02X} too large ({size} bytes)")
    return struct.pack("<I", size | (section_type << 24)) + payload


def ucs2_name(name):
    if not name.isascii() or not name.isprintable():
        raise PackError(f"driver name {name!r} must be printable ASCII")
    return (name + "\0").encode("utf-16-le")


def check_pe_image(image, path):
    if len(image) < 0x40 or image[:2] != b"MZ":
        raise PackError(f"{path}: not a PE image (no MZ header)")
    pe_offset = struct.unpack_from("<I", image, 0x3C)[0]
    if pe_offset + 4 > len(image) or image[pe_offset:pe_offset + 4] != b"PE\0\0":
        raise PackError(f"{path}: not a PE image (no PE signature)")


def parse_extra_section(spec):
    kind, _, rest = spec.partition(":")
    guid, _, path = rest.partition(":")
    if kind != "freeform" or not guid or not path:
        raise PackError(f"bad --section {spec!r}: expected freeform:<GUID>:<file>")
    with open(path, "rb") as stream:
        data = stream.read()
    return section(EFI_SECTION_FREEFORM_SUBTYPE_GUID, guid_bytes(guid) + data)


def build_firmware_file(name, file_guid, protocols, image, extra_sections):
    """protocols: the GUID bytes of each protocol the driver depends on."""
    sections = [
        section(EFI_SECTION_DXE_DEPEX, dependency_expression(protocols)),
        section(EFI_SECTION_PE32, image),
        section(EFI_SECTION_USER_INTERFACE, ucs2_name(name)),
    ] + extra_sections

    body = bytearray()
    for item in sections:
        # Offsets within the file: the header is 24 bytes, a multiple of 4.
        body += bytes(-len(body) % 4)
        body += item

    size = FFS_HEADER_SIZE + len(body)
    if size > MAX_24BIT_SIZE:
        raise PackError(f"{name}: firmware file too large ({size} bytes)")

    header = bytearray(guid_bytes(file_guid))
    header += bytes([0, 0, EFI_FV_FILETYPE_DRIVER, FFS_ATTRIB_CHECKSUM])
    header += size.to_bytes(3, "little")
    header.append(0)  # State counts as zero in the header checksum
    header[16] = (-sum(header)) & 0xFF
    header[17] = (-sum(body)) & 0xFF
    header[23] = EFI_FILE_STATE_BUILT
    return bytes(header + body)


def main(argv):
    parser = argparse.ArgumentParser(description="Pack a driver image into a firmware file.")
    parser.add_argument("--name", required=True, help="driver name (the user-interface section)")
    parser.add_argument("--guid", required=True, help="the file GUID the driver declares")
    parser.add_argument("--guids", required=True, help="header defining the protocol GUIDs")
    parser.add_argument("--depends", action="append", default=[],
                        help="a protocol the driver depends on (its GUID constant's name)")
    parser.add_argument("--image", required=True, help="the driver's PE32+ image")
    parser.add_argument("--output", required=True, help="the firmware file to write")
    parser.add_argument("--section", action="append", default=[],
                        help="extra section, freeform:<subtype GUID>:<file>")
    args = parser.parse_args(argv)

    def pack():
        with open(args.image, "rb") as stream:
            image = stream.read()
        check_pe_image(image, args.image)
        constants = read_guid_constants(args.guids)
        unknown = [name for name in args.depends if name not in constants]
        if unknown:
            raise PackError(f"{args.guids} defines no {', '.join(unknown)}")
        protocols = [constants[name] for name in args.depends]
        extra = [parse_extra_section(spec) for spec in args.section]
        return build_firmware_file(args.name, args.guid, protocols, image, extra)

    return write_packed("make_ffs", args.output, pack)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
