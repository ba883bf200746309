# gdb script for OVMF under QEMU (scripts/run-ovmf.sh --gdb): finds every image the firmware
# loads through the DXE core's debug image info table, as EDK II's debugger scripts do, and loads
# the debug twin of each of our images (the five drivers, FirmwareHarness, ByteRoutinesTest) at
# its load address, so that a breakpoint on a driver function by name stops there with the
# source file and line.
#
#   scripts/run-ovmf.sh --gdb [scenario]           # in one terminal: QEMU waits for gdb
#   gdb -x scripts/ovmf-gdb.py -ex 'break FingerprintAuthenticate' -ex continue
#
# On loading, the script connects to QEMU's gdb stub (localhost:1234, or $OVMF_GDB_PORT) unless
# gdb is connected already, lets the firmware run until the DXE core has published the table
# (the EFI_SYSTEM_TABLE_POINTER, signature "IBI SYST", on a 4 MiB boundary of memory, leads to
# the system table; its configuration table holds EFI_DEBUG_IMAGE_INFO_TABLE_GUID), loads the
# symbols of the images already in it and puts a hardware watchpoint on the table's entry count:
# each image the core loads later stops the machine for a moment, before its entry point runs,
# while the script loads its symbols. Then the prompt is yours; "efi-images" lists what was
# found. The debug twins are looked up in $UEFI_BUILD_DIR (default build/uefi of this checkout).
import os
import signal
import struct
import threading

import gdb

CHECKOUT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("UEFI_BUILD_DIR", os.path.join(CHECKOUT, "build", "uefi"))
TWIN_FOLDERS = [os.path.join(BUILD, "images"), os.path.join(BUILD, "tests", "firmware"),
                os.path.join(BUILD, "test_images")]
PORT = int(os.environ.get("OVMF_GDB_PORT", "1234"))

SYSTEM_TABLE_SIGNATURE = 0x5453595320494249  # "IBI SYST"
DEBUG_IMAGE_INFO_TABLE_GUID = bytes.fromhex("772e1549da1a6447b7a27afefed95e8b")
MEMORY_TOP = 0x100000000  # the pointer lies below 4 GiB
ALIGNMENT = 4 << 20
POLL_SECONDS = 0.3


def read(address, size):
    return bytes(gdb.selected_inferior().read_memory(address, size))


def u32(address):
    return struct.unpack("<I", read(address, 4))[0]


def u64(address):
    return struct.unpack("<Q", read(address, 8))[0]


def pe_identity(header):
    """(time stamp, entry point, code size, image size) of a PE32+ header, or None."""
    if len(header) < 0x40 or header[:2] != b"MZ":
        return None
    pe = struct.unpack_from("<I", header, 0x3C)[0]
    if pe + 24 + 60 > len(header) or header[pe:pe + 4] != b"PE\0\0":
        return None
    optional = pe + 24
    if struct.unpack_from("<H", header, optional)[0] != 0x20B:
        return None
    return (struct.unpack_from("<I", header, pe + 8)[0],
            struct.unpack_from("<I", header, optional + 16)[0],
            struct.unpack_from("<I", header, optional + 4)[0])


class Twins:
    """Our debug twins by the identity of the image each describes."""

    def __init__(self):
        self.by_identity = {}
        for folder in TWIN_FOLDERS:
            if not os.path.isdir(folder):
                continue
            for name in sorted(os.listdir(folder)):
                if not name.endswith(".debug"):
                    continue
                path = os.path.join(folder, name)
                with open(path, "rb") as stream:
                    data = stream.read(4096)
                identity = pe_identity(data)
                if identity:
                    pe = struct.unpack_from("<I", data, 0x3C)[0]
                    image_base = struct.unpack_from("<Q", data, pe + 24 + 24)[0]
                    self.by_identity[identity] = (name[:-len(".debug")], path, image_base,
                                                  identity[1])


