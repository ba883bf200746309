#!/usr/bin/env python3
"""Every example of README.md and docs/*.md holds against the checkout and its build:

- each boardsim command line runs (the file names it uses made in a work folder) and exits 0;
  the synopsis names the options `boardsim --help` does;
- each scenario example written as JSON (inline, like `{"com2": false, ...}`) is accepted at the
  field it is written for; a schema written with placeholders (`{"KIND": N}`) is not JSON and is
  left alone, and anything else fails;
- the other commands: presets, labels, scripts, scenario words, options and symbols they name
  exist; the debug-twin commands run and name the source line; the flash-image insertion and the
  shell loop over kept scenarios run;
- the report excerpts are what boardsim prints for the run they come from (image sizes
  included); the CMake snippet is the one tests/boardsim/CMakeLists.txt holds; the image size
  table is the build's sizes.md.

A code block or inline JSON this test does not know fails it: add it to the tables below.

Usage: check_doc_examples.py <boardsim> <work dir> <checkout>   (BOARD_IMAGE_DIR: the images)"""
import glob
import json
import os
import re
import shlex
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from boardsim_checks import Checks  # noqa: E402

BOARDSIM, WORK, ROOT = (os.path.abspath(a) for a in sys.argv[1:4])
checks = Checks(BOARDSIM, WORK, os.path.join(ROOT, "tests", "boardsim", "scenarios"))
check, run, write = checks.check, checks.run, checks.write
IMAGES = os.environ["BOARD_IMAGE_DIR"]
HOST_BUILD = os.path.dirname(os.path.dirname(os.path.dirname(BOARDSIM)))  # build/host
DOCUMENTS = ["README.md"] + sorted(os.path.relpath(p, ROOT)
                                   for p in glob.glob(os.path.join(ROOT, "docs", "*.md")))


def read(relative):
    with open(os.path.join(ROOT, relative)) as f:
        return f.read()


# ---- the examples of the documents -----------------------------------------------------------
def code_blocks(text):
    """(line number, [lines]) of each indented or fenced code block. A block indented inside a
    list item needs four columns more than the item's text."""
    lines, blocks, index = text.split("\n"), [], 0
    while index < len(lines):
        line = lines[index]
        if line.startswith("```"):
            end = index + 1
            while end < len(lines) and not lines[end].startswith("```"):
                end += 1
            blocks.append((index + 2, lines[index + 1:end]))
            index = end + 1
            continue
        if line.startswith("    ") and index > 0 and lines[index - 1] == "":
            previous = index - 2
            while previous >= 0 and lines[previous] == "":
                previous -= 1
            # The text column of the list item the paragraph before belongs to.
            column = 0
            for back in range(previous, -1, -1):
                if lines[back] == "":
                    break
                item = re.match(r"^(\s*)(?:[-*]|\d+\.) ", lines[back])
                if item:
                    column = len(item.group(0))
                    break
            indent = len(line) - len(line.lstrip(" "))
            if indent >= column + 4:
                end = index
                while end < len(lines) and (lines[end].startswith(" " * (column + 4)) or
                                            (lines[end] == "" and end + 1 < len(lines) and
                                             lines[end + 1].startswith(" " * (column + 4)))):
                    end += 1
                blocks.append((index + 1, [l[column + 4:] for l in lines[index:end]]))
                index = end
                continue
        index += 1
    return blocks


def commands(block):
    """The commands of a block: continuation lines joined, comments dropped; a synopsis (with
    [optional] or <placeholder> words) is one command over all its lines."""
    if re.search(r"\[-|<[a-z ]+>", " ".join(block)):
        return [shlex.split(" ".join(l.strip() for l in block).replace("<", "'<").replace(
            ">", ">'"))]
    joined, found = "", []
    for line in block:
        joined += line.rstrip()
        if joined.endswith("\\"):
            joined = joined[:-1] + " "
            continue
        words = shlex.split(joined, comments=True)
        if words:
            found.append(words)
        joined = ""
    return found


# ---- boardsim command lines ------------------------------------------------------------------
HELP = run("--help").stdout


def options_of(text):
    return sorted(set(re.findall(r"--[a-z-]+", text)))


def is_synopsis(words):
    return any(w.startswith(("[", "<")) for w in words)


