#!/usr/bin/python3
"""Checks that every ctest name of the host build can be written down and reused with -R:

    check_test_names.py <ctest> <build dir>

A parameterised test must be named after its case by its suite's name generator: no name may
end in a bare instance number (/0, /1, ...: a suite without a generator), carry gtest's print
of the parameter (# GetParam() = ..., a byte dump that changes from build to build), or hold
anything but letters, digits, '_', '/' and '.'; no name may appear twice.
"""
import re
import subprocess
import sys

NAME = re.compile(r"^\s*Test\s+#\d+: (.*)$")
WRITABLE = re.compile(r"^[A-Za-z0-9_./]+$")


def main(argv):
    ctest, build = argv
    listing = subprocess.run([ctest, "--test-dir", build, "-N"], capture_output=True, text=True,
                             check=True).stdout
    names = [match.group(1) for match in map(NAME.match, listing.splitlines()) if match]
    problems = []
    if not names:
        problems.append("ctest lists no tests")
    seen = set()
    for name in names:
        if name in seen:
            problems.append(f"{name}: listed twice")
        seen.add(name)
        if "GetParam" in name:
            problems.append(f"{name}: carries the parameter's print")
        elif not WRITABLE.match(name):
            problems.append(f"{name}: characters other than letters, digits, '_', '/', '.'")
        if "." in name and re.search(r"/\d+$", name):
            problems.append(f"{name}: numbered, not named after its case")
    for problem in problems:
        print("FAIL: " + problem)
    print(f"{len(names)} test names, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
