#!/usr/bin/python3
"""Packs a driver image into a firmware file (FFS) ready to go into a firmware volume.

    make_ffs.py --name <Driver> --image <Driver>.efi --output <Driver>.ffs
                [--section freeform:<subtype GUID>:<file>]...

The firmware file is an EFI_FFS_FILE_HEADER (24 bytes) followed by its sections, each section
starting at a 4-byte-aligned offset within the file (zero bytes fill the gaps):

    DXE_DEPEX (0x13)             the dependency expression of the driver (table below)
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
import os
import struct
import sys
import uuid

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

# Protocols the drivers wait for before the DXE dispatcher may start them.
VARIABLE_ARCH_PROTOCOL = "1E5668E2-8481-11D4-BCF1-0080C73C8881"
VARIABLE_WRITE_ARCH_PROTOCOL = "6441F818-6362-4E44-B570-7DBA31DD2453"
SMM_BASE_PROTOCOL = "1390954D-DA95-4227-9328-7282C217DAA8"
SMM_SW_DISPATCH_PROTOCOL = "E541B773-DD11-420C-B026-DF993653F8BF"
BOOT_SCRIPT_SAVE_PROTOCOL = "470E1529-B79E-4E32-A0FE-6A156D29F9B2"

# Every driver image we ship: its firmware-file GUID (fixed for good: the firmware finds a
# driver's own file, and the sections in it, by this name) and its dependency expression, the
# protocols that must be installed before its entry point can do its work (all of them ANDed;
# an empty list means TRUE).
#
# - FingerprintAuthDxe: the entry point only installs FINGERPRINT_AUTH_PROTOCOL; everything
#   else happens in the setup engine's later calls, when all services are up. TRUE.
# - FanControlSmm: both runs of the entry go through the Framework SMM base protocol (Register
#   outside SMM, RegisterCallback inside); nothing else is located.
# - FingerprintStatusSmm: the SMM base protocol, and the software-SMI dispatch protocol that
#   its in-SMM run locates through the boot services to register its three SMIs.
# - SetupHwSyncDxe: reads and rewrites non-volatile variables ("Setup", the port NV
#   variables) in its entry: the variable and variable-write architectural protocols.
# - PciBridgeProbeDxe: reads "Setup" (variable architectural protocol) and records its bridge
#   write in the S3 resume script (boot-script save protocol), both in its entry.
DRIVERS = {
    "FingerprintAuthDxe": ("0391CC52-9A19-41CD-95E5-E2445CCEDBE3", []),
    "FanControlSmm": ("AF513B2B-2738-42B4-ADDC-009DD248AD30", [SMM_BASE_PROTOCOL]),
    "FingerprintStatusSmm": ("7F882345-D85D-4E9C-9354-1A3DC1C6F1A4",
                             [SMM_BASE_PROTOCOL, SMM_SW_DISPATCH_PROTOCOL]),
    "SetupHwSyncDxe": ("FE7D1E89-62F6-4A15-9467-EDBD25DECD38",
                       [VARIABLE_ARCH_PROTOCOL, VARIABLE_WRITE_ARCH_PROTOCOL]),
    "PciBridgeProbeDxe": ("5A8CE58A-7858-405F-A391-21EB5A7F19B4",
                          [VARIABLE_ARCH_PROTOCOL, BOOT_SCRIPT_SAVE_PROTOCOL]),
}


class PackError(Exception):
    pass


def guid_bytes(text):
    """EFI_GUID layout: UINT32, UINT16, UINT16 little-endian, then 8 bytes as written."""
    try:
        return uuid.UUID(text).bytes_le
    except ValueError as error:
        raise PackError(f"bad GUID {text!r}: {error}") from None


def dependency_expression(protocols):
    if not protocols:
        return bytes([DEP_TRUE, DEP_END])
    expression = bytearray()
    for index, protocol in enumerate(protocols):
        expression += bytes([DEP_PUSH]) + guid_bytes(protocol)
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


def build_firmware_file(name, image, extra_sections):
    if name not in DRIVERS:
        raise PackError(f"no firmware-file GUID for {name!r}: add it to the DRIVERS table")
    file_guid, protocols = DRIVERS[name]
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
    parser.add_argument("--name", required=True, help="driver name (a key of the GUID table)")
    parser.add_argument("--image", required=True, help="the driver's PE32+ image")
    parser.add_argument("--output", required=True, help="the firmware file to write")
    parser.add_argument("--section", action="append", default=[],
                        help="extra section, freeform:<subtype GUID>:<file>")
    args = parser.parse_args(argv)
    try:
        with open(args.image, "rb") as stream:
            image = stream.read()
        check_pe_image(image, args.image)
        extra = [parse_extra_section(spec) for spec in args.section]
        data = build_firmware_file(args.name, image, extra)
    except (PackError, OSError) as error:
        print(f"make_ffs: {error}", file=sys.stderr)
        return 1
    temporary = args.output + ".tmp"
    with open(temporary, "wb") as stream:
        stream.write(data)
    os.replace(temporary, args.output)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
