#!/usr/bin/env python3
"""boardsim's report as a tool reads it: stable from run to run, decoded accesses, the JSON
report agreeing with the text, expectations failing by name, the reader's slots kept by
--variables, and the report flushed before an interactive dialog.

Usage: check_report.py <boardsim> <work dir> <kept scenario folder>"""
import copy
import json
import os
import re
import select
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from boardsim_checks import Checks  # noqa: E402

checks = Checks(sys.argv[1], sys.argv[2], sys.argv[3])
BOARDSIM, WORK, KEPT = checks.boardsim, checks.work, checks.kept
check, run, write, load = checks.check, checks.run, checks.write, checks.load


# ---- the same scenario gives the same report, byte for byte --------------------------------
for args in ([], ["--trace"], ["--scenario", os.path.join(KEPT, "fingerprint_two_boots.json")]):
    first, second = run(*args), run(*args)
    check(first.returncode == 0 and first.stdout == second.stdout and len(first.stdout) > 1000,
          "report identical over two runs: boardsim " + " ".join(args))

# ---- decoded accesses: every access named, reads listed with --trace --------------------------
trace = run("--trace").stdout
decoded = [
    (r"mmio W8  0xe00a4042 <- 0x[0-9a-f]{2}  PCI 0:14\.4 register 0x42 \(bridge control\)",
     "the bridge control write"),
    (r"mmio R16 0xe5000000 -> 0x10de  PCI 50:00\.0 register 0x00 \(vendor ID\)",
     "the vendor ID read behind bridge 0:2.0"),
    (r"mmio W16 0xe00a4019 <- 0x0909  PCI 0:14\.4 register 0x19 \(secondary and subordinate bus\)",
     "a 16-bit write over both bus numbers"),
    (r"mmio W8  0xe0010019 <- 0x50  PCI 0:02\.0 register 0x19 \(secondary bus\)",
     "the secondary bus write"),
    (r"mmio R8  0xfed40f00 -> 0x[0-9a-f]{2}  TPM identity byte 0 \(TPM_DID_VID\)",
     "the TPM identity read"),
    (r"mmio R8  0xfed801e0 -> 0x[0-9a-f]{2}  FCH option strap", "the option strap read"),
    (r"mmio R8  0xfed80291 -> 0x80  FCH SMI timer status", "the SMI timer status read"),
    (r"io   W16 0x00000800 <- 0xc531  PM1 status", "the PM1 status clear"),
    (r"mmio W16 0xfed80296 <- 0x7d00  FCH SMI timer value and enable", "the timer period"),
    (r"io   W8  0x00000f45 <- 0x63  hardware-monitor index: selects register 0x63 ",
     "the hardware-monitor index write"),
    (r"io   R8  0x00000f46 -> 0x1e  hardware-monitor data, register 0x29 \(temperature\)",
     "the temperature read with its register"),
    (r"io   R8  0x00000e82 -> 0x00  board input port 0xE82", "the fan-table port read"),
    (r"UINT8, PCI 0:14\.4 register 0x42 \(bridge control\) \(address 0x140442\), count 1, "
     r"data [0-9A-F]{2}", "the boot-script entry"),
]
for pattern, what in decoded:
    check(re.search(pattern, trace) is not None, "--trace shows " + what)
plain = run().stdout
check(" R8 " not in plain and " W8 " in plain, "without --trace only the writes are listed")
check(re.search(r"0x4[0-9A-F]{7}\)", plain) is None and "copy in SMRAM" in plain,
      "no SMRAM address in the report")

# ---- the JSON report: parses, and says what the text says -----------------------------------
json_path = os.path.join(WORK, "report.json")
text = run("--json", json_path).stdout
with open(json_path) as f:
    report = json.load(f)
boots = report["boots"]
check(len(boots) == len(re.findall(r"^Boot \d+ of \d+: DXE dispatch$", text, re.M)),
      "one JSON boot per boot in the text")
sections = re.findall(r"^-- (\S+) \(.*\n   entry point returned (\S+)\n(?:.*\n)*?"
                      r"   hardware: (\d+) accesses, (\d+) writes", text, re.M)
drivers = [d for boot in boots for d in boot["drivers"]]
check([(d["name"], d["status"], len(d["accesses"]),
        sum(a["write"] for a in d["accesses"])) for d in drivers] ==
      [(n, s, int(a), int(w)) for n, s, a, w in sections],
      "JSON drivers, statuses and access counts match the text")
