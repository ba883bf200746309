#!/usr/bin/python3
"""Debug twins of the firmware images: <Name>.debug beside <Name>.efi.

A twin is a second link of the very objects of an image, with the DWARF sections the compiler
wrote kept (lld-link /debug:dwarf). Its loaded sections (headers aside) are those of the image
byte for byte; after them it carries .debug_* sections that no loader maps. gdb and
llvm-symbolizer read it as a PE32+ file with DWARF: its addresses are the image's link
addresses, so a debugger loads it at (load address - ImageBase).

    debug_twin.py finish <image.efi> <twin.debug>
        Makes a freshly linked twin describe the image, then checks the pair:
        - the image's time stamps (with /Brepro the linker stamps each file with a hash of its
          own bytes, which differ by the DWARF sections);
        - the image's debug directory: for /debug the linker adds a CodeView entry (naming no
          file) and its record at the end of .rdata; the image has neither;
        - DW_AT_linkage_name turned into DW_AT_description: gdb demangles no Microsoft names
          and would take the mangled name for the function's, so that "break Name" finds
          nothing; the DWARF names every function by DW_AT_name and its scope;
        - no COFF symbol table, and in the DWARF strings every anonymous namespace's hash
          ("?A0x<hash>@" in a mangled name) made 0: clang hashes the source path as the compiler
          was given it, which differs between a build with and without the compiler cache (the
          linker maps get the same treatment, cmake/StableMap.cmake).
    debug_twin.py check [--symbolizer <llvm-symbolizer> --sources <checkout>]
                        <image.efi> <twin.debug> [<image.efi> <twin.debug> ...]
        Checks each pair: what the image's loader maps (every section, at its address, with its
        flags and bytes; entry point, image base, subsystem and data directories) is the same in
        both, and every extra section of the twin is discardable DWARF, with line information.
        With a symbolizer, the twin's line table must also name the entry point's source line,
        in a file of the checkout.

Each problem is printed as "FAIL: ..."; the exit code is 1 when there is one.
"""

import os
import re
import struct
import subprocess
import sys

DISCARDABLE = 0x02000000  # IMAGE_SCN_MEM_DISCARDABLE
INITIALIZED_DATA = 0x00000040  # IMAGE_SCN_CNT_INITIALIZED_DATA
COFF_SYMBOL_SIZE = 18
DEBUG_DIRECTORY = 6
DEBUG_ENTRY_SIZE = 28
REQUIRED_DWARF = (".debug_info", ".debug_abbrev", ".debug_line")
# Optional-header fields (offset from its start, struct format, name) that both files share. The
# ones left out describe the file, not what the loader maps: SizeOfInitializedData counts the
# DWARF sections, SizeOfImage spans them, SizeOfHeaders holds the longer section table.
SHARED_OPTIONAL_FIELDS = [
    (0, "<H", "Magic"), (4, "<I", "SizeOfCode"), (12, "<I", "SizeOfUninitializedData"),
    (16, "<I", "AddressOfEntryPoint"), (20, "<I", "BaseOfCode"), (24, "<Q", "ImageBase"),
    (32, "<I", "SectionAlignment"), (36, "<I", "FileAlignment"),
    (40, "<H", "MajorOperatingSystemVersion"), (42, "<H", "MinorOperatingSystemVersion"),
    (48, "<H", "MajorSubsystemVersion"), (50, "<H", "MinorSubsystemVersion"),
    (64, "<I", "CheckSum"), (68, "<H", "Subsystem"), (70, "<H", "DllCharacteristics"),
    (72, "<Q", "SizeOfStackReserve"), (80, "<Q", "SizeOfStackCommit"),
    (88, "<Q", "SizeOfHeapReserve"), (96, "<Q", "SizeOfHeapCommit"),
    (108, "<I", "NumberOfRvaAndSizes"),
]


class PeError(Exception):
    pass


class Section:
    def __init__(self, name, header_offset, fields):
        self.name = name
        self.header_offset = header_offset
        (self.virtual_size, self.virtual_address, self.raw_size, self.raw_offset,
         self.characteristics) = fields

    def loaded(self, data):
        """The section as a loader maps it: VirtualSize bytes, zero beyond the raw data."""
        raw = data[self.raw_offset:self.raw_offset + min(self.raw_size, self.virtual_size)]
        return raw + bytes(self.virtual_size - len(raw))


