#!/usr/bin/python3
"""Inserts our firmware files into a platform's flash image, into its DXE volume.

    insert_ffs.py <image> --output <new image> [--images <dir>] [--volume <volume GUID>]
                  [<driver name> | <file.ffs>]...

<image> is a UEFI flash image: a single firmware volume (.fd) or a whole flash with other
regions around its volumes. Without names every firmware file of <dir>/NotebookDrivers.fv is
inserted (the five drivers; <dir> defaults to build/uefi/images); a name inserts <dir>/<name>.ffs,
a path ending in .ffs that file.

The DXE volume is found wherever it is: a top-level volume, or inside a firmware file's volume
image section, also under an LZMA-compressed GUID-defined section (GUID EE4E5898-...-DC7BD79403CF),
as OVMF's FVMAIN_COMPACT holds it. Of the FFS2/FFS3 volumes that hold DXE drivers, the one with
the DXE core is taken, or the only one; --volume names it by its volume GUID (the extended
header's FvName) when there are several.

The files go into the volume's free space after its last file, each at an 8-byte boundary (a pad
file in front of one whose data must start on a larger boundary), stored with the volume's erase
polarity (State bits cleared from 0xFF when it is 1), the rest of the free space erased. The
volume keeps its length, so nothing around it moves. Every encapsulation around it is rebuilt:
the volume image section, the LZMA section (compressed again with the original's lc/lp/pb and
dictionary size, in the "alone" form EDK II's LzmaDecompress reads: 5 property bytes, the
uncompressed size as UINT64, the stream), the firmware file that holds it (size, header and data
checksums), which may grow or shrink into the erased space after it as the last file of its
volume.

Refused, with a message and exit code 1, and nothing written: an image with no firmware volume
or no DXE volume it can read (a volume under an encapsulation it does not open: EFI standard
compression, other GUID-defined sections), several DXE volumes and no --volume, a file whose
GUID the image already holds (or that is given twice), files that do not fit into the volume's
free space or a compressed volume that no longer fits its file's place, a damaged input file.
Before anything is written the new image is read again from scratch and must show the volume
with its old files unchanged and the new ones in place, and every volume, file and compressed
section around it sound.

Standard library only.
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from flash_image import (DATA_ALIGNMENTS, EFI_FILE_STATE_BUILT, FFS_ATTRIB_CHECKSUM,  # noqa: E402
                         FFS_FIXED_CHECKSUM, FILE_HEADER_SIZE, FILE_TYPE_DRIVER,
                         FILE_TYPE_DXE_CORE, FILE_TYPE_PAD, File, LayoutError, Volume,
                         file_header_checksum, guid_text, read_image, replace,
                         volume_header_valid, walk)
from make_fv import check_input_file  # noqa: E402
from packing import PackError, align, write_packed  # noqa: E402

DEFAULT_IMAGES = os.path.join("build", "uefi", "images")
FILE_ALIGNMENT = 8


def files_to_insert(images, names):
    """[(label, bytes)] of the firmware files to insert, each as make_ffs.py writes it."""
    if not names:
        path = os.path.join(images, "NotebookDrivers.fv")
        with open(path, "rb") as stream:
            data = stream.read()
        volumes = read_image(data)
        if len(volumes) != 1 or volumes[0].offset != 0 or volumes[0].length != len(data):
            raise PackError(f"{path}: not one firmware volume")
        volume = volumes[0]
        files = []
        for file in volume.files:
            if file.type == FILE_TYPE_PAD:
                continue
            built = bytearray(file.data)
            built[23] = volume.stored_state(built[23])
            files.append((file.name or file.guid, bytes(built)))
        return files
    files = []
    for name in names:
        path = name if name.endswith(".ffs") else os.path.join(images, name + ".ffs")
        with open(path, "rb") as stream:
            files.append((os.path.basename(path)[:-len(".ffs")], stream.read()))
    return files


def dxe_volume(volumes, wanted):
    """The volume the files go into."""
    candidates = [node for node in walk(volumes) if isinstance(node, Volume) and node.is_ffs()
                  and any(file.type == FILE_TYPE_DRIVER and file.valid() for file in node.files)]
    if wanted:
        named = [volume for volume in candidates if volume.name == wanted.upper()]
        if len(named) != 1:
            found = ", ".join(volume.name or "(no name)" for volume in candidates) or "none"
            raise LayoutError(f"{len(named)} DXE volumes named {wanted}; DXE volumes found: "
                              f"{found}")
        return named[0]
    if not candidates:
        closed = [text for volume in walk(volumes) if isinstance(volume, Volume)
                  for text in volume.closed]
        raise LayoutError("no DXE volume (an FFS volume holding DXE drivers) found" + (
            "; not opened: " + "; ".join(closed) if closed else ""))
    with_core = [volume for volume in candidates
                 if any(file.type == FILE_TYPE_DXE_CORE for file in volume.files)]
    if len(with_core) == 1:
        return with_core[0]
    if len(candidates) == 1:
        return candidates[0]
    raise LayoutError("several DXE volumes, name one with --volume: " + "; ".join(
        volume.where() for volume in candidates))


def pad_file(size, erased, stored_state):
    """A pad file of size bytes: name all 0xFF, no checksum attribute, body erased."""
    header = bytearray([0xFF] * 16) + bytes([0, FFS_FIXED_CHECKSUM, FILE_TYPE_PAD, 0])
    header += size.to_bytes(3, "little") + bytes([0])
    header[16] = file_header_checksum(header)
    header[23] = stored_state(EFI_FILE_STATE_BUILT)
    return bytes(header) + bytes([erased]) * (size - FILE_HEADER_SIZE)


def filled_volume(volume, files):
    """The volume's bytes with the files added in its free space; [(label, offset)]."""
    content = bytearray(volume.data[:volume.free_start])
    placed = []
    for label, data in files:
        boundary = DATA_ALIGNMENTS[(data[19] >> 3) & 0x07]
        if boundary > max(volume.alignment(), FILE_ALIGNMENT):
            raise LayoutError(f"{label} asks for its data on a {boundary}-byte boundary; "
                              f"{volume.where()} is placed on {volume.alignment()}")
        start = align(len(content), FILE_ALIGNMENT)
        offset = start
        while (offset + FILE_HEADER_SIZE) % boundary or (
                offset != start and offset - start < FILE_HEADER_SIZE):
            offset += FILE_ALIGNMENT
        content += bytes([volume.erased]) * (start - len(content))
        if offset != start:
            content += pad_file(offset - start, volume.erased, volume.stored_state)
        stored = bytearray(data)
        stored[23] = volume.stored_state(EFI_FILE_STATE_BUILT)
        content += stored
        placed.append((label, offset))
    if len(content) > volume.length:
        free = volume.length - align(volume.free_start, FILE_ALIGNMENT)
        raise LayoutError(f"no room: the files need {len(content) - volume.free_start} bytes, "
                          f"{volume.where()} has {max(free, 0)} free")
    content += bytes([volume.erased]) * (volume.length - len(content))
    return bytes(content), placed


