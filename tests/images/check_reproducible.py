#!/usr/bin/python3
"""Proves that the firmware build is reproducible: the same sources and toolchain give the same
bytes, wherever the build folder is.

    check_reproducible.py <cmake> <source dir> <build dir> [-D<option>=<value>]...

Configures the uefi preset a second time into a fresh temporary folder (compiler cache off, so
that every object is compiled again; the options given, such as the legacy module the first
build packs), builds it, and compares every file the second build wrote
into images/ (.efi, .ffs, .map, the volume, the module) byte for byte with the same file of
<build dir>. No output of either build may hold the source folder's or a build folder's path.
Files that only <build dir> has (left from an older build) are named, not compared.
"""

import os
import shutil
import subprocess
import sys
import tempfile


def files_of(folder):
    found = {}
    for root, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(root, name)
            found[os.path.relpath(path, folder)] = path
    return found


def read(path):
    with open(path, "rb") as stream:
        return stream.read()


def main(argv):
    if len(argv) < 3 or not all(arg.startswith("-D") for arg in argv[3:]):
        print(__doc__, file=sys.stderr)
        return 2
    cmake, source, first = (os.path.realpath(arg) if index else arg
                            for index, arg in enumerate(argv[:3]))
    options = argv[3:]
    problems = []
    second = tempfile.mkdtemp(prefix="uefi-second-build-")
    try:
        environment = dict(os.environ, CCACHE_DISABLE="1")
        for step in ([cmake, "--preset", "uefi", "-B", second, "-DCMAKE_C_COMPILER_LAUNCHER=",
                      "-DCMAKE_CXX_COMPILER_LAUNCHER="] + options,
                     [cmake, "--build", second, "-j2"]):
            run = subprocess.run(step, cwd=source, env=environment, capture_output=True,
                                 text=True, check=False)
            if run.returncode != 0:
                print(run.stdout[-4000:] + run.stderr[-4000:])
                print(f"FAIL: {' '.join(step)} exited with {run.returncode}")
                return 1

        first_files = files_of(os.path.join(first, "images"))
        second_files = files_of(os.path.join(second, "images"))
        if not second_files:
            problems.append("the second build wrote no images")
        host_paths = [path.encode() for path in (source, first, second)]
        for name, path in sorted(second_files.items()):
            data = read(path)
            if name not in first_files:
                problems.append(f"{name}: written by the second build only")
                continue
            if read(first_files[name]) != data:
                problems.append(f"{name}: differs between the two builds")
            else:
                print(f"{name}: {len(data)} bytes, equal")
            for candidate in (data, read(first_files[name])):
                for host_path in host_paths:
                    if host_path in candidate:
                        problems.append(f"{name}: holds the host path {host_path.decode()}")
        for name in sorted(set(first_files) - set(second_files)):
            print(f"{name}: only in {first}/images (left from an older build?), not compared")
    finally:
        shutil.rmtree(second, ignore_errors=True)
    for problem in dict.fromkeys(problems):
        print("FAIL: " + problem)
    print(f"{len(second_files)} outputs compared, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
