#!/usr/bin/python3
"""Checks the legacy fingerprint module stand-in as FingerprintAuthDxe will run it.

    check_legacy_module.py <module file>

Layout: offsets 0 and 3 are 3-byte near jumps over the header into the code, the header at 6
carries "FPMS" and the image length, and the module fits the 0x40000 bytes its window has.

Behaviour: the module is run in a 16-bit real-mode CPU emulator (python3-unicorn) exactly as
FarCall86 enters it: image at physical 0x40000, far call to 4000:0003, DS:BX = 3000:1000 at the
fingerprint request block, a return address on the stack. For every case the module must come
back with a far return to the caller, answer in AX, leave every other register as it was and
leave the block unchanged. One case enters at offset 0, which must reach the same code. Exit code 77 (skipped) when python3-unicorn is not installed.
"""

import struct
import sys

MODULE_BASE = 0x40000
BLOCK = 0x31000
RETURN_CS, RETURN_IP = 0x0000, 0x0500
STACK_SS, STACK_TOP = 0x2000, 0xFFF0

# (entry offset, request code, block word 0, block word 2, expected AX)
CASES = [
    (3, 5, 2, 88, 0),       # module ready
    (3, 3, 2, 88, 0),       # hard-disk mapping reset
    (3, 4, 2, 88, 0),       # end of a system-password run
    (3, 0, 2, 88, 1),       # fingerprint request: no reader driven
    (3, 1, 2, 88, 1),       # store a password: no storage
    (3, 2, 2, 88, 2),       # never sent by the host: unknown
    (3, 0x77, 2, 88, 2),    # unknown
    (3, 5, 1, 88, 3),       # header word 0 wrong
    (3, 5, 2, 87, 3),       # header length wrong
    (0, 5, 2, 88, 0),       # the jump at the image start reaches the same dispatcher
]


def check_layout(module, failures):
    if not 14 <= len(module) <= 0x40000:
        failures.append(f"module length {len(module)} outside 14..0x40000")
        return
    for entry in (0, 3):
        if module[entry] != 0xE9:
            failures.append(f"offset {entry}: 0x{module[entry]:02X}, expected a near jump (E9)")
            continue
        target = entry + 3 + struct.unpack_from("<h", module, entry + 1)[0]
        if not 14 <= target < len(module):
            failures.append(f"offset {entry}: jump to 0x{target:X} leaves the code")
    if module[6:10] != b"FPMS":
        failures.append(f"header signature {module[6:10]!r}, expected b'FPMS'")
    length = struct.unpack_from("<H", module, 12)[0]
    if length != len(module):
        failures.append(f"header length {length}, image has {len(module)} bytes")


def run_cases(module, failures):
    try:
        from unicorn import Uc, UC_ARCH_X86, UC_MODE_16, UcError
        from unicorn import x86_const as x86
    except ImportError:
        return False

    for entry, code, version, length, expected in CASES:
        emu = Uc(UC_ARCH_X86, UC_MODE_16)
        emu.mem_map(0, 0x100000)
        emu.mem_write(MODULE_BASE, module)
        block = bytearray(88)
        struct.pack_into("<HHB", block, 0, version, length, code)
        block[5:88] = bytes((index * 37 + 11) & 0xFF for index in range(5, 88))
        emu.mem_write(BLOCK, bytes(block))
        emu.mem_write(RETURN_CS * 16 + RETURN_IP, b"\xf4")  # hlt where the module returns to
        stack = STACK_TOP - 4
        emu.mem_write(STACK_SS * 16 + stack, struct.pack("<HH", RETURN_IP, RETURN_CS))
        registers = {
            x86.UC_X86_REG_AX: 0xA5A5, x86.UC_X86_REG_BX: 0x1000, x86.UC_X86_REG_CX: 0x1111,
            x86.UC_X86_REG_DX: 0x2222, x86.UC_X86_REG_SI: 0x3333, x86.UC_X86_REG_DI: 0x4444,
            x86.UC_X86_REG_BP: 0x5555, x86.UC_X86_REG_DS: 0x3000, x86.UC_X86_REG_ES: 0x6666,
            x86.UC_X86_REG_SS: STACK_SS, x86.UC_X86_REG_SP: stack,
            x86.UC_X86_REG_CS: MODULE_BASE >> 4,
        }
        names = {getattr(x86, "UC_X86_REG_" + name): name for name in
                 ("AX", "BX", "CX", "DX", "SI", "DI", "BP", "DS", "ES", "SS", "SP", "CS")}
        for register, value in registers.items():
            emu.reg_write(register, value)
        label = f"request {code} (header {version}, {length}) at offset {entry}"
        try:
            emu.emu_start(MODULE_BASE + entry, RETURN_CS * 16 + RETURN_IP, count=10000)
        except UcError as error:
            failures.append(f"{label}: the module faulted: {error}")
            continue
        cs, ip = emu.reg_read(x86.UC_X86_REG_CS), emu.reg_read(x86.UC_X86_REG_IP)
        if (cs, ip) != (RETURN_CS, RETURN_IP):
            failures.append(f"{label}: did not far-return to the caller (stopped at {cs:04X}:{ip:04X})")
            continue
        answer = emu.reg_read(x86.UC_X86_REG_AX)
        if answer != expected:
            failures.append(f"{label}: AX = 0x{answer:04X}, expected 0x{expected:04X}")
        registers[x86.UC_X86_REG_SP] = stack + 4
        registers[x86.UC_X86_REG_CS] = RETURN_CS
        for register, value in registers.items():
            if register == x86.UC_X86_REG_AX:
                continue
            if emu.reg_read(register) != value:
                failures.append(f"{label}: {names[register]} is 0x{emu.reg_read(register):X}, "
                                f"was 0x{value:X}")
        if bytes(emu.mem_read(BLOCK, 88)) != bytes(block):
            failures.append(f"{label}: the module changed the request block")
    return True


def main(argv):
    (module_path,) = argv
    with open(module_path, "rb") as stream:
        module = stream.read()
    failures = []
    check_layout(module, failures)
    ran = run_cases(module, failures)
    for failure in failures:
        print("FAIL: " + failure)
    if failures:
        return 1
    if not ran:
        print("layout checked; python3-unicorn is not installed, the module was not run")
        return 77
    print(f"module of {len(module)} bytes: layout and {len(CASES)} requests checked")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
