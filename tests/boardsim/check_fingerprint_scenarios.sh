#!/bin/sh
# boardsim's fingerprint authentication: the default scenario's two boot runs (the drive's
# password typed once and learned, then the finger alone), keys from a piped terminal, a timed
# key at the notice, a halt and a stuck wait ending the boot's runs, and the section's fields
# refused with a message naming the field.
# Usage: check_fingerprint_scenarios.sh <boardsim> <work dir>
boardsim="$1"
dir="$2"
checkout=$(cd "$(dirname "$0")/../.." && pwd)
# The line of the first occurrence of a text in a file of the checkout.
line_of() { grep -nF -- "$2" "$checkout/$1" | head -n 1 | cut -d: -f1; }
mkdir -p "$dir"
status=0

fail() { echo "FAIL: $1"; status=1; }

# expect <what> <text> <pattern...>: every pattern (an extended regular expression) is in text.
expect() {
  what="$1"; text="$2"; shift 2
  for pattern in "$@"; do
    if printf '%s\n' "$text" | grep -Eq -- "$pattern"; then :; else
      fail "$what: no match for '$pattern'"
    fi
  done
}
refuse() {
  what="$1"; text="$2"; shift 2
  for pattern in "$@"; do
    if printf '%s\n' "$text" | grep -Eq -- "$pattern"; then fail "$what: '$pattern' present"; fi
  done
}
# The report of boot <n>'s checkpoints, up to the next boot's dispatch or the OS phase.
checkpoints() {
  printf '%s\n' "$1" | awk -v boot="$2" '
    $0 ~ "^Boot " boot ": the setup engine" { on = 1 }
    on && (/^Boot [0-9]+ of/ || /^Operating system/) { on = 0 }
    on'
}

# ---- the default scenario -------------------------------------------------------------------
out=$("$boardsim" 2>&1) || fail "default scenario: exit status $?"
refuse "default scenario" "$out" "CRASH" "PROBLEM"
first=$(checkpoints "$out" 1)
second=$(checkpoints "$out" 2)
expect "first boot" "$first" \
  "FingerprintAuthDxe .*\.ffs" "entry point returned EFI_SUCCESS" \
  "returned EFI_SUCCESS" "-> 0x40000004 \(console restored, user verified\)" \
  "missing Hard Disk Password for SATA Drive: 0" \
  "hdd verify SATA drive 0 user accepted" "module request 1 -> 0x0" \
  "SATA drive 0 \(.*\): unlocked" "drive 0: CRC 0x0000, no slot -> CRC 0x[0-9A-F]{4}, disk1"
expect "second boot" "$second" \
  "the enrolled finger opens the locked drive" "returned EFI_SUCCESS" \
  "user verified" "screens the user saw: none" "hdd verify SATA drive 0 user accepted" \
  "SATA drive 0 \(.*\): unlocked"
refuse "second boot" "$second" "refused" "Hard Disk Password for SATA" "FpHdp2HdpMapFlag"

# ---- keys from the terminal (a pipe): a typing error corrected with DEL ----------------------
out=$(printf 'disk-secrex\177t\r' | "$boardsim" --interactive 2>&1) || fail "interactive: exit $?"
first=$(checkpoints "$out" 1)
expect "interactive" "$first" "keys from the terminal" "returned EFI_SUCCESS" \
  "hdd verify SATA drive 0 user accepted" "SATA drive 0 \(.*\): unlocked"

# ---- the notice without any password: paused by a timed Enter, ended by F3 -------------------
cat > "$dir/notice.json" <<'EOF'
{"drivers": [],
 "fingerprint": {"runs": [{"name": "the notice",
   "keys": [{"key": "ENTER", "at_ms": 2500}, {"key": "F3", "at_ms": 6000}]}]}}
EOF
out=$("$boardsim" --scenario "$dir/notice.json" 2>&1) || fail "notice: exit status $?"
expect "notice" "$out" "returned EFI_ABORTED" "board time: 6.00 s" \
  "Fingerprint Authentication" "Press ENTER to continue \.\.\." \
  "value: \(none\) -> 0x55AA55AA \(notice suppressed\)"
refuse "notice" "$out" "PROBLEM" "CRASH"

