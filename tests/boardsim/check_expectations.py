#!/usr/bin/env python3
"""Expectations as a platform team keeps them: every kept scenario exits 0 as it stands and 1
after a planted change of any single value it expects, naming that expectation with what was
expected and what was seen; a bad expectation field is refused with the field named; an outcome
expected for one boot does not cover another; the example of docs/boardsim.md runs and holds.

Usage: check_expectations.py <boardsim> <work dir> <kept scenario folder> <docs/boardsim.md>"""
import copy
import glob
import json
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from boardsim_checks import Checks  # noqa: E402

checks = Checks(sys.argv[1], sys.argv[2], sys.argv[3])
check, run, write = checks.check, checks.run, checks.write
DOCS = sys.argv[4]
FAILED = re.compile(r"^boardsim: EXPECTATION FAILED: (.*?): expected (.*), got (.*)$", re.M)

# ---- a planted change of each expected value fails the run, naming it -------------------------
OTHER = {"locked": "unlocked", "unlocked": "locked", "security not enabled": "locked",
         "low": "high", "middle": "high", "high": "low", "unchanged": "high",
         "A": "B", "B": "A", "io": "mmio", "mmio": "io", "UINT8": "UINT16", "UINT16": "UINT8",
         "halted": "EFI_SUCCESS", "stuck": "EFI_SUCCESS", "crashed": "EFI_SUCCESS",
         "not loaded": "EFI_SUCCESS", "EFI_ABORTED": "EFI_NOT_FOUND"}


def planted_value(key, value):
    """Another value of the same kind, or None for a leaf that names rather than expects."""
    if key in ("name", "guid"):
        return None
    if isinstance(value, bool):
        return not value
    if isinstance(value, int):
        return {8: 16, 16: 32, 32: 8}[value] if key == "width" else (value + 1 if value < 255
                                                                      else value - 1)
    if key in ("hex", "data"):
        data = bytearray.fromhex(value)
        data[0] ^= 1
        return data.hex().upper()
    if isinstance(key, int) and key >= 0 and not value.startswith("0x"):  # a screen text
        return value + " (planted)"
    if value.startswith("0x"):
        return "0x%0*X" % (len(value) - 2, int(value, 16) + 1)
    if value in OTHER:
        return OTHER[value]
    if value.startswith("EFI_"):
        return "EFI_ABORTED"
    return value + " (planted)"


def leaves(node, path=()):
    """(path, key, value) of every leaf under node."""
    items = node.items() if isinstance(node, dict) else enumerate(node)
    for key, value in items:
        if isinstance(value, (dict, list)):
            yield from leaves(value, path + (key,))
        else:
            yield path + (key,), key, value


def named_by(path):
    """The start of the expectation path a planted change at this JSON path must be named by."""
    parts = list(path)
    if parts[0] == "boots":
        return "expect.boots.%s." % parts[1] + named_by(parts[2:])[len("expect."):]
    if parts[0] == "os":
        head = "expect.os." + parts[1]
        return head + ("[%d]" % parts[2] if parts[1] == "software_smis" else
                       "." + parts[2] if parts[1] == "ticks" else "")
    if parts[0] == "runs":
        return 'expect.runs."%s"' % parts[1]
    if parts[0] == "variables":
        return "expect.variables[%d]" % parts[1]
    return "expect.%s.%s" % (parts[0], parts[1])


# The example of docs/boardsim.md: an indented block after the marker line.
with open(DOCS) as f:
    docs = f.read()
example = re.search(r"<!-- example scenario -->\n\n((?:    .*\n|\n)+)", docs)
check(example is not None, "docs/boardsim.md has the example scenario")
documented = []
if example:
    text = "\n".join(line[4:] for line in example.group(1).splitlines())
    documented = [write("docs_example.json", json.loads(text))]
    check(all(kind in json.loads(text)["expect"] for kind in ("drivers", "boots", "runs", "os")),
          "the documented example expects drivers, boots, runs and the operating-system phase")

