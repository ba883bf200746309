#!/usr/bin/python3
"""Checks the firmware files (.ffs) of the firmware build against what each driver declares.

    check_firmware_files.py <UEFIExtract> <images dir> <module file> <module owner> <guids.h>
                            <driver>:<file GUID>:<protocol>,...  (one per driver)

Each driver argument is the driver's declaration (add_uefi_driver's FILE_GUID and DEPENDS_ON):
its name, its file GUID and the names of the protocols it depends on, EFI_GUID constants of
<guids.h>, read here on their own. Every driver declared, and every other .ffs or .efi in the
images folder, must have a firmware file that
  - passes our own reading of the format: size field, header checksum (8-bit sum 0 with the file
    checksum and State counted as 0), data checksum (FFS_ATTRIB_CHECKSUM set: 8-bit sum of the
    body and the file checksum is 0; clear: file checksum 0xAA), State 0x07, file type DRIVER,
    sections at 4-byte-aligned offsets tiling the file exactly, unique file GUID;
  - says what the driver declares: the declared file GUID; one user-interface section with the
    driver's name; one well-formed DXE dependency section that requires exactly the declared
    protocols, all of them ANDed (TRUE when none is declared);
  - holds exactly one PE32 section equal to <driver>.efi and, for <module owner> only, one
    freeform subtype-GUID section carrying the legacy fingerprint module (GUID
    202C0685-C94D-4DB4-A8CE-682D7C37CD44, then the module file's bytes);
  - parses in UEFIExtract without a complaint, with valid checksums, the same sections, the
    name, the declared protocols in the parsed dependency expression, the image and the module
    as UEFIExtract dumps them. UEFIExtract reads firmware volumes, so the files are put into one
    volume (FFS2, erase polarity 1, files 8-byte aligned) the way a volume builder would.
"""

import os
import re
import struct
import sys
import tempfile
import uuid

from uefiextract import (SECTION_NAMES, Failures, dump_one_volume, guid_text, numbered_children,
                         read_info)

FINGERPRINT_MODULE_SECTION_GUID = "202C0685-C94D-4DB4-A8CE-682D7C37CD44"
FFS2_FILE_SYSTEM_GUID = "8C8CE578-8A3D-4F1C-9935-896185C32DD3"

PE32, DXE_DEPEX, USER_INTERFACE, FREEFORM = 0x10, 0x13, 0x15, 0x18
UEFIEXTRACT_SUBTYPES = SECTION_NAMES


def sections_of(data, fail, name):
    """Walks the sections of a firmware file body; returns [(offset, type, payload)]."""
    sections = []
    offset = end = 24
    while offset < len(data):
        if not fail.check(offset + 4 <= len(data), f"{name}: bytes after the last section"):
            return sections
        size = int.from_bytes(data[offset:offset + 3], "little")
        kind = data[offset + 3]
        if not fail.check(4 <= size <= len(data) - offset,
                          f"{name}: section at 0x{offset:X} has bad size {size}"):
            return sections
        sections.append((offset, kind, bytes(data[offset + 4:offset + size])))
        end = offset + size
        offset = end + (-end % 4)  # the next section starts 4-byte aligned
    fail.check(end == len(data), f"{name}: padding after the last section")
    return sections


def depex_is_well_formed(expression):
    """Checks the dependency expression's grammar: operands and operators balance and END
    closes it, leaving one value."""
    depth = 0
    index = 0
    while index < len(expression):
        opcode = expression[index]
        index += 1
        if opcode in (0x00, 0x01):  # BEFORE/AFTER <file GUID>: only alone, then END
            return index == 1 and len(expression) == 18 and expression[17] == 0x08
        if opcode == 0x02:  # PUSH <protocol GUID>
            if index + 16 > len(expression):
                return False
            depth += 1
            index += 16
        elif opcode in (0x03, 0x04):  # AND, OR: two values in, one out
            if depth < 2:
                return False
            depth -= 1
        elif opcode == 0x05:  # NOT: one value in, one out
            if depth < 1:
                return False
        elif opcode in (0x06, 0x07):  # TRUE, FALSE
            depth += 1
        elif opcode == 0x08:  # END
            return index == len(expression) and depth == 1
        elif opcode == 0x09:  # SOR: only as the first opcode
            if index != 1:
                return False
        else:
            return False
    return False