def boardsim_command(words, where):
    if is_synopsis(words):
        synopsis = options_of(" ".join(words))
        usage = options_of(HELP.split("\n  --")[0])
        check(synopsis == usage, "%s: the synopsis names boardsim's options %s" % (where, usage))
        return
    arguments, stdin = [], None
    for word in words[1:]:
        if word == "my.json":  # a scenario of one's own: the default, printed
            word = os.path.join(WORK, "my.json")
            with open(word, "w") as f:
                f.write(run("--print-default").stdout)
        elif word in ("nv.txt", "report.json"):
            word = os.path.join(WORK, word)
            if os.path.exists(word):
                os.remove(word)
        elif word == "--interactive":  # the password the default scenario's first run asks
            stdin = "disk-secret\r"
        elif word.startswith("[") or word.startswith("--") and word not in HELP:
            check(False, "%s: boardsim has no option %s" % (where, word))
            return
        arguments.append(word)
    result = run(*arguments, stdin=stdin)
    ok = result.returncode == 0 and "Verdict: passed" in result.stdout
    if "--print-default" in arguments:
        ok = result.returncode == 0 and json.loads(result.stdout) is not None
    if "report.json" in " ".join(arguments):
        with open(os.path.join(WORK, "report.json")) as f:
            ok = ok and json.load(f)["exit_code"] == 0
    if "nv.txt" in " ".join(arguments):
        ok = ok and os.path.getsize(os.path.join(WORK, "nv.txt")) > 0
    check(ok, "%s: boardsim %s runs and exits 0 (got %d)" % (where, " ".join(words[1:]),
                                                             result.returncode))


# ---- the other commands ----------------------------------------------------------------------
PRESETS = json.loads(read("CMakePresets.json"))
HARNESS_WORDS = re.findall(r'^\s+\{"([a-z0-9-]+)", \w+\},$', read(
    "tests/firmware/harness/harness_main.cpp"), re.M)
MAPS = "".join(open(p).read() for p in glob.glob(os.path.join(IMAGES, "*.map")))
SYMBOLIZER = shutil.which("llvm-symbolizer") or shutil.which("llvm-symbolizer-14")


def preset_names(kind):
    return [p["name"] for p in PRESETS.get(kind, [])]


def symbol_exists(name):
    return re.search(r"[ ?]%s(@|\s)" % re.escape(name), MAPS) is not None


def cmake_command(words, where):
    ok = True
    for index, word in enumerate(words):
        if word == "--preset":
            kind = "buildPresets" if "--build" in words else "configurePresets"
            ok &= words[index + 1] in preset_names(kind)
        if word.startswith("-D"):
            name = word[2:].split("=")[0]
            ok &= any(name in read(os.path.relpath(p, ROOT)) for p in
                      glob.glob(os.path.join(ROOT, "cmake", "*.cmake")) +
                      [os.path.join(ROOT, "CMakeLists.txt")])
    check(ok, "%s: %s names presets and options that exist" % (where, " ".join(words)))


def ctest_command(words, where):
    folder = words[words.index("--test-dir") + 1]
    label = words[words.index("-L") + 1]
    binary = [p["binaryDir"].replace("${sourceDir}/", "") for p in PRESETS["configurePresets"]]
    check(folder in binary and re.search(r"LABELS %s\b" % label, read(
        "tests/firmware/CMakeLists.txt")),
          "%s: ctest folder %s is a preset's and label %s exists" % (where, folder, label))


def script_command(words, where):
    script = words[0]
    path = os.path.join(ROOT, script)
    ok = os.path.isfile(path) and os.access(path, os.X_OK)
    if script == "scripts/run-ovmf.sh":
        text = read(script)
        for word in words[1:]:
            if is_synopsis([word]):
                ok &= word.strip("[]") in ("--gdb", "scenario")
            elif word.startswith("--"):
                ok &= ('"%s"' % word) in text
            else:
                ok &= word in HARNESS_WORDS
    elif script == "tools/ffs/insert_ffs.py" and is_synopsis(words):
        usage = subprocess.run([sys.executable, path, "--help"], capture_output=True,
                               text=True).stdout
        ok &= all(option in usage for option in options_of(" ".join(words)))
    elif script == "tools/ffs/insert_ffs.py":
        # Into Debian's OVMF, as the example says; the new image goes to the work folder.
        output = os.path.join(WORK, words[words.index("--output") + 1])
        arguments = [w if w != words[words.index("--output") + 1] else output for w in words[1:]]
        result = subprocess.run([sys.executable, path, *arguments, "--images", IMAGES],
                                capture_output=True, text=True, cwd=WORK)
        ok &= result.returncode == 0 and os.path.getsize(output) > 0
    elif len(words) > 1:
        ok = False  # an argument this test does not know for the script
    check(ok, "%s: %s exists and takes what the example gives it" % (where, " ".join(words)))


