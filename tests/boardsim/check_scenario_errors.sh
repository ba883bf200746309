#!/bin/sh
# boardsim must refuse a bad scenario or command line with a message naming the field and exit
# code 2, whatever the file holds; a damaged driver image is a load error of that driver (exit
# code 1), never a crash of boardsim.
# Usage: check_scenario_errors.sh <boardsim> <work dir>   (BOARD_IMAGE_DIR: the built images)
boardsim="$1"
dir="$2"
mkdir -p "$dir"
status=0

# refuse <expected text in the message> <boardsim arguments...>: exit code 2, the text on stderr.
refuse() {
  text="$1"
  shift
  output=$("$boardsim" "$@" 2>&1 >/dev/null)
  code=$?
  if [ $code -ne 2 ]; then
    echo "FAIL: exit code $code (not 2) for $*: $(printf '%s' "$output" | tail -c 400)"
    status=1
    return
  fi
  case "$output" in
    *"$text"*) echo "ok: $text" ;;
    *) echo "FAIL: message for $* lacks '$text': $output"; status=1 ;;
  esac
}

# The table: one line per case, the scenario file's content, a tab, the text of the message.
tab=$(printf '\t')
while IFS="$tab" read -r content text; do
  printf '%s' "$content" > "$dir/scenario.json"
  refuse "$text" --scenario "$dir/scenario.json"
