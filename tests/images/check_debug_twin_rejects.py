#!/usr/bin/python3
"""Proves that the debug-twin check refuses every kind of twin that does not describe its image.

    check_debug_twin_rejects.py <llvm-symbolizer> <checkout> <image.efi> <twin.debug>

<image> must carry base relocations. The intact pair must pass tools/debuginfo/debug_twin.py
check; each damaged copy of the twin in the table must fail it.
"""
import os
import struct
import subprocess
import sys
import tempfile

from rejects import Judge, fail_lines

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.path.join(HERE, "..", "..", "tools", "debuginfo", "debug_twin.py")
sys.path.insert(0, os.path.dirname(TOOL))
from debug_twin import DISCARDABLE, Pe  # noqa: E402


def section(pe, name):
    return next(s for s in pe.sections if s.name == name)


def flip_byte(name, offset=0):
    def plant(data, pe):
        data[section(pe, name).raw_offset + offset] ^= 0x5A
    return plant


def header_field(offset_of, fmt, change):
    def plant(data, pe):
        at = offset_of(pe)
        struct.pack_into(fmt, data, at, change(struct.unpack_from(fmt, data, at)[0]))
    return plant


def section_field(name, field_offset, change):
    return header_field(lambda pe: section(pe, name).header_offset + field_offset, "<I", change)


def rename_in_string_table(old, new):
    def plant(data, pe):
        at = data.find(old + b"\0", pe.string_table())
        data[at:at + len(new)] = new
    return plant


CASES = [
    ("a code byte differs", flip_byte(".text", 0x10)),
    ("a read-only data byte differs", flip_byte(".rdata", 0x8)),
    ("a relocation differs", flip_byte(".reloc", 0x9)),
    ("the data section lies elsewhere", section_field(".data", 12, lambda v: v + 0x1000)),
    ("the code section is longer", section_field(".text", 8, lambda v: v + 1)),
    ("another entry point", header_field(lambda pe: pe.optional + 16, "<I", lambda v: v + 4)),
    ("another time stamp", header_field(lambda pe: pe.coff + 4, "<I", lambda v: v ^ 1)),
    ("a DWARF section the loader would map",
     section_field(".debug_loc", 36, lambda v: v & ~DISCARDABLE)),
    ("no line table", rename_in_string_table(b".debug_line", b".debug_lime")),
]


def run(arguments):
    result = subprocess.run([sys.executable, "-B", TOOL, "check"] + arguments,
                            capture_output=True, text=True, check=False)
    return result.returncode, fail_lines(result.stdout), result.stdout + result.stderr


def main(argv):
    if len(argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    symbolizer, checkout, image, twin = argv
    with open(twin, "rb") as stream:
        intact = stream.read()
    pe = Pe(intact, twin)
    judge = Judge()
    sources = ["--symbolizer", symbolizer, "--sources", checkout]
    code, _, output = run(sources + [image, twin])
    judge.sound("the twin as built", code, output)
    with tempfile.TemporaryDirectory() as folder:
        for label, plant in CASES:
            data = bytearray(intact)
            plant(data, pe)
            damaged = os.path.join(folder, "damaged.debug")
            with open(damaged, "wb") as stream:
                stream.write(data)
            code, reported, output = run(sources + [image, damaged])
            judge.planted(label, code, reported, output)
        code, reported, output = run(["--symbolizer", symbolizer, "--sources", folder, image, twin])
        judge.planted("the entry point's source is not in the checkout", code, reported, output)
    return judge.verdict(f"{len(CASES) + 1} damaged twins and 1 intact one tried")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