def environment_command(words, where):
    """VARIABLE=value ... command: the script reads each variable."""
    variables = [w.split("=")[0] for w in words if re.match(r"^[A-Z_]+=", w)]
    rest = [w for w in words if not re.match(r"^[A-Z_]+=", w)]
    check(all(v in read(rest[0]) for v in variables),
          "%s: %s reads %s" % (where, rest[0], ", ".join(variables)))
    script_command(rest, where)


def gdb_command(words, where):
    ok = True
    for index, word in enumerate(words):
        if word == "-x":
            ok &= os.path.isfile(os.path.join(ROOT, words[index + 1]))
        if word == "-ex" and words[index + 1].startswith("break "):
            ok &= symbol_exists(words[index + 1].split()[1])
    if "-batch" in words:  # reading a twin by hand: run it
        checkout = os.path.dirname(os.path.dirname(os.path.dirname(IMAGES.rstrip("/"))))
        result = subprocess.run(words, capture_output=True, text=True, cwd=checkout)
        ok &= re.search(r'Line \d+ of "[a-z_/]+\.cpp"', result.stdout) is not None
    if "--args" in words:
        program = words[words.index("--args") + 1]
        if program.startswith("build/host/"):
            program = os.path.join(HOST_BUILD, program[len("build/host/"):])
        ok &= os.access(program, os.X_OK)
        filters = [w for w in words if w.startswith("--gtest_filter=")]
        if filters:
            listed = subprocess.run([program, "--gtest_list_tests", filters[0]],
                                    capture_output=True, text=True).stdout
            ok &= re.search(r"^  \w", listed, re.M) is not None
    check(ok, "%s: %s: its script, program, tests and symbols exist" % (where, " ".join(words)))


def symbolizer_command(words, where):
    twin = words[1].split("=", 1)[1]
    twin = os.path.join(IMAGES, os.path.basename(twin))
    result = subprocess.run([SYMBOLIZER or "llvm-symbolizer", "--obj=" + twin, *words[2:]],
                            capture_output=True, text=True, cwd=ROOT)
    check(re.search(r"\n\.?/?[a-z_]+/[a-z_]+\.cpp:\d+", result.stdout) is not None,
          "%s: llvm-symbolizer names a source line for %s (got %r)" % (where, words[-1],
                                                                        result.stdout))


def shell_loop(line, where):
    folder = os.path.join(WORK, "kept")
    shutil.rmtree(folder, ignore_errors=True)
    shutil.copytree(checks.kept, os.path.join(folder, "scenarios"))
    result = subprocess.run(["sh", "-c", line], capture_output=True, text=True, cwd=folder,
                            env={**os.environ, "PATH": os.path.dirname(BOARDSIM) + ":" +
                                 os.environ["PATH"]})
    reports = glob.glob(os.path.join(folder, "scenarios", "*.report"))
    check(result.returncode == 0 and "FAILED" not in result.stdout and
          len(reports) == len(glob.glob(os.path.join(folder, "scenarios", "*.json"))),
          "%s: the shell loop runs every kept scenario, none fails" % where)


# ---- report excerpts: where each comes from, and its lines in the report ---------------------
# The numbers after an image's "+0x" and the "..." of a mangled name stand for themselves only
# where the excerpt comes from a planted image; the rest is compared as it is.
RAISING = bytes.fromhex("4883ec28" "488b4260" "b91f000000" "ff5018" "4883c428" "31c0" "c3")


def report_of(kind):
    if kind == "default":
        return run().stdout
    if kind == "system table":
        # mov edx, 0x10; jmp InitializeDriverGlobals: the support library reads the system
        # table through a pointer into unmapped memory (SourceLines.PlantedCrashNamesFileAndLine)
        with open(os.path.join(IMAGES, "PciBridgeProbeDxe.map")) as f:
            text = f.read()
        entry, target = (int(re.search(r"\s%s\S*\s+([0-9a-f]{16})" % re.escape(name), text).group(1),
                             16) for name in ("PciBridgeProbeEntryPoint",
                                              "?InitializeDriverGlobals@"))
        folder = checks.planted("doc_system_table", "PciBridgeProbeDxe", [(("entry", 0), bytes.fromhex(
            "ba10000000") + b"\xe9" + (target - entry - 10).to_bytes(4, "little"))])
        return run("--images", folder).stdout
    if kind == "stuck":  # the default scenario without the keys of its first run
        document = json.loads(run("--print-default").stdout)
        del document["fingerprint"]["runs"][0]["keys"]
        return run("--scenario", write("doc_stuck.json", document)).stdout
    if kind == "calls":
        return run("--scenario", os.path.join(checks.kept, "bare_board.json"), "--calls").stdout
    if kind == "halt":
        return run("--scenario", os.path.join(checks.kept, "wrong_password_halts.json")).stdout
    if kind == "null write":
        folder = checks.planted("doc_null", "PciBridgeProbeDxe",
                                [(("entry", 0), b"\x31\xc0\x89\x00")])
        return run("--images", folder).stdout
    if kind == "call table":
        folder = checks.planted("doc_call", "PciBridgeProbeDxe", [(("entry", 0), b"\xff\xd2")])
        return run("--images", folder).stdout
    if kind == "service write":
        folder = checks.planted("doc_service", "PciBridgeProbeDxe", [(("entry", 0), bytes.fromhex(
            "488b4260" "b910000000" "ba08000000" "4531c0" "4883ec28" "ff9068010000"))])
        return run("--images", folder).stdout
    raise KeyError(kind)