kept = sorted(glob.glob(os.path.join(checks.kept, "*.json")))
printed = set()  # every failure line the planted changes gave
for scenario in kept + documented:
    name = os.path.basename(scenario)
    with open(scenario) as f:
        document = json.load(f)
    result = run("--scenario", scenario)
    check(result.returncode == 0 and "expect" in document,
          "%s: exits 0 with its expectations (got %d)" % (name, result.returncode))
    planted_any = False
    for index, (path, key, value) in enumerate(leaves(document["expect"])):
        planted = planted_value(key, value)
        if planted is None:
            continue
        changed = copy.deepcopy(document)
        parent = changed["expect"]
        for step in path[:-1]:
            parent = parent[step]
        if key == "absent":  # an absent variable expected present, with some content
            del parent["absent"]
            parent["hex"] = "00"
        else:
            parent[key] = planted
        result = run("--scenario", write("planted.json", changed))
        failed = FAILED.findall(result.stderr)
        printed.update(re.findall(r"^boardsim: EXPECTATION FAILED: .*$", result.stderr, re.M))
        where = named_by(path)
        planted_any = True
        check(result.returncode == 1 and any(p.startswith(where) and e != g
                                             for p, e, g in failed),
              "%s: %s = %r planted: exit 1 naming %s with what was expected and seen "
              "(got %d: %s)" % (name, "/".join(map(str, path)), planted, where,
                                result.returncode, result.stderr.strip()[-300:]))
    check(planted_any, "%s: has expected values to plant changes in" % name)

covered = {"an error status": False, "a halt": False, "an SMI answer": False, "a fan band": False}
for scenario in kept:
    with open(scenario) as f:
        expect = json.load(f)["expect"]
    statuses = [v if isinstance(v, str) else v.get("status", "")
                for v in expect.get("drivers", {}).values()]
    statuses += [r.get("status", "") for r in expect.get("runs", {}).values()]
    covered["an error status"] |= any(s.startswith("EFI_") and s != "EFI_SUCCESS"
                                      for s in statuses)
    covered["a halt"] |= any(r.get("halted") is True for r in expect.get("runs", {}).values())
    covered["an SMI answer"] |= bool(expect.get("os", {}).get("software_smis"))
    covered["a fan band"] |= any(isinstance(t, str) and t != "unchanged" or
                                 isinstance(t, dict) and "band" in t
                                 for t in expect.get("os", {}).get("ticks", {}).values())
for what, held in covered.items():
    check(held, "a kept scenario expects " + what)

# ---- a bad expectation field is refused with the field named, exit 2 ----------------------------
refused = [  # (expect section, text of the message)
    ({"os": {"tick": {}}}, "'expect.os.tick': unknown field"),
    ({"drivers": {"SetupHwSyncDxe": {"status": "EFI_SUCCESS", "acesses": []}}},
     "'expect.drivers.SetupHwSyncDxe.acesses': unknown field"),
    ({"drivers": {"SetupHwSyncDxe": {}}}, "'expect.drivers.SetupHwSyncDxe': say what to check"),
    ({"drivers": {"PciBridgeProbeDxe": {"accesses": [{"value": 1}]}}},
     "'expect.drivers.PciBridgeProbeDxe.accesses[0].address': required"),
    ({"drivers": {"PciBridgeProbeDxe": {"accesses": [{"address": 1, "port": 2}]}}},
     "'expect.drivers.PciBridgeProbeDxe.accesses[0].port': unknown field"),
    ({"drivers": {"PciBridgeProbeDxe": {"accesses": [{"address": 1, "width": 12}]}}},
     "'expect.drivers.PciBridgeProbeDxe.accesses[0].width': expected 8, 16 or 32"),
    ({"drivers": {"PciBridgeProbeDxe": {"accesses": [{"address": 1, "space": "pci"}]}}},
     "'expect.drivers.PciBridgeProbeDxe.accesses[0].space': expected \"io\" or \"mmio\""),
    ({"drivers": {"PciBridgeProbeDxe": {"boot_script": [{"opcodes": 4}]}}},
     "'expect.drivers.PciBridgeProbeDxe.boot_script[0].opcodes': unknown field"),
    ({"drivers": {"PciBridgeProbeDxe": {"boot_script": [{"width": "BYTE"}]}}},
     "'expect.drivers.PciBridgeProbeDxe.boot_script[0].width': expected UINT8"),
    ({"drivers": {"PciBridgeProbeDxe": {"boot_script": [{"data": "0"}]}}},
     "'expect.drivers.PciBridgeProbeDxe.boot_script[0].data': an odd number"),
    ({"boots": {"3": {}}}, "'expect.boots.3': the scenario has boots 1 to 1"),
    ({"boots": {"1": {"runs": {}}}}, "'expect.boots.1.runs': unknown field"),
    ({"boots": {"1": {"counts": {"halt": 1}}}}, "'expect.boots.1.counts.halt': unknown field"),
    ({"os": {"ticks": {"0": "low"}}}, "'expect.os.ticks.0': ticks are counted from 1"),
    ({"os": {"ticks": {"2": "warm"}}}, "'expect.os.ticks.2': expected a band"),
    ({"os": {"ticks": {"2": {"colour": "red"}}}}, "'expect.os.ticks.2.colour': unknown field"),
    ({"os": {"ticks": {"2": {"table": "C"}}}}, "'expect.os.ticks.2.table': expected \"A\" or"),
    ({"os": {"software_smis": [{"value": 1}]}},
     "'expect.os.software_smis[0]': give the SMI's 'value' and its 'answer'"),
    ({"os": {"software_smis": [{"value": 1, "answer": 2, "ebx": 3}]}},
     "'expect.os.software_smis[0].ebx': unknown field"),
    ({"runs": {"r": {"screens": "Password"}}}, "'expect.runs.r.screens': expected an array"),
    ({"runs": {"r": {"screen": ["Password"]}}}, "'expect.runs.r.screen': unknown field"),
]
for index, (expect, text) in enumerate(refused):
    result = run("--scenario", write("refused%d.json" % index, {"expect": expect}))
    check(result.returncode == 2 and text in result.stderr,
          "refused with the field named: %s (got %d: %s)" % (text, result.returncode,
                                                              result.stderr.strip()))

