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
// stopped at an end node (counted as 4 bytes) or at a Type 0 or Length 0 node (not counted).
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
    if (Header->Type == 0 || Length == 0) {
      *EndedOnEndNode = FALSE;
      return Total;
    }
    Total += Length;
    Node += Length;
  }
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
  UINTN Length = GetDevicePathLength(Path);
  VOID *Copy = AllocateBootPool(Length);
  if (Copy == nullptr) {
    return nullptr;
  }
  CopyBytes(Copy, Path, Length);
  return (EFI_DEVICE_PATH_PROTOCOL *)Copy;
}

EFI_DEVICE_PATH_PROTOCOL *JoinDevicePaths(const EFI_DEVICE_PATH_PROTOCOL *First,
                                          const EFI_DEVICE_PATH_PROTOCOL *Second) {
  if (First == nullptr) {
    return CopyDevicePath(Second != nullptr ? Second : &EndOnlyPath);
  }
  if (Second == nullptr) {
    return CopyDevicePath(First);
  }
  // First without its end node. A first path whose walk stopped at a Type 0 or Length 0 node
  // has no end node to drop: all of its counted nodes are kept, and Second's end node ends the
  // joined path.
  BOOLEAN FirstEndedOnEndNode = FALSE;
  UINTN FirstLength = WalkDevicePath(First, &FirstEndedOnEndNode);
  UINTN SecondLength = GetDevicePathLength(Second);
  UINTN Prefix = FirstEndedOnEndNode ? FirstLength - EndNodeLength : FirstLength;
  UINT8 *Joined = (UINT8 *)AllocateBootPool(Prefix + SecondLength);
  if (Joined == nullptr) {
    return nullptr;
  }
  CopyBytes(Joined, First, Prefix);
  CopyBytes(Joined + Prefix, Second, SecondLength);
  return (EFI_DEVICE_PATH_PROTOCOL *)Joined;
}
