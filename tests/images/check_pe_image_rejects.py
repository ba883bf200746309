#!/usr/bin/python3
"""Proves that the PE check refuses every kind of bad image it claims to catch.

    check_pe_image_rejects.py <subsystem> <image>

<image> must hold absolute addresses (so that it carries DIR64 relocations). The intact copy must
pass check_pe_image.py; each damaged copy in the table must fail it.
"""
import os
import struct
import subprocess
import sys
import tempfile

import pefile

from rejects import Judge

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKER = os.path.join(HERE, "check_pe_image.py")


def put(data, offset, fmt, value):
    struct.pack_into(fmt, data, offset, value)


def optional(field):
    return lambda pe: pe.OPTIONAL_HEADER.get_field_absolute_offset(field)


def section(name):
    def find(pe):
        for candidate in pe.sections:
            if candidate.Name.rstrip(b"\0") == name:
                return candidate
        raise RuntimeError(f"image has no {name} section")
    return find


def set_field(where, fmt, value):
    """value: a number, or a function of the intact image giving one."""
    def damage(data, pe):
        put(data, where(pe), fmt, value(pe) if callable(value) else value)
    return damage


def cut_in_half(data, pe):
    del data[len(data) // 2:]


def reloc_data_past_end(data, pe):
    reloc = section(b".reloc")(pe)
    put(data, reloc.get_field_absolute_offset("PointerToRawData"), "<I", len(data))


def entry_in(name):
    return set_field(optional("AddressOfEntryPoint"), "<I",
                     lambda pe: section(name)(pe).VirtualAddress + 4)


def directory(index, field):
    return lambda pe: pe.OPTIONAL_HEADER.DATA_DIRECTORY[index].get_field_absolute_offset(field)


def main(argv):
    subsystem, image = argv
    with open(image, "rb") as stream:
        intact = stream.read()
    pe = pefile.PE(data=intact)
    alignment = pe.OPTIONAL_HEADER.SectionAlignment
    cases = [
        ("file cut in half", cut_in_half),
        ("SizeOfImage one section alignment short",
         set_field(optional("SizeOfImage"), "<I", lambda p: p.OPTIONAL_HEADER.SizeOfImage
                   - alignment)),
        ("SizeOfImage not a multiple of the section alignment",
         set_field(optional("SizeOfImage"), "<I", lambda p: p.OPTIONAL_HEADER.SizeOfImage + 8)),
        ("SizeOfHeaders past the end of the file",
         set_field(optional("SizeOfHeaders"), "<I", len(intact) + 0x20)),
        ("entry point in .rdata", entry_in(b".rdata")),
        ("entry point outside every section",
         set_field(optional("AddressOfEntryPoint"), "<I", lambda p: p.OPTIONAL_HEADER.SizeOfImage
                   + 0x10)),
        ("no entry point", set_field(optional("AddressOfEntryPoint"), "<I", 0)),
        (".reloc raw data past the end of the file", reloc_data_past_end),
        ("machine i386", set_field(lambda p: p.FILE_HEADER.get_field_absolute_offset("Machine"),
                                   "<H", 0x14C)),
        ("relocations stripped",
         set_field(lambda p: p.FILE_HEADER.get_field_absolute_offset("Characteristics"), "<H",
                   lambda p: p.FILE_HEADER.Characteristics | 0x0001)),
        ("PE32 magic", set_field(optional("Magic"), "<H", 0x10B)),
        ("application subsystem", set_field(optional("Subsystem"), "<H", 10)),
        ("an import directory", set_field(directory(1, "Size"), "<I", 40)),
        ("base relocations dropped", set_field(directory(5, "Size"), "<I", 0)),
        ("no MZ signature", set_field(lambda p: 0, "<H", 0x5A5A)),
    ]
    judge = Judge()
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, os.path.basename(image))

        def run(data):
            with open(path, "wb") as stream:
                stream.write(data)
            result = subprocess.run([sys.executable, CHECKER, subsystem, path],
                                    capture_output=True, text=True, check=False)
            return result.returncode, (result.stdout + result.stderr).strip()

        code, output = run(intact)
        judge.sound("the intact image", code, "\n" + output)
        for label, damage in cases:
            data = bytearray(intact)
            damage(data, pe)
            code, output = run(bytes(data))
            # A crash of the check is no refusal.
            reported = [] if "Traceback" in output else [
                line.split(": ", 1)[-1] for line in output.splitlines()[:1]]
            judge.planted(label, code, reported, output)
    return judge.verdict(f"{len(cases)} damaged images")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