# ---- an outcome expected in one boot covers that boot only -------------------------------------
halting = checks.planted("halting", "PciBridgeProbeDxe", [(("entry", 0), b"\xfa\xf4")])
two_boots = {"boots": [{}, {}]}
per_boot = [  # (what, expect section, exit code, text on standard error)
    ("a halt counted in boot 1 of 2", {"boots": {"1": {"counts": {"halts": 1}}}}, 1,
     "NOT EXPECTED: PciBridgeProbeDxe halted in boot 2"),
    ("a halt counted in boot 1, expected of the driver in boot 2",
     {"boots": {"1": {"counts": {"halts": 1}}, "2": {"drivers": {"PciBridgeProbeDxe": "halted"}}}},
     0, None),
    ("a halt counted for the whole run", {"counts": {"halts": 2}}, 0, None),
    ("a halt counted wrong in one boot", {"counts": {"halts": 2},
                                          "boots": {"2": {"counts": {"halts": 0}}}}, 1,
     "EXPECTATION FAILED: expect.boots.2.counts.halts: expected 0, got 1"),
    ("accesses expected of a driver that halts, its outcome not",
     {"counts": {"halts": 2}, "drivers": {"PciBridgeProbeDxe": {"accesses": [
         {"address": "0xE00A4042"}]}}}, 1,
     "EXPECTATION FAILED: expect.drivers.PciBridgeProbeDxe.accesses[0] (boot 1): expected "
     "access 0xE00A4042, got none of its kind among the 0 accesses"),
    ("an expected halt that does not happen", {"boots": {"1": {"drivers": {
        "SetupHwSyncDxe": "halted"}}}}, 1,
     "EXPECTATION FAILED: expect.boots.1.drivers.SetupHwSyncDxe: expected halted, got "
     "EFI_NOT_FOUND"),
]
for index, (what, expect, code, text) in enumerate(per_boot):
    document = dict(two_boots, expect=expect)
    result = run("--scenario", write("per_boot%d.json" % index, document), "--images", halting)
    check(result.returncode == code and (text is None or text in result.stderr),
          "%s: exit %d (got %d: %s)" % (what, code, result.returncode, result.stderr.strip()))

# The failure lines the documentation shows are what boardsim prints for a planted change.
shown = re.findall(r"^    (boardsim: EXPECTATION FAILED: .*)$", docs, re.M)
check(len(shown) >= 3, "docs/boardsim.md shows failure lines")
for line in shown:
    check(line in printed, "documented failure line printed for a planted change: " + line)
checks.finish()
