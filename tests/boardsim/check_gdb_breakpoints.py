#!/usr/bin/python3
"""Proves the documented debugger recipe for the simulated board: gdb with
scripts/boardsim-gdb.py runs boardsim, breakpoints set by function name before the images exist
stop inside the images with the source file and line, and each load of an image (an SMM driver
runs twice, from two loads) gets its own symbols.

    check_gdb_breakpoints.py <gdb> <boardsim> <checkout>

gdb stops at FanControlEntryPoint twice (outside SMM, then the copy loaded inside SMM) and then
at FingerprintAuthenticate. At each stop: the frame is that function's, in the file that defines
it; the line gdb shows is the text of that line of the file; the program counter lies in the
image load the script reported for that function's driver; the two entry-point stops lie in two
different loads.
"""
import os
import re
import subprocess
import sys

STOPS = [("FanControlEntryPoint", "FanControlSmm", "fan_control_smm/fan_control_smm.cpp"),
         ("FanControlEntryPoint", "FanControlSmm", "fan_control_smm/fan_control_smm.cpp"),
         ("FingerprintAuthenticate", "FingerprintAuthDxe", "fingerprint_auth/auth_flow.cpp")]
LOADED = re.compile(r"^\[board\] (\S+) loaded at (0x[0-9a-f]+): symbols from (\S+)$")
STOPPED = re.compile(r"^(?:Breakpoint|Thread [\d.]+ \S+ hit Breakpoint) [\d.]+, (\w+) \(.*\) at (\S+):(\d+)$")
PC = re.compile(r"^stop pc (0x[0-9a-f]+)$")
SOURCE = re.compile(r"^(\d+)\t(.*)$")


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    gdb, boardsim, checkout = argv
    if not os.path.isfile(gdb) and not os.path.isfile("/usr/bin/" + gdb):
        print("FAIL: no gdb (install the Debian package gdb: scripts/install-dependencies.sh)")
        return 1
    commands = ["-x", os.path.join(checkout, "scripts", "boardsim-gdb.py"),
                "-ex", "break FanControlEntryPoint", "-ex", "break FingerprintAuthenticate",
                "-ex", "run"]
    for _ in STOPS[1:]:
        commands += ["-ex", "printf \"stop pc %#lx\\n\", $pc", "-ex", "continue"]
    commands += ["-ex", "printf \"stop pc %#lx\\n\", $pc", "-ex", "kill"]
    run = subprocess.run([gdb, "-nx", "-batch"] + commands + ["--args", boardsim],
                         capture_output=True, text=True, timeout=300, check=False)
    output = run.stdout + run.stderr
    problems = []
    loads = []  # (name, base) in load order
    stops = []  # [function, file, line, source text, pc]
    for line in output.splitlines():
        if LOADED.match(line):
            name, base, _ = LOADED.match(line).groups()
            loads.append((name, int(base, 16)))
        elif STOPPED.match(line):
            function, path, number = STOPPED.match(line).groups()
            stops.append([function, path, int(number), None, None, list(loads)])
        elif SOURCE.match(line) and stops and stops[-1][3] is None:
            number, text = SOURCE.match(line).groups()
            if int(number) == stops[-1][2]:
                stops[-1][3] = text
        elif PC.match(line) and stops and stops[-1][4] is None:
            stops[-1][4] = int(PC.match(line).group(1), 16)
    if len(stops) != len(STOPS):
        problems.append(f"{len(stops)} breakpoint stops, expected {len(STOPS)}")
    bases = []
    for (function, image, path), stop in zip(STOPS, stops):
        got_function, got_path, number, text, pc, loads_before = stop
        what = f"stop at {function}"
        if (got_function, got_path) != (function, path):
            problems.append(f"{what}: stopped in {got_function} at {got_path}")
            continue
        with open(os.path.join(checkout, path), encoding="utf-8") as source:
            lines = source.read().split("\n")
        if text is None or not 0 < number <= len(lines) or lines[number - 1] != text:
            problems.append(f"{what}: line {number} shown as {text!r}, the file has "
                            f"{lines[number - 1] if 0 < number <= len(lines) else None!r}")
        mine = [base for name, base in loads_before if name == image]
        if pc is None or not mine or not 0 < pc - mine[-1] < 0x100000:
            problems.append(f"{what}: pc {pc} is not in the last load of {image} ({mine})")
            continue
        bases.append(mine[-1])
        print(f"ok: {function} stopped at {path}:{number} ({text.strip()}), pc {pc:#x} in "
              f"{image} loaded at {mine[-1]:#x}")
    if len(bases) >= 2 and bases[0] == bases[1]:
        problems.append("both FanControlEntryPoint stops lie in the same load")
    for problem in problems:
        print("FAIL: " + problem)
    if problems:
        print(output[-6000:])
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