EXCERPTS = [  # (start of the excerpt's first line, the runs it comes from)
    ("-- PciBridgeProbeDxe (", ["default"]),
    ("scenario: the built-in default", ["default"]),
    ("Boot 1 summary:", ["halt"]),
    ("CRASH: a write to address 0x0", ["null write", "call table"]),
    ("CRASH: the simulation died", ["service write"]),
    ("calls (13):", ["calls"]),
    ("CRASH: a read of address 0x70", ["system table", "halt", "stuck"]),
]
SHAPES = ("{", "BOOT =", "DRIVER =", "VARIABLE =", "ACCESS =", "RUN =", "OS =", "SUMMARY =", "CALL =")
reports = {}


def pattern_of(line):
    """The excerpt line as a pattern. Image and symbol offsets and source line numbers move with
    every change of a driver and stand for any, as does an image's hash; sizes, addresses, values
    and names do not."""
    text = re.escape(line.strip())
    text = re.sub(r"\\\+0x[0-9a-f]+", r"\\+0x[0-9a-f]+", text)
    text = re.sub(r"\\\.cpp:\d+", r"\\.cpp:\\d+", text)
    text = text.replace(r"\.\.\.", r"\S*")
    text = re.sub(r"\b[0-9a-f]{16}\b", r"[0-9a-f]{16}", text)  # a hash prefix: any
    return text.replace(r"\)", r"(?:, [a-z_/]+\.cpp:\d+)?\)")


def in_order(lines, report):
    """Each line's pattern found in the report, each after the one before."""
    at = 0
    for line in lines:
        found = re.compile(pattern_of(line)).search(report, at)
        if found is None:
            return False
        at = found.end()
    return True


def excerpt(block, where):
    first = block[0].strip()
    if first.startswith(SHAPES):
        return  # the JSON report's shape: a schema with placeholders
    if first.startswith("file(GLOB"):
        snippet = " ".join(" ".join(block).split())
        check(snippet in " ".join(read("tests/boardsim/CMakeLists.txt").split()),
              "%s: the CMake snippet is tests/boardsim/CMakeLists.txt's" % where)
        return
    if first.startswith("[FV"):
        return  # an EDK II FDF section for a platform's own build
    if first.startswith("boardsim: EXPECTATION FAILED: "):
        return  # failures of planted changes in the expectations' example: check_expectations.py
    if first.startswith("source: "):  # the firmware checks' name of an exception's place
        name, offset, function, source = re.match(
            r"source: (\w+)\+(0x[0-9a-f]+): (\w+) at (\S+)$", first).groups()
        answer = subprocess.run([SYMBOLIZER or "llvm-symbolizer", "--obj=" + os.path.join(
            IMAGES, name + ".debug"), hex(0x180000000 + int(offset, 16))], capture_output=True,
                                text=True, cwd=ROOT).stdout.split("\n")
        check(answer[0] == function and re.sub(r"^\./|:\d+$", "", answer[1]) == source,
              "%s: %s+%s is %s at %s (got %s)" % (where, name, offset, function, source, answer))
        return
    for start, kinds in EXCERPTS:
        if first.startswith(start):
            for kind in kinds:
                if kind not in reports:
                    reports[kind] = report_of(kind)
            # A report line wrapped in the document continues on the lines indented below it.
            lines = []
            for line in block:
                if line.startswith("  ") and lines and len(kinds) > 1:
                    lines[-1] += " " + line.strip()
                elif line.strip():
                    lines.append(line)
            if len(kinds) == 1:
                found = in_order(lines, reports[kinds[0]])
            else:  # examples from different runs, each line found in one of them
                found = all(any(in_order([l], reports[k]) for k in kinds) for l in lines)
            check(bool(found), "%s: the excerpt starting %r is what boardsim prints" % (where,
                                                                                         start))
            return
    check(False, "%s: a code block this test does not know: %r" % (where, first))