def depex_protocols(expression):
    """The protocols a dependency expression of PUSH, AND and TRUE requires, as sorted GUID
    texts; None when it uses any other opcode (OR, NOT, BEFORE, AFTER, SOR, FALSE), which no
    declaration of ours gives."""
    stack = []
    index = 0
    while index < len(expression):
        opcode = expression[index]
        index += 1
        if opcode == 0x02 and index + 16 <= len(expression):
            stack.append({guid_text(expression[index:index + 16])})
            index += 16
        elif opcode == 0x03 and len(stack) >= 2:
            stack.append(stack.pop() | stack.pop())
        elif opcode == 0x06:
            stack.append(set())
        elif opcode == 0x08 and index == len(expression) and len(stack) == 1:
            return sorted(stack[0])
        else:
            return None
    return None


# inline constexpr EFI_GUID NAME = {0x12345678, 0x1234, 0x1234, {0x12, ... 8 bytes}};
GUID_CONSTANT = re.compile(
    r"inline\s+constexpr\s+EFI_GUID\s+(\w+)\s*=\s*\{\s*0x([0-9A-Fa-f]+)\s*,\s*0x([0-9A-Fa-f]+)"
    r"\s*,\s*0x([0-9A-Fa-f]+)\s*,\s*\{([^}]*)\}\s*\}\s*;")


def guid_constants(path):
    """{name: GUID text} of the EFI_GUID constants a header defines."""
    with open(path, encoding="utf-8") as stream:
        text = stream.read()
    constants = {}
    for match in GUID_CONSTANT.finditer(text):
        name, data1, data2, data3, rest = match.groups()
        tail = bytes(int(byte, 16) for byte in re.findall(r"0x([0-9A-Fa-f]+)", rest))
        raw = struct.pack("<IHH", int(data1, 16), int(data2, 16), int(data3, 16)) + tail
        constants[name] = guid_text(raw) if len(tail) == 8 else None
    return constants


class Declaration:
    """What a driver declares about its firmware file: file GUID and required protocols."""

    def __init__(self, argument, constants, fail):
        self.name, _, rest = argument.partition(":")
        file_guid, _, protocols = rest.partition(":")
        self.file_guid = file_guid.upper()
        self.protocol_names = [item for item in protocols.split(",") if item]
        self.protocols = []
        for protocol in self.protocol_names:
            if fail.check(constants.get(protocol), f"{self.name}: declares {protocol!r}, which "
                          "is no EFI_GUID constant of the GUID header"):
                self.protocols.append(constants[protocol])
        self.protocols.sort()


def check_file(name, data, image, module, is_owner, declared, fail):
    """Our own reading of one firmware file, against the driver's declaration (None: the driver
    declares nothing). Returns its GUID text."""
    if not fail.check(len(data) >= 24, f"{name}: shorter than a file header"):
        return None
    header = data[:24]
    file_guid = guid_text(header[:16])
    size = int.from_bytes(header[20:23], "little")
    fail.check(size == len(data), f"{name}: size field {size}, file has {len(data)} bytes")
    fail.check(header[18] == 0x07, f"{name}: file type 0x{header[18]:02X}, expected DRIVER 0x07")
    attributes = header[19]
    fail.check(attributes & 0x01 == 0, f"{name}: large-file/tail attribute set")
    fail.check((sum(header) - header[17] - header[23]) & 0xFF == 0,
               f"{name}: header checksum does not make the header sum 0")
    if attributes & 0x40:
        fail.check((sum(data[24:]) + header[17]) & 0xFF == 0,
                   f"{name}: data checksum does not make the body sum 0")
    else:
        fail.check(header[17] == 0xAA, f"{name}: no checksum attribute but file checksum "
                   f"0x{header[17]:02X} instead of 0xAA")
    fail.check(header[23] == 0x07, f"{name}: State 0x{header[23]:02X}, expected 0x07")

    sections = sections_of(data, fail, name)
    by_type = {}
    for _, kind, payload in sections:
        by_type.setdefault(kind, []).append(payload)
    fail.check(set(by_type) <= {PE32, DXE_DEPEX, USER_INTERFACE, FREEFORM},
               f"{name}: unexpected section types {sorted(set(by_type))}")
    for kind in (PE32, DXE_DEPEX, USER_INTERFACE):
        fail.check(len(by_type.get(kind, [])) == 1,
                   f"{name}: {len(by_type.get(kind, []))} sections of type 0x{kind:02X}, "
                   "expected 1")
    if by_type.get(PE32):
        fail.check(by_type[PE32][0] == image, f"{name}: PE32 section differs from {name}.efi")
    if by_type.get(DXE_DEPEX):
        expression = by_type[DXE_DEPEX][0]
        if fail.check(depex_is_well_formed(expression),
                      f"{name}: malformed dependency expression {expression.hex()}") and declared:
            required = depex_protocols(expression)
            wanted = f"the driver declares {declared.protocols} " \
                f"({', '.join(declared.protocol_names) or 'TRUE'})"
            if fail.check(required is not None, f"{name}: dependency expression "
                          f"{expression.hex()} is not an AND of protocols; {wanted}"):
                fail.check(required == declared.protocols,
                           f"{name}: dependency expression requires {required}; {wanted}")
    if declared:
        fail.check(file_guid == declared.file_guid,
                   f"{name}: file GUID {file_guid}, the driver declares {declared.file_guid}")
    if by_type.get(USER_INTERFACE):
        fail.check(by_type[USER_INTERFACE][0] == (name + "\0").encode("utf-16-le"),
                   f"{name}: user-interface section is {by_type[USER_INTERFACE][0]!r}")
    module_sections = [p for p in by_type.get(FREEFORM, [])
                       if len(p) >= 16 and guid_text(p[:16]) == FINGERPRINT_MODULE_SECTION_GUID]
    if is_owner:
        fail.check(len(module_sections) == 1,
                   f"{name}: {len(module_sections)} legacy fingerprint module sections, expected 1")
        if module_sections:
            fail.check(module_sections[0][16:] == module,
                       f"{name}: module section differs from the module file")
    else:
        fail.check(not by_type.get(FREEFORM), f"{name}: unexpected freeform section")
    return file_guid