check(all(a["target"] for d in drivers for a in d["accesses"]), "every JSON access is named")
script = [e for d in drivers for e in d["boot_script"]]
check(len(script) == 2 and all(e["width"] == "UINT8" and e["opcode_name"] ==
                               "PCI configuration write" and
                               e["target"].startswith("PCI 0:14.4 register 0x42")
                               for e in script), "JSON boot-script entries decoded")
runs = [r for boot in boots for r in boot["runs"]]
check([(r["auth_flags_before"], r["auth_flags"]) for r in runs] ==
      re.findall(r"AuthFlags    (0x[0-9A-F]{8}).*\n\s+-> (0x[0-9A-F]{8})", text),
      "JSON flag words match the text")
check(any("Hard Disk Password" in row for s in runs[0]["screens"] for row in s["text"]) and
      runs[1]["screens"] == [], "JSON screens as text rows")
check([(q["code"]) for q in runs[1]["queries"]] ==
      [int(c) for c in re.findall(r" code (\d+)", re.findall(
          r"queries of the caller:(.*)", text)[1])], "JSON queries match the text")
check([m["code"] for m in runs[0]["module_requests"]] ==
      [int(c) for c in re.findall(r" (\d+): 0x", re.findall(
          r"module requests \(code: answer\):(.*)", text)[0])],
      "JSON module requests match the text")
check(runs[0]["events"] and all(e in text for e in runs[0]["events"]), "JSON events in the text")
check([s["answer"] for s in report["os"]["software_smis"]] ==
      re.findall(r"-> (0x[0-9A-F]{8}): ", text), "JSON software SMI answers match the text")
check(len(report["os"]["ticks"]) == len(re.findall(r"   tick \d+:", text)), "JSON ticks")
setup = [v for d in drivers for v in d["variables"] if v["name"] == "Setup"]
check(setup and any(f.startswith("Com2Selection") for f in setup[0]["fields"]) and
      len(bytes.fromhex(setup[0]["after"])) == setup[0]["size"],
      "JSON variable change with its fields and bytes")
check(report["summary"] == {"drivers": 10, "load_errors": 0, "problems": 0, "halts": 0,
                            "stuck": 0, "crashes": 0, "drives_locked": []} and
      report["exit_code"] == 0 and report["unexpected"] == [], "JSON run summary")

# ---- closing summaries name halts and drives left locked -------------------------------------
halt = run("--scenario", os.path.join(KEPT, "wrong_password_halts.json"))
check("Boot 1 summary: 5 driver(s) dispatched, 0 load error(s), 0 problem(s), 1 halt(s), "
      "0 stuck wait(s), 0 crash(es), drives left locked: data drive" in halt.stdout,
      "boot summary names the halt and the locked drive")

# ---- exit codes: whatever went wrong fails the run, unless the scenario expects exactly that --
empty = os.path.join(WORK, "no_images")
os.makedirs(empty, exist_ok=True)
halting = checks.planted("halting", "PciBridgeProbeDxe", [(("entry", 0), b"\xfa\xf4")])
crashing = checks.planted("crashing", "PciBridgeProbeDxe",
                          [(("entry", 0), b"\x31\xc0\x89\x00")])  # a write to address 0
# One of SetupHwSyncDxe's FreePool calls (call *72(%rax)) made a no-op: a pool block leaks.
with_setup = write("with_setup.json", {"variables": [{"name": "Setup"}]})
leaking, place = None, 0
while leaking is None:
    copy_folder = checks.planted("leaking", "SetupHwSyncDxe",
                                 [((b"\xff\x50\x48", place), b"\x0f\x1f\x00")])
    if copy_folder is None:
        break
    if "pool blocks not freed" in run("--scenario", with_setup, "--images", copy_folder).stdout:
        leaking = copy_folder
    place += 1
check(leaking is not None, "a FreePool call planted away leaks a pool block")
unloadable = checks.planted("unloadable", "PciBridgeProbeDxe", [(("file", 0x3C), b"\xff\xff\xff\x7f")])
# The entry point raises the task priority level to TPL_HIGH_LEVEL and returns EFI_SUCCESS:
# sub rsp,0x28; mov rax,[rdx+0x60] (BootServices); mov ecx,31; call [rax+0x18] (RaiseTPL);
# add rsp,0x28; xor eax,eax; ret
raising = checks.planted("raising", "PciBridgeProbeDxe", [(("entry", 0), bytes.fromhex(
    "4883ec28" "488b4260" "b91f000000" "ff5018" "4883c428" "31c0" "c3"))])