# ---- three wrong drive passwords halt the machine; the boot's later runs do not happen --------
cat > "$dir/halt.json" <<'EOF'
{"drivers": [],
 "fingerprint": {
   "passwords": {"user": "letmein"},
   "drives": [{"channel": 1, "device": 0, "user_password": "right"}],
   "finger": {"slots": {"user": "letmein"}},
   "runs": [{"name": "wrong thrice", "keys": ["one\r", "two\r", "three\r"]},
            {"name": "never"}]}}
EOF
# A halt the scenario does not expect fails the run; one it expects passes.
out=$("$boardsim" --scenario "$dir/halt.json" 2>&1) && fail "unexpected halt: exit status 0"
expect "unexpected halt" "$out" 'NOT EXPECTED: run "wrong thrice" halted in boot 1' \
  "Verdict: FAILED"
sed 's/}}$/}, "expect": {"runs": {"wrong thrice": {"halted": true}}}}/' \
  "$dir/halt.json" > "$dir/halt_expected.json"
out=$("$boardsim" --scenario "$dir/halt_expected.json" 2>&1) || fail "halt: exit status $?"
expect "halt" "$out" "the machine halted" "Fatal Error\.\.\. System Halted" \
  "value: \(none\) -> 0x08 \(drive 1\)" "remaining 1 run\(s\) of this boot do not happen" \
  "halted at FingerprintAuthDxe\+0x[0-9a-f]+ \(CpuDeadLoop\+0x0\), called from FingerprintAuthDxe\+0x[0-9a-f]+ \([^ ]+, fingerprint_auth/hdd_unlock\.cpp:$(line_of fingerprint_auth/hdd_unlock.cpp 'CpuDeadLoop();')\)"
refuse "halt" "$out" "checkpoint 2: never"

# ---- a prompt with no key left: the run is stuck ---------------------------------------------
cat > "$dir/stuck.json" <<'EOF'
{"drivers": [],
 "fingerprint": {"drives": [{"user_password": "right"}],
   "runs": [{"name": "no keys"}]},
 "expect": {"runs": {"no keys": {"status": "stuck"}}}}
EOF
out=$("$boardsim" --scenario "$dir/stuck.json" 2>&1) || fail "stuck: exit status $?"
expect "stuck" "$out" "stuck: .*stuck" \
  "stuck\), called from FingerprintAuthDxe\+0x[0-9a-f]+ \([^ ]+, fingerprint_auth/console_dialogs\.cpp:$(line_of fingerprint_auth/console_dialogs.cpp 'DriverBootServices->WaitForEvent(1, &ConIn->WaitForKey')\)" \
  "missing Hard Disk Password for SATA Drive: 0" "SATA drive 0 \(.*\): LOCKED"

# ---- a drive with security enabled but not locked is no reason to go on: the notice, ESC --------
cat > "$dir/unlocked.json" <<'EOF'
{"drivers": [],
 "fingerprint": {"drives": [{"user_password": "right", "locked": false}],
   "runs": [{"name": "enabled, not locked", "keys": [{"key": "ESC", "at_ms": 100}]}]}}
EOF
out=$("$boardsim" --scenario "$dir/unlocked.json" 2>&1) || fail "unlocked: exit status $?"
expect "unlocked" "$out" "returned EFI_ABORTED" "board time: 0.10 s" \
  "Fingerprint Authentication" "SATA drive 0 \(.*\): unlocked" "variables changed: none"
refuse "unlocked" "$out" "module request 0" "PROBLEM"

# ---- why a run ended: the module's answers named ------------------------------------------------
cat > "$dir/refused.json" <<'EOF'
{"fingerprint": {"drives": [{"user_password": "right"}], "finger": {"accepted": false},
   "runs": [{"name": "refused finger", "keys": [{"key": "ESC", "at_ms": 100}]}]}}
EOF
out=$("$boardsim" --scenario "$dir/refused.json" 2>&1) || fail "refused: exit status $?"
expect "refused" "$out" "returned EFI_ABORTED" \
  "module requests \(code: answer\): 5: 0x0000 \(open, done\) 0: 0x0001 \(fingerprint, finger refused\)" \
  "why the run ended: the module refused the finger \(answer 0x0001\)"
cat > "$dir/closed.json" <<'EOF'
{"fingerprint": {"drives": [{"user_password": "right"}], "module": {"answers": {"5": 7}},
   "runs": [{"name": "module closed"}]}}
EOF
out=$("$boardsim" --scenario "$dir/closed.json" 2>&1) || fail "closed: exit status $?"
expect "closed" "$out" "5: 0x0007 \(open, refused\)" \
  "why the run ended: the module did not open \(answer 0x0007\)"

