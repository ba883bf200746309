"""Reads the PI layouts of a flash image (firmware volumes, firmware files, sections) down through
the encapsulations a platform wraps its DXE volume in, and writes a changed volume back up
through them.

    image      the whole file: a single volume (.fd) or a whole flash with other regions around
               its volumes; volumes are found by a valid header ("_FVH", header checksum,
               FvLength inside the image)
    volume     EFI_FIRMWARE_VOLUME_HEADER, then the files (FFS2 or FFS3 file system), each at an
               8-byte-aligned offset, then free space of erased bytes (0xFF with erase polarity
               1, 0x00 without)
    file       EFI_FFS_FILE_HEADER (24 bytes) or EFI_FFS_FILE_HEADER2 (32, FFS_ATTRIB_LARGE_FILE),
               then sections at 4-byte-aligned offsets from the start of the file
    section    EFI_COMMON_SECTION_HEADER (4 bytes) or EFI_COMMON_SECTION_HEADER2 (8, size field
               0xFFFFFF); opened here:
                 GUID_DEFINED (0x02) with the LZMA GUID: the data (from DataOffset) is an LZMA
                   stream in the "alone" form EDK II's LzmaDecompress reads (5 property bytes,
                   the uncompressed size as UINT64, the compressed stream); it decompresses to
                   a list of sections
                 FIRMWARE_VOLUME_IMAGE (0x17): a volume

Any other encapsulation (EFI standard compression, other GUID-defined sections) is left closed
and listed, so that a caller can say why it found no volume inside.

A Node is a volume, file or section, with the chain of nodes it sits in; replace() rebuilds the
chain with new bytes for one node, bottom up: sizes, checksums and the erased space after a
grown or shrunk item set right, or a LayoutError where a change cannot be made without moving
something that other firmware finds by its place.

Standard library only (lzma for the compressed sections).
"""

import lzma
import struct
import uuid

from make_fv import (DATA_ALIGNMENTS, EFI_FILE_STATE_BUILT, FFS_ATTRIB_CHECKSUM,  # noqa: F401
                     FFS_ATTRIB_LARGE_FILE, FFS_FIXED_CHECKSUM, FFS_HEADER_SIZE)
from packing import PackError

FFS2_FILE_SYSTEM_GUID = "8C8CE578-8A3D-4F1C-9935-896185C32DD3"
FFS3_FILE_SYSTEM_GUID = "5473C07A-3DCB-4DCA-BD6F-1E9689E7349A"
LZMA_SECTION_GUID = "EE4E5898-3914-4259-9D6E-DC7BD79403CF"

FV_HEADER_SIZE = 56  # up to the block map
EFI_FVB2_ERASE_POLARITY = 0x00000800

FILE_HEADER_SIZE = FFS_HEADER_SIZE
FILE_HEADER2_SIZE = 32
EFI_FILE_DATA_VALID = 0x04
EFI_FILE_MARKED_FOR_UPDATE = 0x08

FILE_TYPE_DXE_CORE = 0x05
FILE_TYPE_DRIVER = 0x07
FILE_TYPE_PAD = 0xF0
# File types whose body is a list of sections.
SECTIONED_FILE_TYPES = set(range(0x02, 0x10))  # FREEFORM .. MM_CORE_STANDALONE, not RAW

SECTION_COMPRESSION = 0x01
SECTION_GUID_DEFINED = 0x02
SECTION_USER_INTERFACE = 0x15
SECTION_FIRMWARE_VOLUME_IMAGE = 0x17
SECTION_HEADER_SIZE = 4
SECTION_HEADER2_SIZE = 8
MAX_24BIT = 0xFFFFFF
LZMA_HEADER_SIZE = 13  # properties (5) and the uncompressed size (8)


class LayoutError(PackError):
    """The image holds something this reader does not understand, or a change that cannot be
    made without moving what other firmware finds by its place."""


def guid_text(raw):
    return str(uuid.UUID(bytes_le=bytes(raw))).upper()


def sum8(data):
    return sum(data) & 0xFF