done <<'CASES'
{"straps": {"com2": 1}}	scenario field 'straps.com2': expected true or false
{"strap": {}}	scenario field 'strap': unknown field
{"gpu_vendor": "0x1FFFF"}	scenario field 'gpu_vendor': value larger than 65535
{"tpm": [1, 2, 3]}	scenario field 'tpm': expected the four TPM_DID_VID bytes
{"variables": [{"name": "Setup", "fields": {"Com3Selection": 1}}]}	scenario field 'variables[0].fields.Com3Selection': no such Setup field
{"variables": [{"name": "X", "guid": "nonsense"}]}	scenario field 'variables[0].guid'
{"variables": [{"name": "Setup", "set": {"0x300": 1}}]}	scenario field 'variables[0].set.0x300': offset beyond
{"boots": [{"straps": {"lpt": "yes"}}]}	scenario field 'boots[0].straps.lpt'
{"boots": [{"drivers": []}]}	scenario field 'boots[0].drivers': unknown field
{"straps": 	is not valid JSON (in field 'straps')
{"variables": [{"name": "X", "guid": 0}]}	scenario field 'variables[0].guid': expected a GUID or a GUID name as a string
{"gpu_vendor": 1e400}	scenario field 'gpu_vendor': a number beyond the range of a double
{"os": {"temperatures": [30, 1e999]}}	scenario field 'os.temperatures[1]': a number beyond the range of a double
{"gpu_vendor": 1.5}	scenario field 'gpu_vendor': expected a whole number
{"smm": {"cpu_index": "-1"}}	scenario field 'smm.cpu_index': '-1' is not a number
{"smm": {"cpu_index": " 1"}}	scenario field 'smm.cpu_index': ' 1' is not a number
{"bridge_control": "+1"}	scenario field 'bridge_control': '+1' is not a number
{"variables": [{"name": "Setup", "set": {"-1": 1}}]}	scenario field 'variables[0].set.-1': '-1' is not a number
{"variables": [{"name": "A\u0000B"}]}	scenario field 'variables[0].name'
{"drivers": ["../../bin/true"]}	scenario field 'drivers[0]': expected a driver name
{"drivers": ["NoSuchDriverDxe"]}	scenario field 'drivers[0]': no image
{"fingerprint": {"runs": [{"keys": [{"key": "F3", "at_ms": 600001}]}]}}	scenario field 'fingerprint.runs[0].keys[0].at_ms': value larger than 600000
{"straps": {"com2": true, "com2": false}}	scenario field 'straps.com2': given twice in the same object
{"expect": {"drivers": {"SetupHwSyncDxe": "EFI_SUCCESS", "SetupHwSyncDxe": "halted"}}}	scenario field 'expect.drivers.SetupHwSyncDxe': given twice in the same object
{"variables": [{"name": "Setup"}, {"name": "Other", "guid": "PNP_NV_GUID"}, {"name": "Setup", "guid": "SETUP_GUID"}]}	scenario field 'variables[2]': the variable "Setup" {EC87D643-EBA4-4BB5-A1E5-3F3E36B20DA9} is given twice (first in variables[0])
{"drivers": ["SetupHwSyncDxe", "SetupHwSyncDxe"]}	scenario field 'drivers[1]': the driver SetupHwSyncDxe is given twice (first in drivers[0])
{"fingerprint": {"drives": [{"label": "data"}, {"label": "data"}]}}	scenario field 'fingerprint.drives[1].label': the drive label "data" is given twice (first in fingerprint.drives[0])
{"fingerprint": {"drives": [{"label": "SATA drive 1"}, {}]}}	scenario field 'fingerprint.drives[1].label': the drive label "SATA drive 1" is given twice (first in fingerprint.drives[0])
{"fingerprint": {"runs": [{"name": "a"}, {"name": "a", "boot": 1}]}}	scenario field 'fingerprint.runs[1].name': the run name "a" is given twice (first in fingerprint.runs[0])
{"fingerprint": {"runs": [{}, {"name": "run 1"}]}}	scenario field 'fingerprint.runs[1].name': the run name "run 1" is given twice (first in fingerprint.runs[0])
{"fingerprint": {"reader": {"entries": [3, 1, 3]}}}	scenario field 'fingerprint.reader.entries[2]': the entry 3 is given twice
CASES

# Files too large to write inline, made by one python3 run: nesting deeper than the reader takes
# under a field that is accepted, every list one item beyond its bound, a file too large.
python3 - "$dir" <<'MAKE'
import json, sys
out = sys.argv[1]
def write(name, text):
    open(out + '/' + name + '.json', 'w').write(text)
write('deep', '{"description": ' + '[' * 30000 + ']' * 30000 + '}')
write('large', ' ' * (4 * 1024 * 1024 + 1))
bounds = {
    'temperatures': {'os': {'temperatures': [30] * 1001}},
    'smis': {'os': {'software_smis': [{'value': 1, 'eax': 0}] * 1001}},
    'variables': {'variables': [{'name': 'V'}] * 257},
    'bytes': {'variables': [{'name': 'V', 'guid': 'PNP_NV_GUID', 'bytes': [0] * 65537}]},
    'boots': {'boots': [{}] * 17},
    'drivers': {'drivers': ['SetupHwSyncDxe'] * 17},
    'runs': {'fingerprint': {'runs': [{}] * 65}},
    'typed': {'fingerprint': {'runs': [{'keys': ['a' * 4000, 'b' * 97]}]}},
    'keys': {'fingerprint': {'runs': [{'keys': ['a'] * 4097}]}},
    'modes': {'fingerprint': {'console': {'modes': [[80, 25]] * 65}}},
    'expect': {'expect': {'drivers': {'D%d' % i: 'EFI_SUCCESS' for i in range(1025)}}},
}
for name, document in bounds.items():
    write('bound_' + name, json.dumps(document))
MAKE
while IFS="$tab" read -r name text; do
  refuse "$text" --scenario "$dir/$name.json"
done <<'CASES'
deep	scenario field 'description': nested more than 32 levels deep
large	is larger than 4194304 bytes
bound_temperatures	scenario field 'os.temperatures': at most 1000 readings (1001 given)
bound_smis	scenario field 'os.software_smis': at most 1000 software SMIs
bound_variables	scenario field 'variables': at most 256 variables
bound_bytes	scenario field 'variables[0].bytes': at most 65536 byte values
bound_boots	scenario field 'boots': at most 16 boots
bound_drivers	scenario field 'drivers': at most 16 driver names
bound_runs	scenario field 'fingerprint.runs': at most 64 authentication runs
bound_typed	scenario field 'fingerprint.runs[0].keys[1]': a run presses at most 4096 keys
bound_keys	scenario field 'fingerprint.runs[0].keys': at most 4096 keys
bound_modes	scenario field 'fingerprint.console.modes': at most 64 text modes
bound_expect	scenario field 'expect.drivers': at most 1024 expectations
CASES

# A --variables file that cannot be taken: exit code 2, its line and what is wrong with it.
setup="Setup EC87D643-EBA4-4BB5-A1E5-3F3E36B20DA9"
slot="0123456789abcdef01234567"
while IFS="$tab" read -r content text; do
  printf "$content" > "$dir/nv.txt"
  refuse "nv.txt' line $text" --variables "$dir/nv.txt"
done <<CASES
$setup 7 00zz	1: expected the content as 1 to 65536 bytes in hexadecimal digits
$setup 7 	1: expected NAME GUID ATTRIBUTES HEXBYTES
\n\nSetup nonsense 7 00	3: 'nonsense' is no GUID
$setup 6 00	1: attributes '6': expected a decimal number up to 127 with the non-volatile bit (1)
$setup 0x7 00	1: attributes '0x7'
$setup 7 00 extra	1: 'extra' after the end of the line's fields
$setup 7 00\n$setup 3 0102	2: the variable "Setup" {EC87D643-EBA4-4BB5-A1E5-3F3E36B20DA9} is given twice (first on line 1)
reader-slots 40	1: reader-slots needs the slot mask in hexadecimal, 00 to 1f
reader-slots 01\nreader-slots 01	2: a second reader-slots line (the first is line 1)
reader-slots 01\nreader-slot 03 $slot	2: reader-slot needs a slot bit (01, 02, 04, 08 or 10)
reader-slots 01\nreader-slot 01 00	2: reader-slot 01 needs 12 bytes in hexadecimal
reader-slots 05\nreader-slot 01 $slot	1: the reader-slots mask 05 names the slot 04, which has no reader-slot line
reader-slots 01\nreader-slot 01 $slot\nreader-slot 02 $slot	3: the reader slot 02 is not in the reader-slots mask 01 (line 1)
reader-slots 01\nreader-slot 01 $slot\nreader-slot 01 $slot	3: the reader slot 01 is given twice (first on line 2)
reader-slot 01 $slot	1: a reader-slot line without a reader-slots line
CASES
refuse "variables file '$dir' is a folder" --variables "$dir"

# Files that are no scenario, and the command line.
refuse "cannot read scenario file" --scenario "$dir/does-not-exist.json"
refuse "scenario file '$dir' is a directory" --scenario "$dir"
refuse "--images: no folder '$dir/no-such-folder'" --images "$dir/no-such-folder"
refuse "--scenario needs a value" --scenario
refuse "unknown argument '--bogus'" --bogus

# Damaged images, made by one python3 run: each folder holds one damaged image (the drivers
# without an image are not dispatched). Each is a load error of its driver, or, for code that
# jumps where no code is, a crash of it; boardsim exits 1.
python3 - "$dir" "$BOARD_IMAGE_DIR" <<'MAKE'
import os, shutil, struct, sys
out, images = sys.argv[1], sys.argv[2]
def damaged(case, name, change):
    b = bytearray(open(images + '/' + name + '.efi', 'rb').read())
    pe = struct.unpack_from('<I', b, 0x3C)[0]
    b = change(b, pe) or b
    folder = out + '/images_' + case
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    open(folder + '/' + name + '.efi', 'wb').write(b)
def put(fmt, at, value):
    return lambda b, pe: struct.pack_into(fmt, b, pe + at, value)
def jump_at_entry(b, pe):
    # mov rax, 0x1000; jmp rax: to an address where nothing is mapped
    entry = struct.unpack_from('<I', b, pe + 24 + 16)[0]
    table = pe + 24 + struct.unpack_from('<H', b, pe + 20)[0]
    for i in range(struct.unpack_from('<H', b, pe + 6)[0]):
        size, rva, _, raw = struct.unpack_from('<IIII', b, table + 40 * i + 8)
        if rva <= entry < rva + size:
            at = raw + entry - rva
            b[at:at + 12] = b'\x48\xB8' + struct.pack('<Q', 0x1000) + b'\xFF\xE0'
damaged('cut', 'SetupHwSyncDxe', lambda b, pe: b[:1000])
damaged('entry', 'PciBridgeProbeDxe', put('<I', 24 + 16, 0x7FFF0))
damaged('size', 'SetupHwSyncDxe', put('<I', 24 + 56, 0xFFFFFFF0))
damaged('sections', 'SetupHwSyncDxe', put('<H', 6, 0xFFFF))
damaged('mz', 'PciBridgeProbeDxe', lambda b, pe: b'XX' + b[2:])
damaged('relocations', 'PciBridgeProbeDxe', put('<I', 24 + 112 + 5 * 8, 0xFFFFF000))
damaged('jump', 'SetupHwSyncDxe', jump_at_entry)
MAKE
while IFS="$tab" read -r case text; do
  output=$("$boardsim" --images "$dir/images_$case" 2>&1)
  code=$? # a signal (boardsim itself crashed) gives 128 and more
  if [ $code -ne 1 ]; then
    echo "FAIL: exit code $code (not 1) with the damaged image '$case'"; status=1
  fi
  case "$output" in
    *"$text"*) echo "ok: $text" ;;
    *) echo "FAIL: report for the damaged image '$case' lacks '$text'"; status=1 ;;
  esac