def file_sound(file):
    """Header and data checksums of a file as stored."""
    data = file.data
    if file_header_checksum(data[:file.header_size]) != data[16]:
        return False
    if file.attributes & FFS_ATTRIB_CHECKSUM:
        return (sum(data[file.header_size:]) + data[17]) & 0xFF == 0
    return data[17] == FFS_FIXED_CHECKSUM


def verify(original, image, volume, placed, files):
    """Reads the new image from scratch: the volume at the same place in the same chain, its old
    files unchanged, the new ones stored as given, every volume and file around it sound."""
    if len(image) != len(original):
        raise LayoutError(f"internal: new image has {len(image)} bytes, not {len(original)}")
    try:
        volumes = read_image(image)
    except LayoutError as error:
        raise LayoutError(f"internal: the new image does not read back: {error}") from None
    again = [node for node in walk(volumes) if isinstance(node, Volume)
             and node.where() == volume.where()]
    if len(again) != 1:
        closed = [text for node in walk(volumes) if isinstance(node, Volume)
                  for text in node.closed]
        raise LayoutError(f"internal: {volume.where()} not found in the new image" + (
            "; not opened: " + "; ".join(closed) if closed else ""))
    new = again[0]
    old_files = [(file.offset, file.data) for file in volume.files]
    new_files = [(file.offset, file.data) for file in new.files]
    if new_files[:len(old_files)] != old_files:
        raise LayoutError("internal: the volume's old files changed")
    added = [file for file in new.files[len(old_files):] if file.type != FILE_TYPE_PAD]
    expected = []
    for (label, offset), (_, data) in zip(placed, files):
        stored = bytearray(data)
        stored[23] = volume.stored_state(EFI_FILE_STATE_BUILT)
        expected.append((offset, bytes(stored)))
    if [(file.offset, file.data) for file in added] != expected:
        raise LayoutError("internal: the inserted files do not read back as given")
    for node in new.chain():
        if isinstance(node, Volume) and not volume_header_valid(node.data, 0):
            raise LayoutError(f"internal: {node.where()}: header does not sum to 0")
        if isinstance(node, File) and not file_sound(node):
            raise LayoutError(f"internal: {node.where()}: checksums do not hold")
    for file in added:
        if not file_sound(file) or not file.valid():
            raise LayoutError(f"internal: {file.where()}: not a sound file")
    top = new.chain()[0]
    if (image[:top.offset] != original[:top.offset]
            or image[top.offset + top.length:] != original[top.offset + top.length:]):
        raise LayoutError("internal: bytes outside the changed volume differ")
    return new


