#!/usr/bin/python3
"""Checks that each file is a loadable x64 EFI boot-service driver (or application) image:
PE32+, machine 0x8664, the expected subsystem, relocations not stripped, a base-relocation
directory whenever the image holds absolute addresses, no import table; the headers and every
section's raw data inside the file, SizeOfImage covering every section (a multiple of the
section alignment), and an entry point inside an executable section.

    check_pe_image.py <subsystem> <image>..."""
import sys

import pefile

DIR64 = 10
IMAGE_SCN_CNT_CODE = 0x00000020
IMAGE_SCN_MEM_EXECUTE = 0x20000000


def absolute_address_slots(pe):
    """RVAs of 8-byte slots in initialised data that hold an address inside the image's own
    preferred range: those must be covered by DIR64 relocations."""
    base = pe.OPTIONAL_HEADER.ImageBase
    end = base + pe.OPTIONAL_HEADER.SizeOfImage
    slots = set()
    for section in pe.sections:
        if section.Characteristics & IMAGE_SCN_MEM_EXECUTE:  # code: addresses are RIP-relative
            continue
        data = section.get_data()
        for offset in range(0, len(data) - 7, 8):
            value = int.from_bytes(data[offset:offset + 8], "little")
            if base <= value < end:
                slots.add(section.VirtualAddress + offset)
    return slots


def layout_problems(pe, file_size):
    """The file holds what the headers promise, and the loaded image holds every section."""
    problems = []
    header = pe.OPTIONAL_HEADER
    if header.SizeOfHeaders > file_size:
        problems.append("SizeOfHeaders 0x%x past the end of the file (0x%x bytes)"
                        % (header.SizeOfHeaders, file_size))
    alignment = header.SectionAlignment
    if alignment == 0 or header.SizeOfImage % alignment:
        problems.append("SizeOfImage 0x%x not a multiple of the section alignment 0x%x"
                        % (header.SizeOfImage, alignment))
    for section in pe.sections:
        name = section.Name.rstrip(b"\0").decode(errors="replace")
        end_of_data = section.PointerToRawData + section.SizeOfRawData
        if section.SizeOfRawData and end_of_data > file_size:
            problems.append("section %s: raw data up to 0x%x past the end of the file (0x%x bytes)"
                            % (name, end_of_data, file_size))
        end_in_memory = section.VirtualAddress + max(section.Misc_VirtualSize,
                                                     section.SizeOfRawData)
        if end_in_memory > header.SizeOfImage:
            problems.append("section %s ends at 0x%x, past SizeOfImage 0x%x"
                            % (name, end_in_memory, header.SizeOfImage))
    entry = header.AddressOfEntryPoint
    if entry == 0:
        problems.append("no entry point")
    else:
        holders = [s for s in pe.sections
                   if s.VirtualAddress <= entry < s.VirtualAddress + s.Misc_VirtualSize]
        if not holders or not holders[0].Characteristics & IMAGE_SCN_MEM_EXECUTE or \
                not holders[0].Characteristics & IMAGE_SCN_CNT_CODE:
            problems.append("entry point 0x%x not inside a code section" % entry)
    return problems


def check(path, subsystem):
    with open(path, "rb") as stream:
        data = stream.read()
    try:
        pe = pefile.PE(data=data)
    except pefile.PEFormatError as error:
        return ["not a PE image: %s" % error], 0
    problems = []
    if pe.FILE_HEADER.Machine != 0x8664:
        problems.append("machine 0x%x, not 0x8664" % pe.FILE_HEADER.Machine)
    if pe.OPTIONAL_HEADER.Magic != 0x20B:
        return problems + ["not PE32+ (optional-header magic 0x%x)" % pe.OPTIONAL_HEADER.Magic], 0
    if pe.OPTIONAL_HEADER.Subsystem != subsystem:
        problems.append("subsystem %d, not %d" % (pe.OPTIONAL_HEADER.Subsystem, subsystem))
    if pe.FILE_HEADER.Characteristics & 0x0001:
        problems.append("relocations stripped")
    problems += layout_problems(pe, len(data))
    imports = pe.OPTIONAL_HEADER.DATA_DIRECTORY[1]
    if imports.Size != 0 or hasattr(pe, "DIRECTORY_ENTRY_IMPORT"):
        problems.append("has an import table")
    relocated = set()
    for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []):
        for entry in block.entries:
            if entry.type == DIR64:
                relocated.add(entry.rva)
            elif entry.type != 0:
                problems.append("relocation type %d at 0x%x" % (entry.type, entry.rva))
    missing = absolute_address_slots(pe) - relocated
    if missing:
        problems.append("absolute addresses without a relocation at %s" %
                        ", ".join("0x%x" % rva for rva in sorted(missing)))
    return problems, len(relocated)


def main():
    subsystem = int(sys.argv[1])
    failed = False
    for path in sys.argv[2:]:
        problems, relocations = check(path, subsystem)
        if problems:
            failed = True
            for problem in problems:
                print("%s: %s" % (path, problem))
        else:
            print("%s: ok (%d DIR64 relocations)" % (path, relocations))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
