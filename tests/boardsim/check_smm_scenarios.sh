#!/bin/sh
# boardsim's SMM and operating-system phases: scenario fields that change what the SMIs do, and
# bad fields refused with a message naming them.
# Usage: check_smm_scenarios.sh <boardsim> <work dir>
boardsim="$1"
dir="$2"
mkdir -p "$dir"
status=0

run() { # <file content>: runs boardsim, output in $output, exit code in $code
  printf '%s' "$1" > "$dir/smm.json"
  output=$("$boardsim" --scenario "$dir/smm.json" 2>&1)
  code=$?
}

expect() { # <file content> <text the report must contain>...
  scenario="$1"
  shift
  run "$scenario"
  if [ $code -ne 0 ]; then
    echo "FAIL: exit $code for $scenario: $output"; status=1; return
  fi
  for text in "$@"; do
    case "$output" in
      *"$text"*) echo "ok: $text" ;;
      *) echo "FAIL: report for $scenario lacks '$text'"; status=1 ;;
    esac
  done
}

refuse() { # <file content> <expected text in the message>
  run "$1"
  if [ $code -eq 0 ]; then
    echo "FAIL: accepted: $1"; status=1; return
  fi
  case "$output" in
    *"$2"*) echo "ok: $2" ;;
    *) echo "FAIL: message for $1 lacks '$2': $output"; status=1 ;;
  esac
}

# Table A by port 0xE82, and the high band from a reading of 0x80 and above.
expect '{"os": {"temperatures": [20, 200], "port_e82": "0x20"}}' \
  "FAN BAND CHANGE: table A, low (up to 26) band, marker 0x40" \
  "FAN BAND CHANGE: table A, high (32 up) band, marker 0x73"
# Register 0x17 blocks every fan update; the SMIs still cost their accesses.
expect '{"os": {"temperatures": [20, 40], "register_17": 1}}' \
  "tick 1: temperature 20, 14 hardware accesses, fan band unchanged" \
  "tick 2: temperature 40, 14 hardware accesses, fan band unchanged"
# Without the SMM variable services the software SMIs go unanswered.
expect '{"smm": {"tables": {"variable_services": false}}}' \
  "SMI 0x534D8920, EAX 0x00008900 -> 0x00008900: no answer (EAX unchanged)"

# The report says why: a tick that changes no fan register, an SMI without an answer, a state
# answered without the variable behind it, a driver that refuses "Setup".
expect '{"os": {"temperatures": [20], "register_17": 1}}' \
  "fan band unchanged: update blocked: hardware-monitor register 0x17 reads 0x01"
expect '{"os": {"temperatures": [20, 20]}}' \
  "tick 2: temperature 20, 19 hardware accesses, fan band unchanged: already in the band: marker 0x33 (table B, low (up to 26))"
expect '{"smm": {"tables": {"variable_services": false}}, "os": {"temperatures": []}}' \
  "no answer (EAX unchanged): the SMM configuration table has no variable services entry"
expect '{"smm": {"cpus": 2, "cpu_index": 2}, "os": {"temperatures": []}}' \
  "no answer (EAX unchanged): the handler's processor index 2 (from the CPU index table) is beyond the 2 save-state records"
expect '{"smm": {"cpus": 2, "caller_cpu": 1, "cpu_index": 0}, "os": {"temperatures": []}}' \
  "no answer (EAX unchanged): the handler works on the save-state record of processor 0 (the CPU index table's entry), not on the caller's (processor 1)"
expect '{"os": {"temperatures": [], "software_smis": [{"value": "0x534D8920", "eax": "0x1200"},
                                                      {"value": "0x534D0000", "eax": "0x8900"}]}}' \
  "EAX 0x00001200 -> 0x00001200: no answer (EAX unchanged): the function code in AH, 0x12, is none of those the handler answers" \
  "SMI 0x534D0000, EAX 0x00008900 -> 0x00008900: no answer (EAX unchanged): no handler is registered for this SMI value"
expect '{"variables": [{"name": "FPExistFlag", "guid": "EFI_GLOBAL_VARIABLE", "bytes": [2]}],
         "os": {"temperatures": []}}' \
  "-> 0x000A0000: password state not known: \"VELTRASetup\" could not be read (EFI_NOT_FOUND)" \
  "-> 0x00000003: fingerprint state: finger enrolled (\"FPExistFlag\" bit 1); reader option not known: \"Setup\" could not be read (EFI_NOT_FOUND)"
expect '{"os": {"temperatures": []}}' \
  "-> 0x00000000: fingerprint state not known: \"FPExistFlag\" could not be read (EFI_NOT_FOUND)"
expect '{"variables": [{"name": "Setup", "size": 600}], "os": {"temperatures": []}}' \
  "why: \"Setup\" holds 600 bytes; the driver works only on a 662-byte \"Setup\""
# Variables set generically reach the status SMIs.
expect '{"variables": [{"name": "VELTRASetup", "guid": "VELTRASETUP_GUID", "size": 257,
          "set": {"128": 65}}, {"name": "FPExistFlag", "guid": "EFI_GLOBAL_VARIABLE",
          "bytes": [1]}],
        "os": {"temperatures": []}}' \
  "-> 0x000E0000: password state: user password empty, administrator password set" \
  "-> 0x00000000: fingerprint state: no finger enrolled; reader option not known: \"Setup\" could not be read (EFI_NOT_FOUND)"
expect '{"variables": [{"name": "Setup", "fill": 0},
                      {"name": "FPExistFlag", "guid": "EFI_GLOBAL_VARIABLE", "bytes": [1]}],
        "os": {"temperatures": []}}' \
  "-> 0x00000000: fingerprint state: no finger enrolled, reader option off (\"Setup\" byte 0x218)"
# The answer moves with the processor index table.
expect '{"smm": {"cpus": 4, "caller_cpu": 3, "cpu_index": 3},
         "os": {"temperatures": [], "software_smis": [{"value": "0x534D8920", "eax": 35072}]}}' \
  "SMI 0x534D8920, EAX 0x00008900 -> 0x5553000F: signature"
# An index outside the save-state records is not answered, and nothing is written there.
expect '{"smm": {"cpus": 2, "cpu_index": 2}, "os": {"temperatures": []}}' \
  "SMI 0x534D8920, EAX 0x00008900 -> 0x00008900: no answer"

refuse '{"os": {"temperatures": [300]}}' "scenario field 'os.temperatures[0]': value larger than 255"
refuse '{"os": {"fan": 1}}' "scenario field 'os.fan': unknown field"
refuse '{"smm": {"tables": {"cpu_index": 1}}}' "scenario field 'smm.tables.cpu_index': expected true or false"
refuse '{"smm": {"cpus": 2, "caller_cpu": 2}}' "scenario field 'smm.caller_cpu': beyond the 2 processors"
refuse '{"os": {"software_smis": [{"value": 1}]}}' "scenario field 'os.software_smis[0]'"
exit $status