def build_volume(files):
    """A PI firmware volume (FFS2, erase polarity 1) holding the files, 4 KiB blocks."""
    block = 0x1000
    header_length = 56 + 16  # one block-map entry and the terminating one
    body = bytearray()
    for data in files:
        body += b"\xff" * (-len(body) % 8)
        stored = bytearray(data)
        stored[23] ^= 0xFF  # State is kept inverted under erase polarity 1
        body += stored
    total = header_length + len(body)
    total += -total % block
    header = bytearray(16) + uuid.UUID(FFS2_FILE_SYSTEM_GUID).bytes_le
    header += struct.pack("<Q4sIHHHBB", total, b"_FVH", 0x0004FEFF, header_length, 0, 0, 0, 2)
    header += struct.pack("<IIII", total // block, block, 0, 0)
    checksum = sum(struct.unpack(f"<{header_length // 2}H", header)) & 0xFFFF
    struct.pack_into("<H", header, 50, -checksum & 0xFFFF)
    volume = header + body
    return bytes(volume + b"\xff" * (total - len(volume)))


def read_bytes(path):
    with open(path, "rb") as stream:
        return stream.read()


def check_with_uefiextract(uefiextract, files, module, owner, fail):
    """files: {name: (guid text, ffs bytes, image bytes, declaration or None)}."""
    with tempfile.TemporaryDirectory() as work:
        volume_path = os.path.join(work, "drivers.fv")
        with open(volume_path, "wb") as stream:
            stream.write(build_volume([data for _, data, _, _ in files.values()]))
        volume = dump_one_volume(uefiextract, volume_path, fail)
        if volume is None:
            return
        found = {}
        for folder in numbered_children(volume):
            info = read_info(folder)
            if info.get("Type") == "File":
                found[info.get("File GUID")] = (folder, info)

        for name, (file_guid, _, image, declared) in files.items():
            if not fail.check(file_guid in found, f"{name}: UEFIExtract did not find {file_guid}"):
                continue
            folder, info = found[file_guid]
            fail.check(info.get("Subtype") == "DXE driver", f"{name}: UEFIExtract type "
                       f"{info.get('Subtype')!r}")
            fail.check(info.get("Text") == name, f"{name}: UEFIExtract name {info.get('Text')!r}")
            for field in ("Header checksum", "Data checksum"):
                fail.check(info.get(field, "").endswith(", valid"),
                           f"{name}: UEFIExtract {field}: {info.get(field)!r}")
            sections = [(path, read_info(path)) for path in numbered_children(folder)]
            subtypes = [section_info.get("Subtype") for _, section_info in sections]
            expected = [UEFIEXTRACT_SUBTYPES[DXE_DEPEX], UEFIEXTRACT_SUBTYPES[PE32],
                        UEFIEXTRACT_SUBTYPES[USER_INTERFACE]]
            if name == owner:
                expected.append(UEFIEXTRACT_SUBTYPES[FREEFORM])
            fail.check(sorted(subtypes) == sorted(expected),
                       f"{name}: UEFIExtract sections {subtypes}, expected {expected}")
            for path, section_info in sections:
                subtype = section_info.get("Subtype")
                body = read_bytes(os.path.join(path, "body.bin"))
                if subtype == UEFIEXTRACT_SUBTYPES[PE32]:
                    fail.check(body == image, f"{name}: UEFIExtract's PE32 body differs from "
                               "the image")
                    fail.check(section_info.get("Subsystem") == "000Bh",
                               f"{name}: UEFIExtract subsystem {section_info.get('Subsystem')}")
                elif subtype == UEFIEXTRACT_SUBTYPES[USER_INTERFACE]:
                    fail.check(section_info.get("Text") == name,
                               f"{name}: UEFIExtract UI text {section_info.get('Text')!r}")
                elif subtype == UEFIEXTRACT_SUBTYPES[DXE_DEPEX]:
                    lines = section_info["_lines"]
                    parsed = lines[lines.index("Parsed expression:") + 1:] \
                        if "Parsed expression:" in lines else []
                    fail.check(parsed and parsed[-1].strip() == "END",
                               f"{name}: UEFIExtract could not parse the dependency expression")
                    pushed = sorted(line.split()[1].upper() for line in parsed
                                    if line.startswith("PUSH "))
                    fail.check(not declared or pushed == declared.protocols,
                               f"{name}: UEFIExtract reads the protocols {pushed}, the driver "
                               f"declares {declared.protocols if declared else None}")
                elif subtype == UEFIEXTRACT_SUBTYPES[FREEFORM]:
                    fail.check(section_info.get("Subtype GUID") == FINGERPRINT_MODULE_SECTION_GUID,
                               f"{name}: UEFIExtract subtype GUID "
                               f"{section_info.get('Subtype GUID')}")
                    fail.check(body == module, f"{name}: UEFIExtract's module body differs from "
                               "the module file")


def main(argv):
    if len(argv) < 5:
        print(__doc__, file=sys.stderr)
        return 2
    uefiextract, image_dir, module_path, owner, guid_header = argv[:5]
    fail = Failures()
    constants = guid_constants(guid_header)
    declarations = {}
    for argument in argv[5:]:
        declaration = Declaration(argument, constants, fail)
        declarations[declaration.name] = declaration
    names = list(declarations)
    for entry in sorted(os.listdir(image_dir)):
        stem, extension = os.path.splitext(entry)
        if extension in (".ffs", ".efi") and stem not in names:
            names.append(stem)
            fail.items.append(f"{stem}: {entry} in the images folder, but no driver declares it")
    if not os.path.isfile(uefiextract):
        print(f"FAIL: UEFIExtract not found at {uefiextract!r} (Debian package uefitool-cli)")
        return 1
    if not fail.check(names, "no driver images to check"):
        print("\n".join(fail.items))
        return 1
    module = read_bytes(module_path)
    fail.check(len(module) > 3, "legacy fingerprint module file is empty")

    files = {}
    guids = {}
    for name in names:
        ffs_path = os.path.join(image_dir, name + ".ffs")
        efi_path = os.path.join(image_dir, name + ".efi")
        if not fail.check(os.path.isfile(ffs_path), f"{name}: no {name}.ffs"):
            continue
        if not fail.check(os.path.isfile(efi_path), f"{name}: no {name}.efi"):
            continue
        data = read_bytes(ffs_path)
        image = read_bytes(efi_path)
        file_guid = check_file(name, data, image, module, name == owner,
                               declarations.get(name), fail)
        if file_guid is None:
            continue
        fail.check(file_guid not in guids,
                   f"{name}: file GUID {file_guid} also used by {guids.get(file_guid)}")
        guids[file_guid] = name
        files[name] = (file_guid, data, image, declarations.get(name))
        print(f"{name}.ffs: {len(data)} bytes, {file_guid}")

    if files:
        check_with_uefiextract(uefiextract, files, module, owner, fail)
    for item in fail.items:
        print("FAIL: " + item)
    print(f"{len(files)} firmware files checked, {len(fail.items)} problems")
    return 1 if fail.items else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