def insert(data, files, wanted=None):
    """The new image and a report of what went where."""
    volumes = read_image(data)
    if not volumes:
        raise LayoutError("no firmware volume found in the image")
    volume = dxe_volume(volumes, wanted)
    known = {}
    for node in walk(volumes):
        if isinstance(node, File) and node.valid() and node.type != FILE_TYPE_PAD:
            known.setdefault(node.guid, node)
    given = {}
    for label, data_of_file in files:
        check_input_file(label, data_of_file)
        name = guid_text(data_of_file[:16])
        if name in known:
            raise LayoutError(f"{label}: file GUID {name} is already in the image: "
                              f"{known[name].where()}")
        if name in given:
            raise LayoutError(f"{label}: file GUID {name} also given as {given[name]}")
        given[name] = label
    content, placed = filled_volume(volume, files)
    image = replace(volume, content)(data)
    new = verify(data, image, volume, placed, files)
    report = [f"into {volume.where()}:"]
    report += [f"  {label}: at 0x{offset:X}, {len(data)} bytes"
               for (label, offset), (_, data) in zip(placed, files)]
    free = new.length - align(new.free_start, FILE_ALIGNMENT)
    report.append(f"{len(files)} files inserted, {max(free, 0)} bytes left free in the volume")
    for node in new.chain():
        if isinstance(node, File) and len(node.data) != len(
                next(old for old in volume.chain() if old.where() == node.where()).data):
            report.append(f"{node.where()}: now {len(node.data)} bytes")
    return image, report


def main(argv):
    parser = argparse.ArgumentParser(
        description="Insert firmware files into the DXE volume of a flash image.")
    parser.add_argument("image", help="the flash image (.fd or a whole flash)")
    parser.add_argument("--output", required=True, help="the new image to write")
    parser.add_argument("--images", default=DEFAULT_IMAGES,
                        help="folder with NotebookDrivers.fv and the .ffs files "
                        f"(default {DEFAULT_IMAGES})")
    parser.add_argument("--volume", help="the DXE volume's GUID, where the image has several")
    parser.add_argument("files", nargs="*",
                        help="driver names or .ffs files (default: all of NotebookDrivers.fv)")
    args = parser.parse_intermixed_args(argv)
    report = []

    def pack():
        with open(args.image, "rb") as stream:
            data = stream.read()
        image, lines = insert(data, files_to_insert(args.images, args.files), args.volume)
        report.extend(lines)
        return image

    code = write_packed("insert_ffs", args.output, pack)
    for line in report:
        print(line)
    return code


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
