#!/usr/bin/env python3
"""--calls: every boot-service, runtime-service and protocol call of each driver in order, its
arguments decoded and its status named, in the text report and in the JSON report; the normal
report unchanged without it; the calls a driver made before it took the simulation down still
named in the crash report; a service a driver reaches by a tail call still put down to it.

Usage: check_calls.py <boardsim> <work dir> <kept scenario folder>"""
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from boardsim_checks import Checks  # noqa: E402

checks = Checks(sys.argv[1], sys.argv[2], sys.argv[3])
check, run = checks.check, checks.run
kept = os.path.join(sys.argv[3], "bare_board.json")
kept_runs = os.path.join(sys.argv[3], "fingerprint_two_boots.json")


def in_order(lines, wanted):
    """Whether the wanted lines appear among lines in this order (others may come between)."""
    at = 0
    for line in lines:
        if at < len(wanted) and line == wanted[at]:
            at += 1
    return at == len(wanted)


def section(report, heading):
    start = report.index(heading)
    end = report.find("\n-- ", start + len(heading))
    return report[start:end if end >= 0 else len(report)]


# A kept scenario with --calls: decoded lines in order, text and JSON.
json_path = os.path.join(checks.work, "calls.json")
with_calls = run("--scenario", kept, "--calls", "--json", json_path)
report = with_calls.stdout
setup = [line.strip() for line in section(report, "-- SetupHwSyncDxe").splitlines()]
check(with_calls.returncode == 0 and in_order(setup, [
    'calls (13):',
    'GetVariable("Setup", SETUP_GUID, size 0x0) -> EFI_BUFFER_TOO_SMALL, size 0x296',
    'AllocatePool(EfiBootServicesData, size 0x296) -> EFI_SUCCESS',
    'GetVariable("Setup", SETUP_GUID, size 0x296) -> EFI_SUCCESS, attributes 0x7 (NV|BS|RT), '
    'size 0x296',
    'SetVariable("Setup", SETUP_GUID, attributes 0x7 (NV|BS|RT), size 0x296) -> EFI_SUCCESS',
    'FreePool(a pool block of 662 bytes + 0x0) -> EFI_SUCCESS']),
    "SetupHwSyncDxe's variable calls in order, GUIDs by name, sizes and attributes decoded")
status_smm = section(report, "-- FingerprintStatusSmm").splitlines()
check(in_order([line.rstrip() for line in status_smm], [
    '     SmmBase->InSmm() -> EFI_SUCCESS, FALSE',
    '     SmmBase->Register(file path of 66 bytes, no source buffer, source size 0x0, native) -> '
    'EFI_SUCCESS, handle "SMM image FingerprintStatusSmm"',
    '       SmmBase->InSmm() -> EFI_SUCCESS, TRUE',
    '       LocateProtocol(EFI_SMM_SW_DISPATCH_PROTOCOL) -> EFI_SUCCESS']) and
    any(line.startswith('       SwDispatch->Register(handler FingerprintStatusSmm+0x') and
        line.endswith('software SMI 0x534D8420) -> EFI_SUCCESS') for line in status_smm),
    "the SMM driver's calls, those of its copy in SMRAM nested under SmmBase->Register")
check('     BootScriptSave->Write(table 0, PCI_CONFIG_WRITE, UINT8, address 0x140442, count 1, '
      'data 0x4) -> EFI_SUCCESS' in section(report, "-- PciBridgeProbeDxe").splitlines(),
      "a boot-script Write decoded")
check('       FingerprintStatusSmm: SmmVariable->GetVariable("VELTRASetup", VELTRASETUP_GUID, '
      'size 0x101) -> EFI_NOT_FOUND' in report.splitlines(),
      "a software SMI's calls, named by the driver that made them")
with open(json_path) as f:
    document = json.load(f)
drivers = {d["name"]: d for d in document["boots"][0]["drivers"]}
calls = drivers["SetupHwSyncDxe"]["calls"]
first = [c for c in calls if c["service"] == "GetVariable" and c["arguments"][0] == '"Setup"'][0]
check(first == {"driver": "SetupHwSyncDxe", "service": "GetVariable",
                "arguments": ['"Setup"', "SETUP_GUID", "size 0x0"], "returned": True,
                "depth": 0, "status": "EFI_BUFFER_TOO_SMALL",
                "status_code": "0x8000000000000005", "results": ["size 0x296"],
                "text": 'GetVariable("Setup", SETUP_GUID, size 0x0) -> EFI_BUFFER_TOO_SMALL, '
                        'size 0x296'},
      "the JSON call: service, arguments, status by name and value, results (got %s)" % first)
nested = [c for c in drivers["FingerprintStatusSmm"]["calls"]
          if c["service"] == "SwDispatch->Register"]
check(len(nested) == 3 and all(c["depth"] == 1 for c in nested) and
      [c["text"] for c in calls] == [line for line in setup if line.endswith(
          tuple(c["text"] for c in calls))][:len(calls)],
      "the JSON lists the same calls as the text, nested calls with their depth")
runs_json = os.path.join(checks.work, "runs.json")
run("--scenario", kept_runs, "--calls", "--json", runs_json)
with open(runs_json) as f:
    runs = json.load(f)["boots"][0]["runs"]
check(runs and any(c["service"] == "LegacyBios->FarCall86" for c in runs[0]["calls"]) and
      all(c["driver"] == "FingerprintAuthDxe" for c in runs[0]["calls"]),
      "a fingerprint run's calls in its JSON, all FingerprintAuthDxe's")

# Without --calls the report is the one it always was.
plain_json = os.path.join(checks.work, "plain.json")
plain = run("--scenario", kept, "--json", plain_json)
with open(plain_json) as f:
    plain_document = json.load(f)
check(plain.returncode == 0 and "calls (" not in plain.stdout and "calls:" not in plain.stdout and
      '"calls"' not in json.dumps(plain_document),
      "without --calls, no calls in the text or the JSON report")

# A driver that takes the simulation down inside a service it called: the crash report still
# names the calls made since the last checkpoint, the fatal one as not returned.
SET_MEM_AT_0x10 = bytes.fromhex("488b4260" "b910000000" "ba08000000" "4531c0" "4883ec28"
                                "ff9068010000")
folder = checks.planted("died", "PciBridgeProbeDxe", [(("entry", 0), SET_MEM_AT_0x10)])
died_json = os.path.join(checks.work, "died.json")
died = run("--images", folder, "--calls", "--json", died_json)
fatal = "PciBridgeProbeDxe: SetMem(address 0x10 (a null pointer plus an offset), 0x8 bytes, " \
        "value 0x0) did not return"
check(died.returncode == 1 and "   calls since the last checkpoint:\n     " + fatal + "\n" in
      died.stdout, "the crash report names the call the driver died in (got %s)"
      % died.stdout[-600:])
with open(died_json) as f:
    check(json.load(f)["died"]["calls"] == [fatal], "the JSON report's died.calls")

# A service reached by a tail call (the entry point jumps to Stall): the return address is the
# board's, the call is still the driver's.
TAIL_CALL_STALL = bytes.fromhex("488b4260" "b9d2040000" "ffa0f8000000")
folder = checks.planted("tail", "PciBridgeProbeDxe", [(("entry", 0), TAIL_CALL_STALL)])
tail = run("--images", folder, "--calls")
check(tail.returncode == 0 and "     Stall(1234 us) -> EFI_SUCCESS\n" in
      section(tail.stdout, "-- PciBridgeProbeDxe"),
      "a tail call to a service is put down to the driver that made it")

checks.finish()