# ---- inline scenario examples ----------------------------------------------------------------
# The field an example is written for, and where in a scenario its value goes ("[]" an item).
FIELDS = {
    "variables": ["variables"], "straps": ["straps"], "boots": ["boots"], "drivers": ["drivers"],
    "tpm": ["tpm"], "temperatures": ["os", "temperatures"],
    "passwords": ["fingerprint", "passwords"], "reader": ["fingerprint", "reader"],
    "keys": ["fingerprint", "runs", "[]", "keys", "[]"], "expect": ["expect"],
    "counts": ["expect", "counts"], "runs": ["fingerprint", "runs"],
}


def inline_examples(text):
    """(line number, field, example) of each inline code span that starts with { or [, with the
    nearest field named in backticks before it in the same paragraph, list item or table row."""
    found = []
    for match in re.finditer(r"`([\[{][^`]*)`", text):
        if not re.search(r'["{]|^\[[\d\[\], ]*\]$', match.group(1)):
            continue  # no JSON: [FV], an FDF section name
        start = match.start()
        line = text.count("\n", 0, start) + 1
        block_start = max(text.rfind("\n\n", 0, start), text.rfind("\n- ", 0, start),
                          text.rfind("\n|", 0, start))
        before = text[block_start:start]
        fields = re.findall(r"`([a-z_]+)`", before)
        found.append((line, fields[-1] if fields else None, match.group(1)))
    return found


def scenario_with(field, value):
    path = FIELDS[field]
    document = {}
    node = document
    for index, key in enumerate(path):
        if key == "[]":
            continue
        item = index + 1 < len(path) and path[index + 1] == "[]"
        last = index == len(path) - 1 or (item and index + 1 == len(path) - 1)
        if last:
            node[key] = [value] if item else value
        else:
            node[key] = [{}] if item else {}
            node = node[key][0] if item else node[key]
    return document


def is_schema(text):
    """Placeholders: words outside the quoted strings (value, bool, TEXT), ".." ranges, "|"
    choices, or quoted names in capitals ("NAME", "RUN NAME")."""
    bare = re.sub(r'"[^"]*"', '""', text)
    return (re.search(r"\b(?!true\b|false\b|null\b)[A-Za-z]", bare) is not None or
            ".." in text or "|" in text or re.search(r'"[A-Z][A-Z ]*"', text) is not None)


def example(line_field_text, where):
    _, field, text = line_field_text
    if is_schema(text):
        return
    try:
        value = json.loads(text)
    except ValueError:
        check(False, "%s: %r is neither JSON nor a schema with placeholders" % (where, text))
        return
    if field not in FIELDS:
        check(False, "%s: the example %r of field %r: add the field to the test's table"
              % (where, text, field))
        return
    document = scenario_with(field, value)
    result = run("--scenario", write("example.json", document))
    check(result.returncode != 2, "%s: %s %s is accepted%s" % (
        where, field, " ".join(text.split()),
        "" if result.returncode != 2 else " (got %s)" % result.stderr.strip()[-200:]))


# ---- go through the documents ----------------------------------------------------------------
for document in DOCUMENTS:
    text = read(document)
    for line, block in code_blocks(text):
        where = "%s:%d" % (document, line)
        found = commands(block) if block and re.match(
            r"^(build/|boardsim(?!:)|scripts/|cmake|ctest|gdb|llvm-symbolizer|tools/|[A-Z_]+=|for )",
            block[0].strip()) else None
        if not found:
            excerpt(block, where)
            continue
        for words in found:
            head = words[0]
            if head.endswith("boardsim"):
                boardsim_command(words, where)
            elif head == "cmake":
                cmake_command(words, where)
            elif head == "ctest":
                ctest_command(words, where)
            elif head == "gdb":
                gdb_command(words, where)
            elif head == "llvm-symbolizer":
                symbolizer_command(words, where)
            elif head == "for":
                shell_loop(" ".join(block), where)
            elif re.match(r"^[A-Z_]+=", head):
                environment_command(words, where)
            elif head.startswith(("scripts/", "tools/")):
                script_command(words, where)
            else:
                check(False, "%s: a command this test does not know: %s" % (where, head))
    for item in inline_examples(text):
        example(item, "%s:%d" % (document, item[0]))

# ---- the image size table is the build's -----------------------------------------------------
with open(os.path.join(IMAGES, "sizes.md")) as f:
    sizes = [l for l in f.read().split("\n") if l.startswith("|") or l.startswith("`Notebook")]
readme = read("README.md")
check(all(l in readme.split("\n") for l in sizes),
      "README.md's image size table is the build's sizes.md")

checks.finish()
