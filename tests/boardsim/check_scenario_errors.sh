#!/bin/sh
# boardsim must refuse a bad scenario with a message naming the field, and a non-zero exit.
# Usage: check_scenario_errors.sh <boardsim> <work dir>
boardsim="$1"
dir="$2"
mkdir -p "$dir"
status=0

check() { # <file content> <expected text in the message>
  printf '%s' "$1" > "$dir/scenario.json"
  output=$("$boardsim" --scenario "$dir/scenario.json" 2>&1)
  code=$?
  if [ $code -eq 0 ]; then
    echo "FAIL: accepted: $1"; status=1; return
  fi
  case "$output" in
    *"$2"*) echo "ok: $2" ;;
    *) echo "FAIL: message for $1 lacks '$2': $output"; status=1 ;;
  esac
}

check '{"straps": {"com2": 1}}' "scenario field 'straps.com2': expected true or false"
check '{"strap": {}}' "scenario field 'strap': unknown field"
check '{"gpu_vendor": "0x1FFFF"}' "scenario field 'gpu_vendor': value larger than 0xffff"
check '{"tpm": [1, 2, 3]}' "scenario field 'tpm': expected the four TPM_DID_VID bytes"
check '{"variables": [{"name": "Setup", "fields": {"Com3Selection": 1}}]}' \
      "scenario field 'variables[0].fields.Com3Selection': no such Setup field"
check '{"variables": [{"name": "X", "guid": "nonsense"}]}' "scenario field 'variables[0].guid'"
check '{"variables": [{"name": "Setup", "set": {"0x300": 1}}]}' \
      "scenario field 'variables[0].set.0x300': offset beyond"
check '{"boots": [{"straps": {"lpt": "yes"}}]}' "scenario field 'boots[0].straps.lpt'"
check '{"boots": [{"drivers": []}]}' "scenario field 'boots[0].drivers': unknown field"
check '{"straps": ' "is not valid JSON"

"$boardsim" --scenario "$dir/does-not-exist.json" > /dev/null 2>&1
[ $? -ne 0 ] || { echo "FAIL: missing scenario file accepted"; status=1; }
exit $status
