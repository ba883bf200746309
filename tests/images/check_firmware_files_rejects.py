#!/usr/bin/python3
"""Proves that the firmware-file check finds damaged or wrongly packed files.

    check_firmware_files_rejects.py <UEFIExtract> <images dir> <module file> <driver>

Works on copies in a temporary folder: <driver>'s image and firmware file from the build, and a
FingerprintAuthDxe firmware file packed by tools/ffs/make_ffs.py from <driver>'s image with the
legacy fingerprint module section (so that the module-section path is exercised whether or not
FingerprintAuthDxe is built). The intact set must pass check_firmware_files.py; each damage in
the table must make it fail.
"""

import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKER = os.path.join(HERE, "check_firmware_files.py")
PACKER = os.path.join(HERE, "..", "..", "tools", "ffs", "make_ffs.py")
OWNER = "FingerprintAuthDxe"
MODULE_SECTION = "freeform:202C0685-C94D-4DB4-A8CE-682D7C37CD44:{}"


def recompute_checksums(data):
    state = data[23]
    data[16] = data[17] = data[23] = 0
    data[16] = -sum(data[:24]) & 0xFF
    data[17] = -sum(data[24:]) & 0xFF
    data[23] = state


def flip(offset):
    def damage(data):
        data[offset] ^= 0x01
    return damage


def rename_ui(data):
    # The user-interface section is the last one of a driver without extra sections: the file
    # ends with the name's last character and the terminating NUL.
    data[-4] ^= 0x01
    recompute_checksums(data)


def set_state(data):
    data[23] = 0x03


def truncate(data):
    del data[-1]


def set_file_type(data):
    data[18] = 0x09  # application
    recompute_checksums(data)


def drop_checksum_attribute(data):
    # Without the attribute the file checksum must read 0xAA. The packed checksum byte is
    # whatever the body sums to, so it is set to a value that is certainly not 0xAA.
    data[19] &= ~0x40
    data[17] = 0xAB
    data[16] = 0
    data[16] = -(sum(data[:24]) - data[17] - data[23]) & 0xFF


def with_module(module, work):
    return ["--section", MODULE_SECTION.format(module)]


def without_sections(module, work):
    return []


def with_other_module(module, work):
    other = os.path.join(work, "other-module.bin")
    with open(module, "rb") as stream:
        data = bytearray(stream.read())
    data[-1] ^= 0xFF
    with open(other, "wb") as stream:
        stream.write(data)
    return with_module(other, work)


class Case:
    """damage edits the bytes of target's firmware file; pack repacks target with the packer
    arguments it returns."""

    def __init__(self, label, target, damage=None, pack=None):
        self.label, self.target, self.damage, self.pack = label, target, damage, pack


def main(argv):
    uefiextract, image_dir, module, driver = argv
    # Damages of a built file (bytes edited) or of a packing (packer run with other inputs).
    cases = [
        Case("header checksum off by one", driver, flip(16)),
        Case("data checksum off by one", driver, flip(17)),
        Case("a byte of the image changed", driver, flip(100)),
        Case("State not 0x07", driver, set_state),
        Case("file type not DRIVER", driver, set_file_type),
        Case("checksum attribute cleared without the fixed checksum", driver,
             drop_checksum_attribute),
        Case("user-interface name changed", driver, rename_ui),
        Case("last byte cut off", driver, truncate),
        Case("FingerprintAuthDxe without the module section", OWNER, pack=without_sections),
        Case("FingerprintAuthDxe with a different module", OWNER, pack=with_other_module),
        Case(f"{driver} carrying the module section", driver, pack=with_module),
    ]
    failures = []
    with tempfile.TemporaryDirectory() as work:

        def pack(folder, name, arguments):
            subprocess.run([sys.executable, PACKER, "--name", name, "--image",
                            os.path.join(folder, name + ".efi"), "--output",
                            os.path.join(folder, name + ".ffs")] + arguments, check=True)

        def lay_out(case):
            folder = os.path.join(work, "set")
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)
            for extension in (".efi", ".ffs"):
                shutil.copy(os.path.join(image_dir, driver + extension), folder)
            shutil.copy(os.path.join(image_dir, driver + ".efi"),
                        os.path.join(folder, OWNER + ".efi"))
            module_copy = os.path.join(folder, "module.bin")
            shutil.copy(module, module_copy)
            pack(folder, OWNER, with_module(module_copy, work))
            if case and case.pack:
                pack(folder, case.target, case.pack(module_copy, work))
            if case and case.damage:
                path = os.path.join(folder, case.target + ".ffs")
                with open(path, "rb") as stream:
                    data = bytearray(stream.read())
                case.damage(data)
                with open(path, "wb") as stream:
                    stream.write(data)
            return subprocess.run([sys.executable, CHECKER, uefiextract, folder, module_copy,
                                   OWNER, driver, OWNER], capture_output=True, text=True,
                                  check=False)

        intact = lay_out(None)
        if intact.returncode != 0:
            failures.append("the intact files do not pass:\n" + intact.stdout + intact.stderr)
        for case in cases:
            result = lay_out(case)
            reported = [line for line in result.stdout.splitlines() if line.startswith("FAIL")]
            if result.returncode == 0 or not reported:
                failures.append(f"not caught: {case.label}")
            else:
                print(f"caught: {case.label}: {reported[0][6:]}")
    for failure in failures:
        print("FAIL: " + failure)
    print(f"{len(cases)} damaged sets, {len(failures)} problems")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