def align(value, boundary):
    return -(-value // boundary) * boundary


def volume_header_valid(data, offset):
    """Whether a volume header that sums to zero and fits in data starts at offset."""
    if offset + FV_HEADER_SIZE + 8 > len(data) or data[offset + 40:offset + 44] != b"_FVH":
        return False
    length, = struct.unpack_from("<Q", data, offset + 32)
    header_length, = struct.unpack_from("<H", data, offset + 48)
    if (header_length < FV_HEADER_SIZE + 8 or header_length % 2 or length < header_length
            or offset + length > len(data)):
        return False
    words = struct.unpack_from(f"<{header_length // 2}H", data, offset)
    return sum(words) & 0xFFFF == 0


class Node:
    """A volume, file or section found in the image. parent is the node it sits in (None for a
    top-level volume); offset is where it starts in its parent's content (the image for a
    top-level volume, the volume for a file, the file or the decompressed section list for a
    section)."""

    def __init__(self, kind, parent, offset, data):
        self.kind, self.parent, self.offset, self.data = kind, parent, offset, bytes(data)
        self.children = []

    def chain(self):
        node, nodes = self, []
        while node is not None:
            nodes.append(node)
            node = node.parent
        return list(reversed(nodes))

    def where(self):
        """Where the node sits, outermost first, as a person reading a UEFITool tree says it."""
        return " > ".join(node.label() for node in self.chain())


class Volume(Node):
    def __init__(self, parent, offset, data):
        super().__init__("volume", parent, offset, data)
        (self.file_system, self.length, _, self.attributes, self.header_length, _,
         self.ext_offset, _, self.revision) = struct.unpack_from("<16sQ4sIHHHBB", data, 16)
        self.file_system = guid_text(self.file_system)
        self.erased = 0xFF if self.attributes & EFI_FVB2_ERASE_POLARITY else 0x00
        self.name = None
        if self.ext_offset and self.ext_offset + 20 <= self.length:
            self.name = guid_text(data[self.ext_offset:self.ext_offset + 16])
        self.files = []
        self.free_start = None  # where the erased space after the last file begins
        self.closed = []  # encapsulations inside that were not opened, as text

    def label(self):
        where = f" at 0x{self.offset:X}" if self.parent is None else ""
        return f"volume {self.name or '(no name)'}{where}"

    def alignment(self):
        """The boundary the volume itself is placed on: the largest file data alignment it
        can promise."""
        return 1 << ((self.attributes >> 16) & 0x1F)

    def stored_state(self, state):
        return (~state & 0xFF) if self.erased == 0xFF else state

    def is_ffs(self):
        return self.file_system in (FFS2_FILE_SYSTEM_GUID, FFS3_FILE_SYSTEM_GUID)


class File(Node):
    def __init__(self, volume, offset, data, header_size):
        super().__init__("file", volume, offset, data)
        self.header_size = header_size
        self.guid = guid_text(data[:16])
        self.type = data[18]
        self.attributes = data[19]
        state = volume.stored_state(data[23])
        # The highest state bit set is the state the file is in.
        self.state = 1 << (state.bit_length() - 1) if state else 0
        self.name = None

    def label(self):
        return f"file {self.guid}" + (f" ({self.name})" if self.name else "")

    def valid(self):
        return self.state in (EFI_FILE_DATA_VALID, EFI_FILE_MARKED_FOR_UPDATE)


class Section(Node):
    def __init__(self, parent, offset, data, header_size):
        super().__init__("section", parent, offset, data)
        self.header_size = header_size
        self.type = data[3]
        self.guid = None
        self.data_offset = header_size
        self.decompressed = None  # the section list inside an opened LZMA section
        if self.type == SECTION_GUID_DEFINED and len(data) >= header_size + 20:
            self.guid = guid_text(data[header_size:header_size + 16])
            self.data_offset, self.guided_attributes = struct.unpack_from(
                "<HH", data, header_size + 16)

    def label(self):
        names = {SECTION_GUID_DEFINED: f"GUID-defined section {self.guid}",
                 SECTION_FIRMWARE_VOLUME_IMAGE: "volume image section",
                 SECTION_COMPRESSION: "compression section"}
        return names.get(self.type, f"section 0x{self.type:02X}")


def section_size(data, offset):
    """(size, header size) of the section at offset."""
    size = int.from_bytes(data[offset:offset + 3], "little")
    if size == MAX_24BIT:
        if offset + SECTION_HEADER2_SIZE > len(data):
            raise LayoutError(f"section at 0x{offset:X} cut short")
        return struct.unpack_from("<I", data, offset + 4)[0], SECTION_HEADER2_SIZE
    return size, SECTION_HEADER_SIZE


def read_sections(parent, data, start, base):
    """The sections of data[start:], each 4-byte aligned counted from base (the start of the
    file, or of the decompressed list)."""
    sections = []
    offset = start
    while offset < len(data):
        if len(data) - offset < SECTION_HEADER_SIZE:
            raise LayoutError(f"{parent.where()}: {len(data) - offset} bytes after the last "
                              "section")
        size, header_size = section_size(data, offset)
        if size < header_size or offset + size > len(data):
            raise LayoutError(f"{parent.where()}: section at 0x{offset:X} has size 0x{size:X}")
        section = Section(parent, offset, data[offset:offset + size], header_size)
        sections.append(section)
        offset = base + align(offset + size - base, 4)
    return sections


def lzma_decompress(section):
    payload = section.data[section.data_offset:]
    if len(payload) < LZMA_HEADER_SIZE:
        raise LayoutError(f"{section.where()}: LZMA data shorter than its header")
    expected, = struct.unpack_from("<Q", payload, 5)
    try:
        data = lzma.decompress(payload, format=lzma.FORMAT_ALONE)
    except lzma.LZMAError as error:
        raise LayoutError(f"{section.where()}: LZMA data does not decompress: {error}") from None
    if len(data) != expected:
        raise LayoutError(f"{section.where()}: LZMA header says {expected} bytes, the data gives "
                          f"{len(data)}")
    return data


def lzma_compress(data, properties):
    """data as the LZMA "alone" form EDK II's LzmaDecompress reads: lc/lp/pb and the dictionary
    size of the original stream (properties, its first 5 bytes), the uncompressed size as
    UINT64 (Python's encoder writes "unknown" there and ends with an end marker, which the
    decoder reads once the known size is reached)."""
    lc_lp_pb, dictionary = properties[0], struct.unpack_from("<I", properties, 1)[0]
    filters = [{"id": lzma.FILTER_LZMA1, "preset": 9, "lc": lc_lp_pb % 9,
                "lp": (lc_lp_pb // 9) % 5, "pb": lc_lp_pb // 45,
                "dict_size": max(dictionary, 4096)}]
    stream = bytearray(lzma.compress(data, format=lzma.FORMAT_ALONE, filters=filters))
    stream[5:13] = struct.pack("<Q", len(data))
    return bytes(stream)


def open_section(section):
    """Opens a volume image section or an LZMA section: reads what is inside."""
    if section.type == SECTION_FIRMWARE_VOLUME_IMAGE:
        inner = section.data[section.header_size:]
        if volume_header_valid(inner, 0):
            read_volume(section, 0, inner)
    else:
        section.decompressed = lzma_decompress(section)
        open_sections(section, read_sections(section, section.decompressed, 0, 0))


def open_sections(parent, sections):
    """Opens what can be opened inside the sections: volume images and LZMA sections. One whose
    content does not read is left closed, and so is any other encapsulation; each is noted on
    the volume around it, for the message of a caller that finds nothing to work on."""
    for section in sections:
        parent.children.append(section)
        if section.type == SECTION_FIRMWARE_VOLUME_IMAGE or (
                section.type == SECTION_GUID_DEFINED and section.guid == LZMA_SECTION_GUID):
            try:
                open_section(section)
            except LayoutError as error:
                section.children, section.decompressed = [], None
                enclosing_volume(parent).closed.append(str(error))
        elif section.type in (SECTION_GUID_DEFINED, SECTION_COMPRESSION):
            enclosing_volume(parent).closed.append(f"{section.where()}: not opened")
        elif section.type == SECTION_USER_INTERFACE and isinstance(parent, File):
            text = section.data[section.header_size:].decode("utf-16-le", "replace")
            parent.name = text.split("\0")[0]


def enclosing_volume(node):
    while not isinstance(node, Volume):
        node = node.parent
    return node


def read_volume(parent, offset, data):
    """The volume at data[offset:] with its files and everything opened inside them."""
    length, = struct.unpack_from("<Q", data, offset + 32)
    volume = Volume(parent, offset, data[offset:offset + length])
    if parent is not None:
        parent.children.append(volume)
    if not volume.is_ffs():
        return volume
    body = volume.data
    at = align(volume.header_length, 8)
    erased_header = bytes([volume.erased]) * FILE_HEADER_SIZE
    while at < length:
        if length - at < FILE_HEADER_SIZE or body[at:at + FILE_HEADER_SIZE] == erased_header:
            tail = body[at:]
            if tail.count(volume.erased) != len(tail):
                written = next(i for i, byte in enumerate(tail) if byte != volume.erased)
                raise LayoutError(f"{volume.where()}: byte at 0x{at + written:X} of the free "
                                  "space is not erased")
            volume.free_start = at
            break
        header_size = FILE_HEADER_SIZE
        size = int.from_bytes(body[at + 20:at + 23], "little")
        if body[at + 19] & FFS_ATTRIB_LARGE_FILE:
            header_size = FILE_HEADER2_SIZE
            size, = struct.unpack_from("<Q", body, at + 24)
        if size < header_size or at + size > length:
            raise LayoutError(f"{volume.where()}: file at 0x{at:X} has size 0x{size:X}")
        file = File(volume, at, body[at:at + size], header_size)
        volume.files.append(file)
        volume.children.append(file)
        if file.type in SECTIONED_FILE_TYPES and file.valid():
            try:
                sections = read_sections(file, file.data, header_size, 0)
            except LayoutError:
                # A file whose body is no section list (some platforms keep raw data in
                # freeform files): nothing to open in it.
                sections = []
            open_sections(file, sections)
        end = at + size
        at = align(end, 8)
        gap = body[end:min(at, length)]
        if gap.count(volume.erased) != len(gap):
            raise LayoutError(f"{volume.where()}: bytes after the file at 0x{file.offset:X} are "
                              "not erased")
    else:
        volume.free_start = length
    return volume


def read_image(data):
    """Every top-level volume of the image (with everything opened inside)."""
    volumes = []
    at = 0
    while True:
        found = data.find(b"_FVH", at + 40)
        if found < 0:
            return volumes
        start = found - 40
        if volume_header_valid(data, start):
            volume = read_volume(None, start, data)
            volumes.append(volume)
            at = start + volume.length
        else:
            at = start + 1


def walk(nodes):
    for node in nodes:
        yield node
        yield from walk(node.children)


def file_header_checksum(header):
    """The header checksum byte: the header (with the file checksum and State as zero) sums
    to 0."""
    return -(sum8(header) - header[16] - header[17] - header[23]) & 0xFF


def rebuilt_file(file, body):
    """The file with a new body (the bytes after its header): size, header checksum and file
    checksum set again."""
    header = bytearray(file.data[:file.header_size])
    size = file.header_size + len(body)
    if file.header_size == FILE_HEADER2_SIZE:
        struct.pack_into("<Q", header, 24, size)
    elif size > MAX_24BIT:
        raise LayoutError(f"{file.where()}: would grow to 0x{size:X} bytes, beyond its 24-bit "
                          "size field")
    else:
        header[20:23] = size.to_bytes(3, "little")
    header[17] = (-sum8(body) & 0xFF) if file.attributes & FFS_ATTRIB_CHECKSUM \
        else FFS_FIXED_CHECKSUM
    header[16] = 0
    header[16] = file_header_checksum(header)
    return bytes(header) + bytes(body)


def rebuilt_section(section, content):
    """The section with new content (what follows its header, or follows DataOffset for a
    GUID-defined section): size set again."""
    header = bytearray(section.data[:section.data_offset])
    size = len(header) + len(content)
    if section.header_size == SECTION_HEADER2_SIZE:
        struct.pack_into("<I", header, 4, size)
    elif size >= MAX_24BIT:
        raise LayoutError(f"{section.where()}: would grow to 0x{size:X} bytes, beyond its 24-bit "
                          "size field")
    else:
        header[0:3] = size.to_bytes(3, "little")
    return bytes(header) + bytes(content)


def spliced(container, item, new, erased, what, holder):
    """container (holder, in words) with item (what, in words) replaced by new. An item that
    keeps its size stays in place; one that grows or shrinks must be the last in the container:
    where erased is an erased byte, the space it leaves or takes is erased space; where erased is
    None, nothing may follow it."""
    old_end = item.offset + len(item.data)
    if len(new) == len(item.data):
        return container[:item.offset] + new + container[old_end:]
    if any(node is not item and node.offset > item.offset for node in item.parent.children):
        raise LayoutError(f"{item.where()} changes size but is not the last {what} of its "
                          f"{holder}: the ones after it would move")
    if erased is None:
        if old_end != len(container):
            raise LayoutError(f"{item.where()} changes size but is not the last {what} of its "
                              f"{holder}")
        return container[:item.offset] + new
    tail = container[old_end:]
    if tail.count(erased) != len(tail):
        raise LayoutError(f"{item.where()}: the space after it is not erased")
    if item.offset + len(new) > len(container):
        raise LayoutError(f"no room: {item.where()} grows to 0x{len(new):X} bytes; its {holder} "
                          f"has 0x{len(container) - item.offset:X} from where it starts")
    return container[:item.offset] + new + bytes([erased]) * (len(container) - item.offset
                                                              - len(new))


def replace(node, new):
    """The image bytes (given the original image) with node's bytes replaced by new, every node
    around it rebuilt. Returns a function of the original image."""
    parent = node.parent
    if parent is None:
        if len(new) != len(node.data):
            raise LayoutError(f"{node.where()} changes size in the image")
        return lambda image: image[:node.offset] + new + image[node.offset + len(new):]
    if isinstance(parent, Volume):
        body = spliced(parent.data, node, new, parent.erased, "file", "volume")
        return replace(parent, body)
    if isinstance(parent, File):
        body = spliced(parent.data, node, new, None, "section", "file")
        return replace(parent, rebuilt_file(parent, body[parent.header_size:]))
    # parent is a section: a volume image section or an opened LZMA section
    if parent.decompressed is not None:
        inner = spliced(parent.decompressed, node, new, None, "section", "compressed data")
        properties = parent.data[parent.data_offset:parent.data_offset + 5]
        return replace(parent, rebuilt_section(parent, lzma_compress(inner, properties)))
    return replace(parent, rebuilt_section(parent, new))