outcomes = [  # (what, scenario expect section or None, arguments, environment, exit, named)
    # Without "Setup" SetupHwSyncDxe's entry point returns EFI_NOT_FOUND.
    ("an error status expected by its name", {"drivers": {"SetupHwSyncDxe": "EFI_NOT_FOUND"}},
     [], None, 0, None),
    ("an error status expected by its value",
     {"drivers": {"SetupHwSyncDxe": "0x800000000000000E"}}, [], None, 0, None),
    ("another status than the one expected", {"drivers": {"SetupHwSyncDxe": "EFI_SUCCESS"}},
     [], None, 1, "expected EFI_SUCCESS, got EFI_NOT_FOUND"),
    ("an empty image folder", None, ["--images", empty], None, 1, "no driver was dispatched"),
    ("an image folder that does not exist", None, [],
     {"BOARD_IMAGE_DIR": os.path.join(WORK, "no such folder")}, 1, "no driver was dispatched"),
    ("no driver, as the scenario expects", {"counts": {"drivers": 0}}, ["--images", empty],
     None, 0, None),
    ("a driver that halts", None, ["--images", halting], None, 1,
     "NOT EXPECTED: PciBridgeProbeDxe halted in boot 1"),
    ("an expected halt", {"drivers": {"PciBridgeProbeDxe": "halted"}}, ["--images", halting],
     None, 0, None),
    ("a driver that crashes", None, ["--images", crashing], None, 1,
     "NOT EXPECTED: PciBridgeProbeDxe crashed in boot 1"),
    ("an expected crash", {"counts": {"crashes": 1}}, ["--images", crashing], None, 0, None),
    ("an image that cannot be loaded", None, ["--images", unloadable], None, 1,
     "NOT EXPECTED: PciBridgeProbeDxe not loaded in boot 1"),
    ("an expected load error", {"drivers": {"PciBridgeProbeDxe": "not loaded"}},
     ["--images", unloadable], None, 0, None),
    ("an entry point that leaves the task priority level raised", None,
     ["--images", raising], None, 1, "NOT EXPECTED: problem in boot 1, PciBridgeProbeDxe: "
     "PciBridgeProbeDxe's entry point returned at task priority level 31 (TPL_HIGH_LEVEL), not "
     "at the level 4 (TPL_APPLICATION) it was started at"),
    ("a pool block not freed in the DXE phase", None, ["--images", leaking], None, 1,
     "NOT EXPECTED: problem in boot 1, SetupHwSyncDxe: 1 pool blocks not freed"),
    ("problems counted by the scenario", {"counts": {"problems": 1}}, ["--images", leaking],
     None, 0, None),
    ("problems counted wrong", {"counts": {"problems": 2}}, ["--images", leaking], None, 1,
     "expect.counts.problems: expected 2, got 1"),
]
for index, (what, expect, args, env, code, named) in enumerate(outcomes):
    document = {"variables": [{"name": "Setup"}]} if "pool" in what or "problems" in what else {}
    if expect is not None:
        document["expect"] = expect
    scenario = write("outcome%d.json" % index, document)
    result = run("--scenario", scenario, "--json", os.path.join(WORK, "outcome.json"), *args,
                 env=env)
    with open(os.path.join(WORK, "outcome.json")) as f:
        document = json.load(f)
    check(result.returncode == code and document["exit_code"] == code and
          (named is None or named in result.stderr) and
          result.stdout.rstrip().endswith("Verdict: " + ("passed" if code == 0 else "FAILED")),
          "%s: exit %d (got %d: %s)" % (what, code, result.returncode, result.stderr.strip()))
status = run("--scenario", write("status.json", {}), "--json", os.path.join(WORK, "status.json"))
with open(os.path.join(WORK, "status.json")) as f:
    setup = json.load(f)["boots"][0]["drivers"][0]
check(setup["status"] == "EFI_NOT_FOUND" and setup["status_code"] == "0x800000000000000E",
      "the JSON gives the status name and its value apart")

