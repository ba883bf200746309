#!/usr/bin/env python3
"""A driver cannot take boardsim down, and its crash reports are stable: copies of the images
with stray writes and jumps planted at PciBridgeProbeDxe's entry point. Whatever the driver does,
boardsim ends with the report up to that point, names the driver and what it hit, and exits 1;
no report holds a host address, and two runs give the same report.

Usage: check_containment.py <boardsim> <work dir> <kept scenario folder>"""
import json
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from boardsim_checks import Checks  # noqa: E402

checks = Checks(sys.argv[1], sys.argv[2], sys.argv[3])
check, run, write = checks.check, checks.run, checks.write
WHERE = r"PciBridgeProbeDxe\+0x[0-9a-f]+ \(PciBridgeProbeEntryPoint\+0x%x(, [^)]*:\d+)?\)"

# SetMem (boot-services offset 0x168) of 8 bytes at address 0x10: the board's own code writes
# through the pointer the driver handed it.
SET_MEM_AT_0x10 = bytes.fromhex("488b4260" "b910000000" "ba08000000" "4531c0" "4883ec28"
                                "ff9068010000")
cases = [  # (what, planted at the entry point, text the report must hold)
    ("a write through a null pointer", b"\x31\xc0\x89\x00",  # xor eax,eax; mov [rax],eax
     r"   CRASH: a write to address 0x0 \(a null pointer\) at " + WHERE % 2),
    ("a read far beyond the system table", b"\x48\x8b\x82\x00\x00\x00\x40",  # mov rax,[rdx+1G]
     r"   CRASH: a read of [^\n]* at " + WHERE % 0),
    ("a call into the system table", b"\xff\xd2",  # call rdx
     r"   CRASH: a jump to the system table \+ 0x0, outside every image's code, by a call that "
     r"returns to " + WHERE % 2),
    ("a jump to an address where nothing is", b"\x48\xb8" + (0x1000).to_bytes(8, "little") +
     b"\xff\xe0",  # mov rax, 0x1000; jmp rax
     r"   CRASH: a jump to address 0x1000 \(a null pointer plus an offset\), outside every "
     r"image's code, from a place not known"),
    ("an invalid instruction", b"\x0f\x0b",  # ud2
     r"   CRASH: an invalid instruction at " + WHERE % 0),
    ("a pointer handed to a service that writes through it", SET_MEM_AT_0x10,
     r"CRASH: the simulation died \(signal 11, Segmentation fault\) during PciBridgeProbeDxe's "
     r"entry point in boot 1[^\n]*\n   what it hit: a write to address 0x10 \(a null pointer plus "
     r"an offset\) in the board's own code, while image code ran"),
    # Two bytes of the first instruction after the driver's setup call: the address its
    # LocateProtocol result is written to comes from the image handle instead of the stack.
    ("two bytes overwritten at entry + 0x10", None, r"PciBridgeProbeDxe"),
]
for index, (what, planted, pattern) in enumerate(cases):
    patch = [(("entry", 0x10), b"\x01\x01")] if planted is None else [(("entry", 0), planted)]
    folder = checks.planted("planted%d" % index, "PciBridgeProbeDxe", patch)
    json_path = os.path.join(checks.work, "planted%d.json" % index)
    first = run("--images", folder, "--json", json_path)
    second = run("--images", folder)
    report = first.stdout
    before = report.split("-- PciBridgeProbeDxe")[0]
    check(first.returncode == 1 and re.search(pattern, report) and
          "Verdict: FAILED" in report and "PciBridgeProbeDxe" in first.stderr and
          "entry point returned EFI_SUCCESS" in before and "-- SetupHwSyncDxe" in before,
          "%s: the report up to the fault, the driver and what it hit named, exit 1 (got %d: %s)"
          % (what, first.returncode, first.stderr.strip()[-300:]))
    named = [line for line in report.splitlines() if "CRASH" in line or "what it hit" in line]
    check(report == second.stdout and named and "CRASH: crash:" not in report and
          not any(re.search(r"0x[0-9a-fA-F]{6,}", line) for line in named),
          "%s: the same report from run to run, no host address in it" % what)
    with open(json_path) as f:
        document = json.load(f)
    check(document["exit_code"] == 1 and document["unexpected"] and
          document["boots"][0]["drivers"][0]["name"] == "SetupHwSyncDxe",
          "%s: the JSON report up to the fault, exit code 1" % what)

checks.finish()
