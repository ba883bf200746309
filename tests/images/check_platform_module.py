#!/usr/bin/python3
"""Proves that the build packs the platform's own legacy fingerprint module when it is given one
(-DLEGACY_FINGERPRINT_MODULE=<file>), and stops on a module FingerprintAuthDxe would refuse.

    check_platform_module.py <cmake> <source dir>

Configures the uefi preset into a temporary folder with a module of exactly the largest size the
driver loads (FP_MODULE_MAX_SIZE bytes, a pattern that does not repeat within 256 bytes, so a
shifted or cut copy shows), builds FingerprintAuthDxe.ffs and the size table, and checks that
  - the firmware file has exactly one freeform section of the module's GUID, holding that
    file's bytes, and images/LegacyFingerprintModule.bin is that file;
  - the size table names the platform's module on FingerprintAuthDxe's row, the configure step
    names it too.
Then, in the same folder, each refused module must stop the configure or the build with a message
that says why: one byte more than the limit, an empty file, a path that does not exist.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import uuid

MODULE_SECTION_GUID = uuid.UUID("202C0685-C94D-4DB4-A8CE-682D7C37CD44").bytes_le
FREEFORM_SUBTYPE_GUID = 0x18


def module_sections(ffs):
    """Payloads (after the subtype GUID) of the freeform sections naming the module's GUID."""
    found, offset = [], 24
    while offset + 4 <= len(ffs):
        size = int.from_bytes(ffs[offset:offset + 3], "little")
        if size < 4:
            break
        payload = ffs[offset + 4:offset + size]
        if ffs[offset + 3] == FREEFORM_SUBTYPE_GUID and payload[:16] == MODULE_SECTION_GUID:
            found.append(payload[16:])
        offset += size + (-size % 4)
    return found


def limit_of(source):
    with open(os.path.join(source, "platform", "fingerprint_module.h"), encoding="utf-8") as text:
        for line in text:
            if "FP_MODULE_MAX_SIZE =" in line:
                return int(line.split("=")[1].strip(" ;\n"), 0)
    raise SystemExit("FAIL: platform/fingerprint_module.h defines no FP_MODULE_MAX_SIZE")


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    cmake, source = argv
    limit = limit_of(source)
    problems = []
    work = tempfile.mkdtemp(prefix="platform-module-")
    build = os.path.join(work, "build")
    launcher = []
    if shutil.which("ccache"):
        launcher = ["-DCMAKE_C_COMPILER_LAUNCHER=ccache", "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"]

    def run(step):
        return subprocess.run(step, cwd=source, capture_output=True, text=True, check=False)

    def configure(module):
        return run([cmake, "--preset", "uefi", "-B", build, f"-DLEGACY_FINGERPRINT_MODULE={module}"]
                   + launcher)

    def build_file():
        return run([cmake, "--build", build, "--target", "FingerprintAuthDxe_ffs",
                    "uefi_size_table"])

    try:
        fitting = os.path.join(work, "PlatformModule.bin")
        module = bytes((index * 37 + (index >> 8) * 11 + 5) & 0xFF for index in range(limit))
        with open(fitting, "wb") as stream:
            stream.write(module)
        step = configure(fitting)
        if step.returncode != 0:
            print(step.stdout[-3000:] + step.stderr[-3000:])
            print("FAIL: configure with a module of the largest size failed")
            return 1
        if "the platform's module PlatformModule.bin" not in step.stdout:
            problems.append("configure does not say that the platform's module is packed")
        step = build_file()
        if step.returncode != 0:
            print(step.stdout[-3000:] + step.stderr[-3000:])
            print(f"FAIL: build with a module of {limit} bytes failed")
            return 1
        images = os.path.join(build, "images")
        with open(os.path.join(images, "FingerprintAuthDxe.ffs"), "rb") as stream:
            found = module_sections(stream.read())
        if len(found) != 1:
            problems.append(f"FingerprintAuthDxe.ffs has {len(found)} module sections, expected 1")
        elif found[0] != module:
            problems.append(f"FingerprintAuthDxe.ffs carries {len(found[0])} module bytes that "
                            f"are not the {limit} bytes of PlatformModule.bin")
        else:
            print(f"carried: FingerprintAuthDxe.ffs holds the {limit} bytes of PlatformModule.bin")
        with open(os.path.join(images, "LegacyFingerprintModule.bin"), "rb") as stream:
            if stream.read() != module:
                problems.append("images/LegacyFingerprintModule.bin is not the platform's module")
        with open(os.path.join(images, "sizes.md"), encoding="utf-8") as stream:
            rows = [line for line in stream if line.startswith("| `FingerprintAuthDxe`")]
        expected = f"the platform's module PlatformModule.bin, {limit} bytes"
        if len(rows) != 1 or expected not in rows[0]:
            problems.append(f"size table row {rows!r} does not say {expected!r}")
        else:
            print("named: " + rows[0].strip())

        refused = [("one byte over the limit", limit + 1, "FP_MODULE_MAX_SIZE"),
                   ("empty", 0, "is empty"),
                   ("no such file", None, "no such file")]
        for label, size, reason in refused:
            path = os.path.join(work, f"Refused{size}.bin")
            if size is not None:
                with open(path, "wb") as stream:
                    stream.write(module[:size] + bytes(max(0, size - len(module))))
            step = configure(path)
            output = step.stdout + step.stderr
            if step.returncode == 0:
                step = build_file()
                output = step.stdout + step.stderr
            # CMake wraps its messages: judge the words, not the lines.
            words = " ".join(output.split())
            if step.returncode == 0:
                problems.append(f"{label}: the module was accepted")
            elif reason not in words:
                problems.append(f"{label}: refused without saying {reason!r}: {words[-600:]}")
            else:
                at = words.index(reason)
                print(f"refused: {label}: ...{words[max(0, at - 100):at + 60]}...")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for problem in problems:
        print("FAIL: " + problem)
    print(f"1 module packed, 3 refused, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