# ---- expectations: each one that does not hold is named, exit 1 --------------------------------
base = load("fingerprint_two_boots.json")
mutations = [  # (what to change, paths that must be named)
    (lambda e: e["runs"]["typed once"].update(status="EFI_ACCESS_DENIED"),
     ['expect.runs."typed once".status']),
    (lambda e: (e["runs"]["finger alone"].update(auth_flags="0x40000000"),
                e["runs"]["typed once"].update(control_flags=0)),
     ['expect.runs."finger alone".auth_flags', 'expect.runs."typed once".control_flags']),
    (lambda e: e["runs"]["finger alone"].update(halted=True),
     ['expect.runs."finger alone".halted']),
    (lambda e: e["runs"]["typed once"]["drives"].update({"SATA drive 0": "locked"}),
     ['expect.runs."typed once".drives.SATA drive 0']),
    (lambda e: e["runs"].update({"never run": {"status": "EFI_SUCCESS"}}),
     ['expect.runs."never run"']),
    (lambda e: e["drivers"].update(FingerprintAuthDxe="EFI_NOT_FOUND"),
     ["expect.drivers.FingerprintAuthDxe (boot 1)", "expect.drivers.FingerprintAuthDxe (boot 2)"]),
    (lambda e: e["variables"].__setitem__(0, {"name": "UPEKFLAG", "guid": "EFI_GLOBAL_VARIABLE",
                                              "hex": "AA55AA55"}),
     ['expect.variables[0] ("UPEKFLAG").bytes']),
    (lambda e: e["variables"].append({"name": "UPEKFLAG", "guid": "EFI_GLOBAL_VARIABLE",
                                      "absent": True}),
     ['expect.variables[1] ("UPEKFLAG").absent']),
]
for index, (change, named) in enumerate(mutations):
    document = copy.deepcopy(base)
    change(document["expect"])
    result = run("--scenario", write("expect%d.json" % index, document))
    failed = re.findall(r"EXPECTATION FAILED: (.*?): expected", result.stderr)
    check(result.returncode == 1 and failed == named,
          "failing expectation exits 1 naming %s (got %s)" % (named, failed))
setup_expect = load("bare_board.json")
setup_expect["expect"]["variables"][0]["fields"]["TpmPresent"] = 1
result = run("--scenario", write("expect_field.json", setup_expect))
check(result.returncode == 1 and "expect.variables[0] (\"Setup\") byte 0x126: expected 0x01, "
      "got 0x00" in result.stderr, "a Setup field expectation names the field's byte")

# ---- --variables keeps the reader's stored passwords: a second run is a second boot ----------
one_boot = copy.deepcopy(base)
one_boot["boots"] = [{}]
one_boot["fingerprint"]["runs"] = [{"name": "power-on", "keys": ["disk-secret\r"]}]
del one_boot["expect"]
scenario = write("one_boot.json", one_boot)
nv = os.path.join(WORK, "nv.txt")
if os.path.exists(nv):
    os.remove(nv)
first = run("--scenario", scenario, "--variables", nv, "--json", json_path)
with open(nv) as f:
    stored = f.read()
check(first.returncode == 0 and re.search(r"^reader-slots 05$", stored, re.M) and
      re.search(r"^reader-slot 04 [0-9a-f]{24}$", stored, re.M), "the reader's slots stored")
second = run("--scenario", scenario, "--variables", nv, "--json", json_path)
with open(json_path) as f:
    again = json.load(f)["boots"][0]["runs"][0]
check(second.returncode == 0 and again["screens"] == [] and
      again["drives"][0]["state"] == "unlocked" and again["keys_left_unread"],
      "second run: the finger opens the drive, no prompt, the typed keys left unread")

# ---- --interactive: the report before the dialog reaches the pipe before any key -------------
process = subprocess.Popen([BOARDSIM, "--interactive"], stdin=subprocess.PIPE,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
seen = b""
deadline = time.time() + 20
# The FingerprintAuthDxe section is the last thing reported before the first dialog.
before_dialog = re.compile(rb"-- FingerprintAuthDxe \(.*\n(?:.*\n)*?   boot-script entries: none\n")
while not before_dialog.search(seen) and time.time() < deadline:
    ready, _, _ = select.select([process.stdout], [], [], 0.5)
    if ready:
        chunk = os.read(process.stdout.fileno(), 65536)
        if not chunk:
            break
        seen += chunk
check(before_dialog.search(seen) is not None and process.poll() is None,
      "the report up to the dialog is flushed while boardsim waits for keys")
process.stdin.write(b"disk-secret\r")
process.stdin.close()
rest = process.stdout.read()
check(process.wait(timeout=60) == 0 and b"Run summary" in rest, "the run ends after the keys")

checks.finish()
