#!/usr/bin/python3
"""Proves that the no-SIMD check finds every kind of floating-point or SIMD instruction it
claims to catch, wherever it sits in executable code.

    check_no_simd_rejects.py <llvm-objdump> <SMM image>

The intact image must pass check_no_simd.py. Each case writes one instruction into a copy: at
the start of .text (over whole instructions, the rest of them filled with nop), or at the start
of .rdata after marking that section executable and filling it with nop (code the linker placed
outside .text). Each copy must fail the check; the executable .rdata of nothing but nop must
pass it, so that it is the planted instruction that is caught there.
"""
import os
import re
import struct
import subprocess
import sys
import tempfile

from rejects import Judge, fail_lines

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKER = os.path.join(HERE, "check_no_simd.py")
IMAGE_SCN_MEM_EXECUTE = 0x20000000
NOP = 0x90

# (what, instruction bytes)
INSTRUCTIONS = [
    ("SSE movaps %xmm0, %xmm1", bytes.fromhex("0f28c8")),
    ("AVX vmovaps %ymm0, %ymm1", bytes.fromhex("c5fc28c8")),
    ("AVX-512 kmovw %k1, %eax", bytes.fromhex("c5f893c1")),
    ("x87 fld1", bytes.fromhex("d9e8")),
    ("x87 fnstcw (%rax)", bytes.fromhex("d938")),
    ("x87 fwait", bytes.fromhex("9b")),
    ("MMX movq %mm0, %mm1", bytes.fromhex("0f6fc8")),
    ("MMX emms", bytes.fromhex("0f77")),
    ("fxsave (%rax)", bytes.fromhex("0fae00")),
    ("fxrstor (%rax)", bytes.fromhex("0fae08")),
    ("ldmxcsr (%rax)", bytes.fromhex("0fae10")),
    ("stmxcsr (%rax)", bytes.fromhex("0fae18")),
    ("xsave (%rax)", bytes.fromhex("0fae20")),
    ("xrstor (%rax)", bytes.fromhex("0fae28")),
]


def sections(data):
    """{name: (header offset, virtual address, raw data offset, raw size, characteristics)}."""
    header = struct.unpack_from("<I", data, 0x3C)[0] + 4
    count = struct.unpack_from("<H", data, header + 2)[0]
    optional_size = struct.unpack_from("<H", data, header + 16)[0]
    image_base = struct.unpack_from("<Q", data, header + 20 + 24)[0]
    found = {}
    for index in range(count):
        entry = header + 20 + optional_size + 40 * index
        name = data[entry:entry + 8].rstrip(b"\0").decode()
        address, raw_size, raw = struct.unpack_from("<III", data, entry + 12)
        characteristics = struct.unpack_from("<I", data, entry + 36)[0]
        found[name] = (entry, image_base + address, raw, raw_size, characteristics)
    return found


def text_boundaries(objdump, path, start):
    """Addresses of the instruction starts in .text, from its first byte on."""
    listing = subprocess.run([objdump, "-d", "--no-show-raw-insn", "--section=.text", path],
                             capture_output=True, text=True, check=True).stdout
    return sorted(int(match.group(1), 16) - start
                  for match in re.finditer(r"^\s*([0-9a-f]+):", listing, re.MULTILINE))


def main(argv):
    objdump, image = argv
    with open(image, "rb") as stream:
        intact = stream.read()
    table = sections(intact)
    _, text_address, text_raw, _, _ = table[".text"]
    boundaries = text_boundaries(objdump, image, text_address)
    rdata_entry, _, rdata_raw, rdata_size, rdata_flags = table[".rdata"]

    def in_text(code):
        data = bytearray(intact)
        end = next(offset for offset in boundaries if offset >= len(code))
        data[text_raw:text_raw + end] = code + bytes([NOP]) * (end - len(code))
        return data

    def in_executable_rdata(code):
        data = bytearray(intact)
        struct.pack_into("<I", data, rdata_entry + 36, rdata_flags | IMAGE_SCN_MEM_EXECUTE)
        data[rdata_raw:rdata_raw + rdata_size] = code + bytes([NOP]) * (rdata_size - len(code))
        return data

    cases = [(f"{what} in .text", in_text(code)) for what, code in INSTRUCTIONS]
    cases += [(f"{what} in .rdata marked executable", in_executable_rdata(code))
              for what, code in INSTRUCTIONS[:1]]
    judge = Judge()
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, os.path.basename(image))

        def run(data):
            with open(path, "wb") as stream:
                stream.write(data)
            result = subprocess.run([sys.executable, CHECKER, objdump, path],
                                    capture_output=True, text=True, check=False)
            return result.returncode, result.stdout + result.stderr

        for label, data in (("the intact image", intact),
                            (".rdata of nop marked executable", in_executable_rdata(b""))):
            code, output = run(data)
            judge.sound(label, code, "\n" + output)
        for label, data in cases:
            code, output = run(data)
            judge.planted(label, code,
                          [message.split(": ", 1)[-1].strip() for message in fail_lines(output)])
    return judge.verdict(f"{len(cases)} planted instructions")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
