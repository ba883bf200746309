# gdb script for the simulated board: loads the symbols of every image the board loads (its
# debug twin, <Name>.debug beside <Name>.efi, at the image's load address) and drops them when
# the board unloads the image, so that a breakpoint on a driver function by name stops in the
# image with its source file and line.
#
#   gdb -x scripts/boardsim-gdb.py -ex 'break FingerprintAuthenticate' -ex run \
#       --args build/host/tools/boardsim/boardsim [boardsim options]
#
# Works the same for a test binary of the host build (any process that runs the images on the
# board). The board calls BoardImageLoaded(debug file, name, base, offset) at every image load
# and BoardImageUnloaded(base) at every unload; this script breaks there, runs add-symbol-file
# or remove-symbol-file and lets the board go on. The images' port, device-window and halt
# instructions reach the board as SIGSEGV, which gdb passes on without stopping.
import os
import struct

import gdb

# Where the sources are: the checkout this script lies in (the debug files name them relative to
# it, "fingerprint_auth/auth_flow.cpp").
CHECKOUT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

gdb.execute("set breakpoint pending on")
# boardsim runs the simulation in a child process (a driver that damages the board cannot take
# the tool down): the images are loaded and run there.
gdb.execute("set follow-fork-mode child")
gdb.execute("directory " + CHECKOUT)
for signal in ("SIGSEGV", "SIGILL", "SIGBUS", "SIGFPE"):
    gdb.execute("handle %s nostop noprint pass" % signal, to_string=True)

loaded = {}  # image base -> (name, debug file, entry point RVA)


def entry_rva(path):
    """The entry point's image-relative address, read from the twin's PE header: an address in
    the image's code, by which gdb finds the symbol file again (the headers are in no section)."""
    with open(path, "rb") as stream:
        header = stream.read(4096)
    pe = struct.unpack_from("<I", header, 0x3C)[0]
    return struct.unpack_from("<I", header, pe + 24 + 16)[0]


def drop(base):
    name, _, entry = loaded.pop(base)
    try:
        gdb.execute("remove-symbol-file -a %#x" % (base + entry), False, True)
    except gdb.error as error:
        print("[board] %s: %s" % (name, error))
    return name


def argument(register):
    return int(gdb.parse_and_eval("$" + register).cast(gdb.lookup_type("unsigned long")))


def text(register):
    pointer = gdb.Value(argument(register)).cast(gdb.lookup_type("char").pointer())
    return pointer.string()


class ImageLoaded(gdb.Breakpoint):
    def __init__(self):
        super().__init__("BoardImageLoaded", internal=True)
        self.silent = True

    def stop(self):
        # System V arguments: rdi the debug file, rsi the name, rdx the base, rcx the offset.
        debug_file, name = text("rdi"), text("rsi")
        base, offset = argument("rdx"), argument("rcx")
        if base in loaded:
            drop(base)
        # The board loads below 4 GiB, under the link address: the offset is negative.
        shift = "-%#x" % (2**64 - offset) if offset >= 2**63 else "%#x" % offset
        gdb.execute("add-symbol-file %s -o %s" % (debug_file, shift), False, True)
        loaded[base] = (name, debug_file, entry_rva(debug_file))
        print("[board] %s loaded at %#x: symbols from %s" % (name, base, debug_file))
        return False


class ImageUnloaded(gdb.Breakpoint):
    def __init__(self):
        super().__init__("BoardImageUnloaded", internal=True)
        self.silent = True

    def stop(self):
        base = argument("rdi")
        if base in loaded:
            print("[board] %s unloaded from %#x" % (drop(base), base))
        return False


ImageLoaded()
ImageUnloaded()