# ---- the section's fields ----------------------------------------------------------------------
check() { # <scenario> <expected text in the message>
  printf '%s' "$1" > "$dir/scenario.json"
  output=$("$boardsim" --scenario "$dir/scenario.json" 2>&1)
  code=$?
  if [ $code -eq 0 ]; then
    fail "accepted: $1"; return
  fi
  case "$output" in
    *"$2"*) echo "ok: $2" ;;
    *) fail "message for $1 lacks '$2': $output" ;;
  esac
}

check '{"fingerprint": []}' "scenario field 'fingerprint': expected an object"
check '{"fingerprint": {"reader_entries": [1]}}' "scenario field 'fingerprint.reader_entries': unknown field"
check '{"fingerprint": {"runs": [{"boot": 3}]}}' \
      "scenario field 'fingerprint.runs[0].boot': no such boot (the scenario has 1 boot)"
check '{"fingerprint": {"runs": [{"keys": [{"key": "F13"}]}]}}' \
      "scenario field 'fingerprint.runs[0].keys[0].key': unknown key 'F13'"
check '{"fingerprint": {"runs": [{"keys": [{"key": "F1", "text": "x"}]}]}}' \
      "scenario field 'fingerprint.runs[0].keys[0]': give either 'key' or 'text'"
check '{"fingerprint": {"runs": [{"keys": [{"text": "x", "at_ms": -5}]}]}}' \
      "scenario field 'fingerprint.runs[0].keys[0].at_ms': negative number"
check '{"fingerprint": {"runs": [{"keys": "abc"}]}}' \
      "scenario field 'fingerprint.runs[0].keys': expected an array of keys"
check '{"fingerprint": {"runs": [{"checkpoint": "setup"}]}}' \
      "scenario field 'fingerprint.runs[0].checkpoint': expected \"boot\" or \"system-password\""
check '{"fingerprint": {"runs": [{"auth_flags": "0x1FFFFFFFF"}]}}' \
      "scenario field 'fingerprint.runs[0].auth_flags': value larger than 4294967295"
check '{"fingerprint": {"passwords": {"user": "has space"}}}' \
      "scenario field 'fingerprint.passwords.user': a password holds printable ASCII"
check '{"fingerprint": {"passwords": {"guest": "x"}}}' \
      "scenario field 'fingerprint.passwords.guest': unknown field"
check '{"fingerprint": {"drives": [{"serial": "123456789012345678901"}]}}' \
      "scenario field 'fingerprint.drives[0].serial': a serial number has at most 20 characters"
check '{"fingerprint": {"drives": [{"master_password": "m"}]}}' \
      "scenario field 'fingerprint.drives[0].master_password': a master password needs a user password"
check '{"fingerprint": {"drives": [{"locked": false}]}}' \
      "scenario field 'fingerprint.drives[0].locked': only a drive with a user password"
check '{"fingerprint": {"drives": [{"function": 8}]}}' \
      "scenario field 'fingerprint.drives[0].function': value larger than 7"
check '{"fingerprint": {"finger": {"slots": {"disk4": "x"}}}}' \
      "scenario field 'fingerprint.finger.slots.disk4': no such module slot"
check '{"fingerprint": {"module": {"busy": {"five": 3}}}}' \
      "scenario field 'fingerprint.module.busy.five': 'five' is not a number"
check '{"fingerprint": {"module": {"answers": {"0": 70000}}}}' \
      "scenario field 'fingerprint.module.answers.0': value larger than 65535"
check '{"fingerprint": {"caller": {"disks": ["a", "b", "c", "d", "e"]}}}' \
      "scenario field 'fingerprint.caller.disks': expected up to four"
check '{"fingerprint": {"console": {"modes": [[80, 0]]}}}' \
      "scenario field 'fingerprint.console.modes[0]': a text mode has at least one column and one row"
check '{"fingerprint": {"console": {"modes": [{"columns": 80}]}}}' \
      "scenario field 'fingerprint.console.modes[0]': a mode needs 'columns' and 'rows'"
check '{"fingerprint": {"reader": {"entries": [99]}}}' \
      "scenario field 'fingerprint.reader.entries[0]': value larger than"
check '{"fingerprint": {"reader": {"controller": 0}}}' \
      "scenario field 'fingerprint.reader.controller': controllers are numbered from 1"
exit $status
