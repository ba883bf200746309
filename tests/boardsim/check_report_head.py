#!/usr/bin/env python3
"""What a report says about its own run, and where it goes: the head names the scenario, the
--variables file and every image file the run loads with its size and SHA-256; `--json -`
writes the JSON report to standard output (and nothing else there), also when the simulation
dies.

Usage: check_report_head.py <boardsim> <work dir> <kept scenario folder>"""
import hashlib
import json
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from boardsim_checks import Checks  # noqa: E402

checks = Checks(sys.argv[1], sys.argv[2], sys.argv[3])
BOARDSIM, WORK, KEPT = checks.boardsim, checks.work, checks.kept
check, run, write = checks.check, checks.run, checks.write
IMAGES = os.environ["BOARD_IMAGE_DIR"]


def head_images(text):
    """(file, size, hash prefix) of each line under "images (size, SHA-256):"."""
    head = text.split("images (size, SHA-256):\n", 1)[1].split("\n\n", 1)[0]
    return re.findall(r"^   (\S+) +(\d+) bytes  ([0-9a-f]{16})$", head, re.M)


def sha256(name):
    with open(os.path.join(IMAGES, name), "rb") as f:
        data = f.read()
    return len(data), hashlib.sha256(data).hexdigest()


# ---- the head: every image the run loads, with its size and hash, as the build wrote it ------
json_path = os.path.join(WORK, "head.json")
default = run("--json", json_path)
with open(json_path) as f:
    inputs = json.load(f)["inputs"]
loaded = ["SetupHwSyncDxe.efi", "PciBridgeProbeDxe.efi", "FanControlSmm.efi",
          "FingerprintStatusSmm.efi", "FingerprintAuthDxe.ffs"]
check(head_images(default.stdout) == [(name, str(sha256(name)[0]), sha256(name)[1][:16])
                                      for name in loaded],
      "the head names each image the default run loads, its size and SHA-256 (got %s)"
      % head_images(default.stdout))
check(inputs["images"] == [{"file": name, "size": sha256(name)[0], "sha256": sha256(name)[1]}
                           for name in loaded] and inputs["scenario"] is None and
      inputs["variables_file"] is None, "the JSON head: images with size and SHA-256")
check("scenario: the built-in default\nvariables file: none\n" in default.stdout,
      "the head names the built-in scenario and no variables file")
# Without SMM dispatch and fingerprint section only the DXE drivers are loaded.
bare = write("head_bare.json", {"drivers": ["PciBridgeProbeDxe"], "smm": {"dispatch": False},
                                "variables": [{"name": "Setup"}]})
result = run("--scenario", bare)
check([name for name, _, _ in head_images(result.stdout)] == ["PciBridgeProbeDxe.efi"] and
      "scenario: " + bare + "\n" in result.stdout,
      "the head names the scenario file and only the images it loads")
# A changed image shows in the head.
changed = checks.planted("head_changed", "PciBridgeProbeDxe", [(("file", 0x40), b"\x5a")])
result = run("--scenario", bare, "--images", changed)
with open(os.path.join(changed, "PciBridgeProbeDxe.efi"), "rb") as f:
    planted_hash = hashlib.sha256(f.read()).hexdigest()[:16]
check(head_images(result.stdout)[0][2] == planted_hash != sha256("PciBridgeProbeDxe.efi")[1][:16],
      "a changed image gives another hash in the head")

# ---- the variables file: named, with whether it was there ------------------------------------
nv = os.path.join(WORK, "head_nv.txt")
if os.path.exists(nv):
    os.remove(nv)
first = run("--scenario", bare, "--variables", nv)
second = run("--scenario", bare, "--variables", nv, "--json", json_path)
with open(json_path) as f:
    inputs = json.load(f)["inputs"]
check("variables file: %s, not there yet: stored after the last boot\n" % nv in first.stdout and
      "variables file: %s, loaded before the first boot, stored after the last\n" % nv
      in second.stdout and inputs["variables_file"] ==
      {"file": nv, "state": "loaded before the first boot, stored after the last"},
      "the head names the variables file and whether it was loaded")

# ---- --json -: the JSON report on standard output, nothing else there ------------------------
expect_fail = write("head_fail.json", {"drivers": ["SetupHwSyncDxe"],
                                       "expect": {"drivers": {"SetupHwSyncDxe": "EFI_SUCCESS"}}})
crashing = checks.planted("head_crash", "PciBridgeProbeDxe", [(
    ("entry", 0), bytes.fromhex("488b4260" "b910000000" "ba08000000" "4531c0" "4883ec28"
                                "ff9068010000"))])  # SetMem at 0x10: the board's code faults
for what, args, code in [("a passing run", [], 0), ("a failing expectation",
                                                     ["--scenario", expect_fail], 1),
                         ("a simulation that dies", ["--images", crashing], 1)]:
    result = subprocess.run([BOARDSIM, "--json", "-", *args], capture_output=True, text=True,
                            cwd=WORK, timeout=120)
    try:
        document = json.loads(result.stdout)
    except ValueError:
        document = {}
    file_report = run("--json", os.path.join(WORK, "head_file.json"), *args)
    with open(os.path.join(WORK, "head_file.json")) as f:
        from_file = json.load(f)
    check(result.returncode == code and document.get("exit_code") == code and
          document == from_file and (code == 0 or result.stderr.startswith("boardsim: ")) and
          not os.path.exists(os.path.join(WORK, "-")) and
          (what != "a simulation that dies" or "died" in document),
          "--json -, %s: the JSON report alone on standard output, as --json FILE writes it, "
          "exit %d (got %d, %d bytes)" % (what, code, result.returncode, len(result.stdout)))
    check(file_report.returncode == code, "--json FILE, %s: exit %d" % (what, code))
result = run("--json", "-", "--interactive")
check(result.returncode == 2 and "both need standard output" in result.stderr,
      "--json - with --interactive is refused")

checks.finish()