class DebugImageTable:
    def __init__(self, twins):
        self.twins = twins
        self.header = None
        self.seen = {}  # image base -> name (ours) or None
        self.loaded = {}  # image base -> (name, twin path)
        self.watch = None

    def find(self):
        """The debug image info table header's address, once the DXE core has published it."""
        for candidate in range(MEMORY_TOP - ALIGNMENT, -1, -ALIGNMENT):
            try:
                if u64(candidate) != SYSTEM_TABLE_SIGNATURE:
                    continue
                system_table = u64(candidate + 8)
                if u64(system_table) != SYSTEM_TABLE_SIGNATURE:
                    continue
                count, tables = u64(system_table + 104), u64(system_table + 112)
                for index in range(min(count, 256)):
                    entry = tables + 24 * index
                    if read(entry, 16) == DEBUG_IMAGE_INFO_TABLE_GUID:
                        return u64(entry + 16)
            except gdb.MemoryError:
                continue
        return None

    def images(self):
        """(base, size) of every image in the table now."""
        found = []
        in_use, table = u32(self.header + 4), u64(self.header + 8)
        index = 0
        # Unloaded images leave holes: look on until every entry in use is found.
        while len(found) < in_use and index < 4 * in_use + 64:
            normal = u64(table + 8 * index)
            index += 1
            if normal == 0:
                continue
            loaded_image = u64(normal + 8)
            found.append((u64(loaded_image + 64), u64(loaded_image + 72)))
        return found

    def update(self):
        present = set()
        for base, size in self.images():
            present.add(base)
            if base in self.seen:
                continue
            self.seen[base] = None
            try:
                identity = pe_identity(read(base, min(size, 4096)))
            except gdb.MemoryError:
                continue
            twin = self.twins.by_identity.get(identity)
            if twin is None:
                continue
            name, path, image_base, entry = twin
            offset = (base - image_base) & 0xFFFFFFFFFFFFFFFF
            shift = "-%#x" % (2**64 - offset) if offset >= 2**63 else "%#x" % offset
            gdb.execute("add-symbol-file %s -o %s" % (path, shift), False, True)
            self.seen[base] = name
            self.loaded[base] = (name, path, entry)
            print("[ovmf] %s loaded at %#x: symbols from %s" % (name, base, path))
        for base in [b for b in self.loaded if b not in present]:
            name, _, entry = self.loaded.pop(base)
            # The symbol file is found by an address of its code (the headers are in none).
            try:
                gdb.execute("remove-symbol-file -a %#x" % (base + entry), False, True)
            except gdb.error as error:
                print("[ovmf] %s: %s" % (name, error))
            print("[ovmf] %s unloaded from %#x" % (name, base))
        for base in [b for b in self.seen if b not in present]:
            del self.seen[base]


class EntryCountWatch(gdb.Breakpoint):
    """Stops when the core changes the table's entry count, updates the symbols, goes on."""

    def __init__(self, table):
        super().__init__("*(unsigned int *) %#x" % (table.header + 4), gdb.BP_WATCHPOINT,
                         gdb.WP_WRITE, internal=True)
        self.silent = True
        self.table = table

    def stop(self):
        self.table.update()
        return False


def run_for(seconds):
    """Lets the machine run for a while, then stops it (as Ctrl-C would)."""
    timer = threading.Timer(seconds, lambda: os.kill(os.getpid(), signal.SIGINT))
    timer.start()
    try:
        gdb.execute("continue", False, True)
    finally:
        timer.cancel()


class EfiImages(gdb.Command):
    """List the images of the debug image info table whose symbols are loaded."""

    def __init__(self, table):
        super().__init__("efi-images", gdb.COMMAND_USER)
        self.table = table

    def invoke(self, argument, from_tty):
        self.table.update()
        for base, (name, path, _) in sorted(self.table.loaded.items()):
            print("%#x %s (%s)" % (base, name, path))


def start():
    gdb.execute("set confirm off")
    gdb.execute("set pagination off")
    gdb.execute("set breakpoint pending on")
    gdb.execute("directory " + CHECKOUT)
    gdb.execute("set architecture i386:x86-64", False, True)
    if gdb.selected_inferior().pid == 0:
        gdb.execute("target remote localhost:%d" % PORT)
    twins = Twins()
    if not twins.by_identity:
        print("[ovmf] no debug twins in %s: build the uefi preset" % ", ".join(TWIN_FOLDERS))
    table = DebugImageTable(twins)
    print("[ovmf] running the firmware until the DXE core publishes its debug image info table")
    while table.header is None:
        table.header = table.find()
        if table.header is None:
            run_for(POLL_SECONDS)
    print("[ovmf] debug image info table at %#x" % table.header)
    table.update()
    EntryCountWatch(table)
    EfiImages(table)


start()
