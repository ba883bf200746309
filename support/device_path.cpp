#include "device_path.h"

#include "memory.h"

namespace {

constexpr UINTN EndNodeLength = 4;

// The path made of one end node: 7F FF 04 00.
constexpr EFI_DEVICE_PATH_PROTOCOL EndOnlyPath = {0x7F, 0xFF, {0x04, 0x00}};

BOOLEAN IsEndNode(const EFI_DEVICE_PATH_PROTOCOL *Node) {
  return (Node->Type == 0x7F || Node->Type == 0xFF) && Node->SubType == 0xFF;
}

UINTN NodeLength(const EFI_DEVICE_PATH_PROTOCOL *Node) {
  return (UINTN)Node->Length[0] | ((UINTN)Node->Length[1] << 8);
}

// Walks the nodes from Path (not NULL) and reports through EndedOnEndNode whether the walk
// stopped at an end node (counted as 4 bytes) or at a malformed node: Type 0, or a Length
// shorter than the node's own 4-byte header (not counted, and nothing behind it is read).
UINTN WalkDevicePath(const EFI_DEVICE_PATH_PROTOCOL *Path, BOOLEAN *EndedOnEndNode) {
  UINTN Total = 0;
  const UINT8 *Node = (const UINT8 *)Path;
  for (;;) {
    const EFI_DEVICE_PATH_PROTOCOL *Header = (const EFI_DEVICE_PATH_PROTOCOL *)Node;
    if (IsEndNode(Header)) {
      *EndedOnEndNode = TRUE;
      return Total + EndNodeLength;
    }
    UINTN Length = NodeLength(Header);
    if (Header->Type == 0 || Length < sizeof(EFI_DEVICE_PATH_PROTOCOL)) {
      *EndedOnEndNode = FALSE;
      return Total;
    }
    Total += Length;
    Node += Length;
  }
}

// A new pool buffer holding the nodes of First (without its end node) and of Second, ended by
// Second's end node or, when Second's walk stopped without one, by the end-only node: a path
// handed on always ends with an end node.
EFI_DEVICE_PATH_PROTOCOL *CopyNodes(const EFI_DEVICE_PATH_PROTOCOL *First,
                                    const EFI_DEVICE_PATH_PROTOCOL *Second) {
  UINTN Prefix = 0;
  if (First != nullptr) {
    BOOLEAN FirstEndedOnEndNode = FALSE;
    Prefix = WalkDevicePath(First, &FirstEndedOnEndNode);
    if (FirstEndedOnEndNode) {
      Prefix -= EndNodeLength;
    }
  }
  BOOLEAN SecondEndedOnEndNode = FALSE;
  UINTN SecondLength = WalkDevicePath(Second, &SecondEndedOnEndNode);
  UINTN Tail = SecondEndedOnEndNode ? 0 : EndNodeLength;
  UINT8 *Copy = (UINT8 *)AllocateBootPool(Prefix + SecondLength + Tail);
  if (Copy == nullptr) {
    return nullptr;
  }
  CopyBytes(Copy, First, Prefix);
  CopyBytes(Copy + Prefix, Second, SecondLength);
  CopyBytes(Copy + Prefix + SecondLength, &EndOnlyPath, Tail);
  return (EFI_DEVICE_PATH_PROTOCOL *)Copy;
}

} // namespace

UINTN GetDevicePathLength(const EFI_DEVICE_PATH_PROTOCOL *Path) {
  if (Path == nullptr) {
    return 0;
  }
  BOOLEAN EndedOnEndNode = FALSE;
  return WalkDevicePath(Path, &EndedOnEndNode);
}

EFI_DEVICE_PATH_PROTOCOL *CopyDevicePath(const EFI_DEVICE_PATH_PROTOCOL *Path) {
  if (Path == nullptr) {
    return nullptr;
  }
  return CopyNodes(nullptr, Path);
}

EFI_DEVICE_PATH_PROTOCOL *JoinDevicePaths(const EFI_DEVICE_PATH_PROTOCOL *First,
                                          const EFI_DEVICE_PATH_PROTOCOL *Second) {
  if (First == nullptr) {
    return CopyDevicePath(Second != nullptr ? Second : &EndOnlyPath);
  }
  if (Second == nullptr) {
    return CopyDevicePath(First);
  }
  // First without its end node. A first path whose walk stopped at a malformed node has no end
  // node to drop: all of its counted nodes are kept, and the end of the joined path follows
  // Second's nodes.
  return CopyNodes(First, Second);
}
