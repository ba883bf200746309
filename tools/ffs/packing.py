"""What the two packers share: their error, GUID bytes, alignment, and the command-line tail
that writes the packed bytes (or says why there are none)."""

import os
import sys
import uuid


class PackError(Exception):
    pass


def guid_bytes(text):
    """EFI_GUID layout: UINT32, UINT16, UINT16 little-endian, then 8 bytes as written."""
    try:
        return uuid.UUID(text).bytes_le
    except ValueError as error:
        raise PackError(f"bad GUID {text!r}: {error}") from None


def align(value, boundary):
    return -(-value // boundary) * boundary


def write_packed(tool, output, pack):
    """Writes what pack() returns to output, through a temporary file so that a failed run
    leaves no partial output. A PackError or OSError is printed as "<tool>: <error>" and gives
    the exit code 1."""
    try:
        data = pack()
    except (PackError, OSError) as error:
        print(f"{tool}: {error}", file=sys.stderr)
        return 1
    temporary = output + ".tmp"
    with open(temporary, "wb") as stream:
        stream.write(data)
    os.replace(temporary, output)
    return 0
