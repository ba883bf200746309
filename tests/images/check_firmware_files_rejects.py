#!/usr/bin/python3
"""Proves that the firmware-file check finds damaged or wrongly packed files.

    check_firmware_files_rejects.py <UEFIExtract> <images dir> <module file> <guids.h>
                                    <driver declaration> <FingerprintAuthDxe declaration>

A declaration is <name>:<file GUID>:<protocol>,... as check_firmware_files.py takes it; the
driver must declare at least one protocol. Works on copies in a temporary folder: the driver's
image and firmware file from the build, and a FingerprintAuthDxe firmware file packed by
tools/ffs/make_ffs.py from the driver's image with FingerprintAuthDxe's declaration and the
legacy fingerprint module section (so that the module-section path is exercised whether or not
FingerprintAuthDxe is built). The intact set must pass check_firmware_files.py; each damage in
the table (bytes of a file edited, or a file packed from other inputs) must make it fail.
"""

import os
import shutil
import subprocess
import sys
import tempfile

from rejects import Judge

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


def change_file_guid(data):
    data[0] ^= 0x01
    recompute_checksums(data)


def or_instead_of_and(data):
    # The dependency section comes first; its expression ends in AND END for two protocols or
    # more: the same protocols, ORed.
    end = 24 + int.from_bytes(data[24:27], "little")
    if data[end - 2:end] != bytes([0x03, 0x08]):
        raise RuntimeError(f"dependency expression does not end in AND END: {data[24:end].hex()}")
    data[end - 2] = 0x04
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
    arguments it returns; depends, when given, replaces the protocols the target declares in
    that packing."""

    def __init__(self, label, target, damage=None, pack=None, depends=None):
        self.label, self.target, self.damage, self.pack = label, target, damage, pack
        self.depends = depends
        if depends is not None and pack is None:
            self.pack = without_sections


def main(argv):
    uefiextract, image_dir, module, guid_header = argv[:4]
    declarations = {}
    for argument in argv[4:6]:
        name, _, rest = argument.partition(":")
        file_guid, _, protocols = rest.partition(":")
        declarations[name] = (file_guid, [item for item in protocols.split(",") if item])
    driver = next(name for name in declarations if name != OWNER)
    declared = declarations[driver][1]
    if not declared or OWNER not in declarations:
        print(f"FAIL: need a driver that declares a protocol, and {OWNER}'s declaration")
        return 1
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
        Case("file GUID changed", driver, change_file_guid),
        Case("last byte cut off", driver, truncate),
        Case(f"{driver} depending on another protocol than it declares", driver,
             depends=declared[:-1] + ["EFI_LEGACY_BIOS_PROTOCOL_GUID"]),
        Case(f"{driver} without its last declared dependency", driver, depends=declared[:-1]),
        Case(f"{driver} with a dependency it does not declare", driver,
             depends=declared + ["EFI_PCI_IO_PROTOCOL_GUID"]),
        Case(f"{OWNER} depending on a protocol though it declares none", OWNER,
             pack=with_module, depends=["EFI_SMM_BASE_PROTOCOL_GUID"]),
        Case("FingerprintAuthDxe without the module section", OWNER, pack=without_sections),
        Case("FingerprintAuthDxe with a different module", OWNER, pack=with_other_module),
        Case(f"{driver} carrying the module section", driver, pack=with_module),
    ]
    if len(declared) >= 2:
        cases.append(Case(f"{driver}'s declared protocols ORed", driver, or_instead_of_and))
    judge = Judge()
    with tempfile.TemporaryDirectory() as work:

        def pack(folder, name, arguments, depends=None):
            file_guid, protocols = declarations[name]
            depends = protocols if depends is None else depends
            subprocess.run([sys.executable, PACKER, "--name", name, "--guid", file_guid,
                            "--guids", guid_header, "--image",
                            os.path.join(folder, name + ".efi"), "--output",
                            os.path.join(folder, name + ".ffs")]
                           + [f"--depends={protocol}" for protocol in depends] + arguments,
                           check=True)

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
                pack(folder, case.target, case.pack(module_copy, work), case.depends)
            if case and case.damage:
                path = os.path.join(folder, case.target + ".ffs")
                with open(path, "rb") as stream:
                    data = bytearray(stream.read())
                case.damage(data)
                with open(path, "wb") as stream:
                    stream.write(data)
            return subprocess.run([sys.executable, CHECKER, uefiextract, folder, module_copy,
                                   OWNER, guid_header] + argv[4:6], capture_output=True,
                                  text=True, check=False)

        intact = lay_out(None)
        judge.sound("the intact files", intact.returncode, "\n" + intact.stdout + intact.stderr)
        for case in cases:
            result = lay_out(case)
            reported = [line[6:] for line in result.stdout.splitlines() if line.startswith("FAIL")]
            judge.planted(case.label, result.returncode, reported)
    return judge.verdict(f"{len(cases)} damaged sets")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
