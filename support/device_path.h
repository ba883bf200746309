// Device-path length, copy and join. Nodes are byte-packed: Type, SubType, then a little-endian
// 16-bit Length that covers the whole node.
#pragma once

#include "efi_types.h"

// Length in bytes of the path, its end node counted as 4 bytes whatever its Length field says.
// A malformed node (Type 0, or a Length below the 4 bytes of its own header) ends the walk
// without an end node; an end-instance node (7F 01) is an ordinary node. A NULL path has
// length 0.
UINTN GetDevicePathLength(const EFI_DEVICE_PATH_PROTOCOL *Path);

// A new boot-services pool buffer holding the path; a path whose walk stops at a malformed node
// gets the end-only node 7F FF 04 00 behind its counted nodes, so a copy always ends with an end
// node. NULL for a NULL path or when the pool is exhausted (nothing is copied then). The caller
// frees it with FreePool.
EFI_DEVICE_PATH_PROTOCOL *CopyDevicePath(const EFI_DEVICE_PATH_PROTOCOL *Path);

// A new pool buffer holding First without its end node followed by all of Second; a First whose
// walk stops at a malformed node has no end node, and all its counted nodes are kept; a Second
// without an end node gets the end-only node behind it. A NULL First gives a copy of Second (or
// of the end-only path 7F FF 04 00 when both are NULL); a NULL Second gives a copy of First.
// NULL when the pool is exhausted (nothing is copied then).
EFI_DEVICE_PATH_PROTOCOL *JoinDevicePaths(const EFI_DEVICE_PATH_PROTOCOL *First,
                                          const EFI_DEVICE_PATH_PROTOCOL *Second);
