#!/usr/bin/python3
"""Checks that an SMM image touches no floating-point or SIMD state: the SMM timer callback is
registered without floating-point save, so the interrupted code's x87, MMX, SSE and AVX state
must stay as it was.

    check_no_simd.py <llvm-objdump> <image or COFF object>...

Every executable section (IMAGE_SCN_MEM_EXECUTE or IMAGE_SCN_CNT_CODE, whatever its name) is
disassembled, and no instruction may
  - name an xmm, ymm, zmm, mm, x87 stack (st) or AVX-512 mask (k) register;
  - be an x87 instruction (every mnemonic starting with "f", and wait), emms or femms;
  - save, restore or load floating-point state or its control: fxsave, fxrstor, ldmxcsr,
    stmxcsr (and their VEX forms), xsave*, xrstor*.
"""
import re
import struct
import subprocess
import sys

IMAGE_SCN_CNT_CODE = 0x00000020
IMAGE_SCN_MEM_EXECUTE = 0x20000000

REGISTER = re.compile(r"%(?:[xyz]mm\d+|mm\d|st\b|st\(\d\)|k[0-7]\b)")
MNEMONIC = re.compile(r"^(?:f\w+|wait|emms|v?ldmxcsr|v?stmxcsr|xsave\w*|xrstor\w*)$")
INSTRUCTION = re.compile(r"^\s*[0-9a-f]+:\s+(.*)$")


def executable_sections(path):
    """Names of the executable sections of a PE image or a COFF object."""
    with open(path, "rb") as stream:
        data = stream.read()
    if data[:2] == b"MZ":
        header = struct.unpack_from("<I", data, 0x3C)[0] + 4
    else:
        header = 0  # a COFF object starts with its file header
    count = struct.unpack_from("<H", data, header + 2)[0]
    optional_size = struct.unpack_from("<H", data, header + 16)[0]
    table = header + 20 + optional_size
    names = []
    for index in range(count):
        entry = table + 40 * index
        name = data[entry:entry + 8].rstrip(b"\0").decode(errors="replace")
        characteristics = struct.unpack_from("<I", data, entry + 36)[0]
        if characteristics & (IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_CNT_CODE):
            names.append(name)
    return list(dict.fromkeys(names))


def mnemonics(text):
    """The prefix and mnemonic words of one disassembled instruction (before its operands)."""
    words = []
    for word in text.split():
        if not re.match(r"^[a-z][a-z0-9]*$", word):
            break
        words.append(word)
    return words


def check(objdump, path):
    sections = executable_sections(path)
    if not sections:
        return [f"{path}: no executable section"], 0
    arguments = [objdump, "-D", "--no-show-raw-insn"]
    arguments += [f"--section={name}" for name in sections] + [path]
    run = subprocess.run(arguments, capture_output=True, text=True, check=False)
    if run.returncode != 0:
        return [f"{path}: {objdump} failed: {run.stderr.strip()}"], 0
    problems = []
    instructions = 0
    for line in run.stdout.splitlines():
        match = INSTRUCTION.match(line)
        if not match:
            continue
        instructions += 1
        text = match.group(1).split("#")[0].split("<")[0].strip()
        if REGISTER.search(text) or any(MNEMONIC.match(word) for word in mnemonics(text)):
            problems.append(f"{path}: {line.strip()}")
    if instructions == 0:
        problems.append(f"{path}: no instructions found in {', '.join(sections)}")
    return problems, instructions


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    objdump = argv[0]
    failed = False
    for path in argv[1:]:
        problems, instructions = check(objdump, path)
        for problem in problems:
            print("FAIL: " + problem)
        if problems:
            failed = True
        else:
            print(f"{path}: {instructions} instructions, no floating-point or SIMD state touched")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