class Pe:
    """The parts of a PE32+ file this tool reads or rewrites."""

    def __init__(self, data, label):
        self.data = data
        self.label = label
        if len(data) < 0x40 or data[:2] != b"MZ":
            raise PeError(f"{label}: no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise PeError(f"{label}: no PE signature")
        self.coff = pe + 4
        (self.machine, count, self.time_stamp, self.symbol_table, self.symbol_count,
         optional_size, self.characteristics) = struct.unpack_from("<HHIIIHH", data, self.coff)
        self.optional = self.coff + 20
        if struct.unpack_from("<H", data, self.optional)[0] != 0x20B:
            raise PeError(f"{label}: not a PE32+ image")
        directory_count = struct.unpack_from("<I", data, self.optional + 108)[0]
        self.directories = [struct.unpack_from("<II", data, self.optional + 112 + 8 * index)
                            for index in range(min(directory_count, 16))]
        table = self.optional + optional_size
        if table + 40 * count > len(data):
            raise PeError(f"{label}: section table beyond the end of the file")
        self.sections = []
        for index in range(count):
            header = table + 40 * index
            raw_name = data[header:header + 8].rstrip(b"\0")
            fields = struct.unpack_from("<IIII", data, header + 8) + (
                struct.unpack_from("<I", data, header + 36)[0],)
            self.sections.append(Section(self.long_name(raw_name), header, fields))

    def string_table(self):
        return self.symbol_table + COFF_SYMBOL_SIZE * self.symbol_count

    def long_name(self, raw_name):
        """A section name; "/<offset>" names one held in the COFF string table."""
        if raw_name.startswith(b"/") and raw_name[1:].isdigit() and self.symbol_table:
            start = self.string_table() + int(raw_name[1:])
            end = self.data.find(b"\0", start)
            if start >= len(self.data) or end < 0:
                raise PeError(f"{self.label}: section name {raw_name!r} outside the string table")
            return self.data[start:end].decode("latin-1")
        return raw_name.decode("latin-1")

    def optional_field(self, offset, fmt):
        return struct.unpack_from(fmt, self.data, self.optional + offset)[0]

    def file_offset(self, rva):
        for section in self.sections:
            if section.virtual_address <= rva < section.virtual_address + section.raw_size:
                return section.raw_offset + rva - section.virtual_address
        raise PeError(f"{self.label}: RVA {rva:#x} is in no section's file data")

    def debug_entries(self):
        """File offsets of the debug directory's entries."""
        if len(self.directories) <= DEBUG_DIRECTORY or not self.directories[DEBUG_DIRECTORY][0]:
            return []
        rva, size = self.directories[DEBUG_DIRECTORY]
        start = self.file_offset(rva)
        return [start + DEBUG_ENTRY_SIZE * index for index in range(size // DEBUG_ENTRY_SIZE)]


def compare(image, twin):
    """The problems that keep twin from describing image (an empty list when it does)."""
    problems = []
    for what, ours, theirs in (("machine", image.machine, twin.machine),
                               ("characteristics", image.characteristics, twin.characteristics),
                               ("time stamp", image.time_stamp, twin.time_stamp)):
        if ours != theirs:
            problems.append(f"{what} {theirs:#x}, the image has {ours:#x}")
    for offset, fmt, name in SHARED_OPTIONAL_FIELDS:
        ours, theirs = image.optional_field(offset, fmt), twin.optional_field(offset, fmt)
        if ours != theirs:
            problems.append(f"{name} {theirs:#x}, the image has {ours:#x}")
    if image.directories != twin.directories:
        problems.append("data directories differ: %s, the image has %s"
                        % (twin.directories, image.directories))
    for index, section in enumerate(image.sections):
        if index >= len(twin.sections):
            problems.append(f"section {section.name} missing")
            continue
        other = twin.sections[index]
        if (other.name, other.virtual_address, other.virtual_size, other.characteristics) != (
                section.name, section.virtual_address, section.virtual_size,
                section.characteristics):
            problems.append(
                f"section {index}: {other.name} at {other.virtual_address:#x}, {other.virtual_size:#x}"
                f" bytes, flags {other.characteristics:#x}; the image has {section.name} at "
                f"{section.virtual_address:#x}, {section.virtual_size:#x} bytes, flags "
                f"{section.characteristics:#x}")
            continue
        ours, theirs = section.loaded(image.data), other.loaded(twin.data)
        if ours != theirs:
            first = next(at for at in range(len(ours)) if ours[at] != theirs[at])
            problems.append(f"section {section.name}: byte at RVA "
                            f"{section.virtual_address + first:#x} is {theirs[first]:#04x}, the "
                            f"image has {ours[first]:#04x}")
    extra = twin.sections[len(image.sections):]
    end = max((s.virtual_address + s.virtual_size for s in image.sections), default=0)
    for section in extra:
        if not section.name.startswith(".debug_") or not section.characteristics & DISCARDABLE:
            problems.append(f"extra section {section.name} (flags {section.characteristics:#x}) "
                            "is no discardable DWARF section")
        elif section.virtual_address < end:
            problems.append(f"DWARF section {section.name} overlaps the image's sections")
    names = {section.name for section in extra}
    for required in REQUIRED_DWARF:
        if required not in names:
            problems.append(f"no {required} section")
    return problems


# DWARF 4 attribute forms: fixed sizes, or how the value's size is read.
FIXED_FORMS = {0x01: 8, 0x05: 2, 0x06: 4, 0x07: 8, 0x0B: 1, 0x0C: 1, 0x0E: 4, 0x10: 4, 0x11: 1,
               0x12: 2, 0x13: 4, 0x14: 8, 0x17: 4, 0x19: 0, 0x20: 8}
DW_FORM_STRP = 0x0E
DW_AT_LINKAGE_NAME = 0x6E
DW_AT_DESCRIPTION = 0x5A
ANONYMOUS_NAMESPACE = re.compile(rb"\?A0x[0-9A-F]+@")


def uleb(data, at):
    value, shift = 0, 0
    while True:
        byte = data[at]
        at += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, at


def skip_form(data, at, form):
    """Where the value of an attribute of the given form that starts at at ends."""
    if form in FIXED_FORMS:
        return at + FIXED_FORMS[form]
    if form in (0x0D, 0x0F, 0x15):  # sdata, udata, ref_udata
        return uleb(data, at)[1]
    if form == 0x08:  # string
        return data.index(b"\0", at) + 1
    if form == 0x0A:  # block1
        return at + 1 + data[at]
    if form == 0x03:  # block2
        return at + 2 + struct.unpack_from("<H", data, at)[0]
    if form == 0x04:  # block4
        return at + 4 + struct.unpack_from("<I", data, at)[0]
    if form in (0x09, 0x18):  # block, exprloc
        size, at = uleb(data, at)
        return at + size
    if form == 0x16:  # indirect
        form, at = uleb(data, at)
        return skip_form(data, at, form)
    raise PeError(f"DWARF form {form:#x} not understood")


def abbreviations(data, at):
    """The abbreviation table at an offset of .debug_abbrev: code -> (has children, [forms])."""
    table = {}
    while True:
        code, at = uleb(data, at)
        if code == 0:
            return table
        _, at = uleb(data, at)  # tag
        has_children = data[at]
        at += 1
        attributes = []
        while True:
            name, at = uleb(data, at)
            form, at = uleb(data, at)
            if name == 0 and form == 0:
                break
            attributes.append(form)
        table[code] = (has_children, attributes)


def describe_linkage_names(data, abbrev):
    """Turns every DW_AT_linkage_name of the abbreviations into DW_AT_description (both codes
    take one byte, so nothing moves)."""
    at = abbrev.raw_offset
    end = at + abbrev.virtual_size
    while at < end:
        code, at = uleb(data, at)
        if code == 0:
            continue  # the end of one unit's table
        _, at = uleb(data, at)
        at += 1
        while True:
            name_at = at
            name, at = uleb(data, at)
            form, at = uleb(data, at)
            if name == 0 and form == 0:
                break
            if name == DW_AT_LINKAGE_NAME:
                data[name_at] = DW_AT_DESCRIPTION


def string_references(info, abbrev):
    """Offsets in .debug_info of every DW_FORM_strp value (32-bit DWARF 2 to 4)."""
    found = []
    unit = 0
    while unit + 11 <= len(info):
        length, version, abbrev_offset, _ = struct.unpack_from("<IHIB", info, unit)
        if length >= 0xFFFFFFF0 or not 2 <= version <= 4:
            raise PeError(f"compile unit at {unit:#x}: DWARF version {version} or 64-bit DWARF")
        table = abbreviations(abbrev, abbrev_offset)
        at, end = unit + 11, unit + 4 + length
        while at < end:
            code, at = uleb(info, at)
            if code == 0:
                continue
            for form in table[code][1]:
                while form == 0x16:
                    form, at = uleb(info, at)
                if form == DW_FORM_STRP:
                    found.append(at)
                at = skip_form(info, at, form)
        unit = end
    return found


def normalise_strings(data, twin):
    """Rewrites .debug_str with every anonymous namespace's hash made 0 and the references of
    .debug_info to it moved to the new offsets."""
    sections = {section.name: section for section in twin.sections}
    if not all(name in sections for name in (".debug_str", ".debug_info", ".debug_abbrev")):
        return
    strings, info, abbrev = (sections[name] for name in (".debug_str", ".debug_info",
                                                         ".debug_abbrev"))
    old = bytes(strings.loaded(data))
    info_bytes = bytearray(info.loaded(data))
    new = bytearray()
    moved = {}
    for reference in string_references(info_bytes, abbrev.loaded(data)):
        offset = struct.unpack_from("<I", info_bytes, reference)[0]
        if offset not in moved:
            end = old.index(b"\0", offset)
            moved[offset] = len(new)
            new += ANONYMOUS_NAMESPACE.sub(b"?A0x0@", old[offset:end]) + b"\0"
        struct.pack_into("<I", info_bytes, reference, moved[offset])
    if len(new) > strings.raw_size or len(info_bytes) > info.raw_size:
        raise PeError("rewritten DWARF strings do not fit")
    if any(s.raw_offset > strings.raw_offset for s in twin.sections):
        raise PeError(".debug_str is not the last section of the file")
    data[info.raw_offset:info.raw_offset + len(info_bytes)] = info_bytes
    # The shorter strings end the file's sections: the file, the image size, the size of the
    # initialised data and the symbol table's place follow them, as the linker would have set
    # them for strings of this length.
    file_alignment = twin.optional_field(36, "<I")
    section_alignment = twin.optional_field(32, "<I")
    raw_size = -(-len(new) // file_alignment) * file_alignment
    shrink = strings.raw_size - raw_size
    data[strings.raw_offset:strings.raw_offset + strings.raw_size] = new.ljust(raw_size, b"\0")
    struct.pack_into("<II", data, strings.header_offset + 8, len(new), strings.virtual_address)
    struct.pack_into("<I", data, strings.header_offset + 16, raw_size)
    if strings.characteristics & INITIALIZED_DATA:
        struct.pack_into("<I", data, twin.optional + 8, twin.optional_field(8, "<I") - shrink)
    end = max(s.virtual_address + (len(new) if s is strings else s.virtual_size)
              for s in twin.sections)
    struct.pack_into("<I", data, twin.optional + 56,
                     -(-end // section_alignment) * section_alignment)
    if twin.symbol_table:
        struct.pack_into("<I", data, twin.coff + 8, twin.symbol_table - shrink)


def finish(image_path, twin_path):
    with open(image_path, "rb") as stream:
        image = Pe(stream.read(), image_path)
    with open(twin_path, "rb") as stream:
        data = bytearray(stream.read())
    twin = Pe(bytes(data), twin_path)
    struct.pack_into("<I", data, twin.coff + 4, image.time_stamp)
    # The image's debug directory, at the same address: the twin's section that holds it ends
    # where the image's does (the linker put the CodeView entry's record after everything else).
    if len(image.directories) > DEBUG_DIRECTORY and image.directories[DEBUG_DIRECTORY][0]:
        rva, size = image.directories[DEBUG_DIRECTORY]
        if twin.directories[DEBUG_DIRECTORY][0] != rva:
            raise PeError(f"{twin_path}: debug directory at "
                          f"{twin.directories[DEBUG_DIRECTORY][0]:#x}, the image's at {rva:#x}")
        ours = next(s for s in image.sections
                    if s.virtual_address <= rva < s.virtual_address + s.virtual_size)
        theirs = next(s for s in twin.sections if s.virtual_address == ours.virtual_address)
        at = twin.file_offset(rva)
        directory = image.data[image.file_offset(rva):image.file_offset(rva) + size]
        tail = theirs.raw_offset + theirs.raw_size - at
        data[at:at + tail] = directory + bytes(tail - size)
        struct.pack_into("<I", data, theirs.header_offset + 8, ours.virtual_size)
        struct.pack_into("<II", data, twin.optional + 112 + 8 * DEBUG_DIRECTORY, rva, size)
        twin = Pe(bytes(data), twin_path)
    normalise_strings(data, twin)
    twin = Pe(bytes(data), twin_path)
    for section in twin.sections:
        if section.name == ".debug_abbrev":
            describe_linkage_names(data, section)
    # No COFF symbols: the string table moves to where the symbol table began and keeps only the
    # long section names, which are given new offsets.
    if twin.symbol_table:
        if twin.symbol_table < max(s.raw_offset + s.raw_size for s in twin.sections):
            raise PeError(f"{twin_path}: symbol table before the end of the section data")
        table = bytearray(4)
        for section in twin.sections:
            name = section.name.encode("latin-1")
            if len(name) > 8:
                field = b"/%d" % len(table)
                table += name + b"\0"
            else:
                field = name
            data[section.header_offset:section.header_offset + 8] = field.ljust(8, b"\0")
        struct.pack_into("<I", table, 0, len(table))
        del data[twin.symbol_table:]
        data += table
        struct.pack_into("<I", data, twin.coff + 12, 0)  # NumberOfSymbols; the pointer stays
    problems = compare(image, Pe(bytes(data), twin_path))
    with open(twin_path, "wb") as stream:
        stream.write(data)
    return problems


def entry_line(symbolizer, sources, image, twin_path):
    """The problem with the source line the twin gives for the image's entry point, if any."""
    address = image.optional_field(24, "<Q") + image.optional_field(16, "<I")
    run = subprocess.run([symbolizer, "--obj=" + twin_path, hex(address)], capture_output=True,
                         text=True, check=False)
    lines = run.stdout.split("\n")
    where = lines[1] if len(lines) > 1 else ""
    match = re.fullmatch(r"(.+):(\d+):\d+", where)
    if run.returncode != 0 or not match or int(match.group(2)) == 0:
        return [f"no source line for the entry point {address:#x}: {run.stdout.strip()!r}"]
    if not os.path.isfile(os.path.join(sources, match.group(1))):
        return [f"the entry point's source {match.group(1)} is no file of {sources}"]
    print(f"{twin_path}: entry point {lines[0]} at {where}")
    return []


def main(argv):
    symbolizer = sources = None
    if argv[1:2] == ["--symbolizer"] and argv[3:4] == ["--sources"]:
        symbolizer, sources = argv[2], argv[4]
        argv = argv[:1] + argv[5:]
    if len(argv) < 3 or argv[0] not in ("finish", "check") or len(argv[1:]) % 2:
        print(__doc__, file=sys.stderr)
        return 2
    problems = []
    pairs = list(zip(argv[1::2], argv[2::2]))
    for image_path, twin_path in pairs:
        try:
            if argv[0] == "finish":
                found = finish(image_path, twin_path)
            else:
                with open(image_path, "rb") as stream:
                    image = Pe(stream.read(), image_path)
                with open(twin_path, "rb") as stream:
                    found = compare(image, Pe(stream.read(), twin_path))
                if symbolizer and not found:
                    found = entry_line(symbolizer, sources, image, twin_path)
        except (OSError, PeError, struct.error, ValueError, IndexError) as error:
            found = [str(error)]
        problems += [f"{twin_path}: {problem}" for problem in found]
        if not found:
            print(f"{twin_path}: describes {image_path}")
    for problem in problems:
        print("FAIL: " + problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
