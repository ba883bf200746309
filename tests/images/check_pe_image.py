#!/usr/bin/python3
"""Checks that each file is a loadable x64 EFI boot-service driver (or application) image:
PE32+, machine 0x8664, the expected subsystem, relocations not stripped, a base-relocation
directory whenever the image holds absolute addresses, no import table, an entry point."""
import sys

import pefile

DIR64 = 10


def absolute_address_slots(pe):
    """RVAs of 8-byte slots in initialised data that hold an address inside the image's own
    preferred range: those must be covered by DIR64 relocations."""
    base = pe.OPTIONAL_HEADER.ImageBase
    end = base + pe.OPTIONAL_HEADER.SizeOfImage
    slots = set()
    for section in pe.sections:
        if section.Characteristics & 0x20000000:  # executable code: addresses are RIP-relative
            continue
        data = section.get_data()
        for offset in range(0, len(data) - 7, 8):
            value = int.from_bytes(data[offset:offset + 8], "little")
            if base <= value < end:
                slots.add(section.VirtualAddress + offset)
    return slots


def check(path, subsystem):
    problems = []
    pe = pefile.PE(path)
    if pe.FILE_HEADER.Machine != 0x8664:
        problems.append("machine 0x%x, not 0x8664" % pe.FILE_HEADER.Machine)
    if pe.OPTIONAL_HEADER.Magic != 0x20B:
        problems.append("not PE32+")
    if pe.OPTIONAL_HEADER.Subsystem != subsystem:
        problems.append("subsystem %d, not %d" % (pe.OPTIONAL_HEADER.Subsystem, subsystem))
    if pe.FILE_HEADER.Characteristics & 0x0001:
        problems.append("relocations stripped")
    if pe.OPTIONAL_HEADER.AddressOfEntryPoint == 0:
        problems.append("no entry point")
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