done <<'CASES'
cut	LOAD ERROR: SetupHwSyncDxe: section data beyond the end of the file
entry	LOAD ERROR: PciBridgeProbeDxe: entry point outside the image's code
size	LOAD ERROR: SetupHwSyncDxe: image or header size out of range
sections	LOAD ERROR: SetupHwSyncDxe: headers beyond the end of the file
mz	LOAD ERROR: PciBridgeProbeDxe: no MZ header
relocations	LOAD ERROR: PciBridgeProbeDxe: relocations outside the image
jump	CRASH: a jump to address 0x1000 (a null pointer plus an offset), outside every image's code
CASES

# With every other image beside a damaged one, the others still run.
cp "$BOARD_IMAGE_DIR"/*.efi "$BOARD_IMAGE_DIR"/*.ffs "$dir/images_cut/"
head -c 1000 "$BOARD_IMAGE_DIR/SetupHwSyncDxe.efi" > "$dir/images_cut/SetupHwSyncDxe.efi"
output=$("$boardsim" --images "$dir/images_cut" 2>&1)
code=$?
case "$code:$output" in
  "1:"*"LOAD ERROR: SetupHwSyncDxe"*"PciBridgeProbeDxe"*"entry point returned EFI_SUCCESS"*)
    echo "ok: the other drivers run beside a damaged image" ;;
  *) echo "FAIL: exit code $code, the other drivers beside a damaged image"; status=1 ;;
esac
exit $status
