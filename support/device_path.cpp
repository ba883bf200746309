#include "device_path.h"

#include "memory.h"

namespace {

constexpr UINTN EndNodeLength = 4;

// The path made of one end node: 7F FF 04 00.
constexpr EFI_DEVICE_PATH_PROTOCOL EndOnlyPath = {0x7F, 0xFF, {0x04, 0x00}};

bool IsEndNode(const EFI_DEVICE_PATH_PROTOCOL *Node) {
  return (Node->Type == 0x7F || Node->Type == 0xFF) && Node->SubType == 0xFF;
}

UINTN NodeLength(const EFI_DEVICE_PATH_PROTOCOL *Node) {
  return (UINTN)Node->Length[0] | ((UINTN)Node->Length[1] << 8);
}

} // namespace

UINTN GetDevicePathLength(const EFI_DEVICE_PATH_PROTOCOL *Path) {
  if (Path == nullptr) {
    return 0;
  }
  UINTN Total = 0;
  const UINT8 *Node = (const UINT8 *)Path;
  for (;;) {
    const EFI_DEVICE_PATH_PROTOCOL *Header = (const EFI_DEVICE_PATH_PROTOCOL *)Node;
    if (IsEndNode(Header)) {
      return Total + EndNodeLength;
    }
    UINTN Length = NodeLength(Header);
    if (Header->Type == 0 || Length == 0) {
      return Total;
    }
    Total += Length;
    Node += Length;
  }
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
  UINTN FirstLength = GetDevicePathLength(First);
  UINTN SecondLength = GetDevicePathLength(Second);
  // First without its end node. A first path shorter than an end node (it starts with a Type 0
  // or Length 0 node) contributes nothing rather than a length that wraps below zero.
  UINTN Prefix = FirstLength >= EndNodeLength ? FirstLength - EndNodeLength : 0;
  UINT8 *Joined = (UINT8 *)AllocateBootPool(Prefix + SecondLength);
  if (Joined == nullptr) {
    return nullptr;
  }
  CopyBytes(Joined, First, Prefix);
  CopyBytes(Joined + Prefix, Second, SecondLength);
  return (EFI_DEVICE_PATH_PROTOCOL *)Joined;
}
