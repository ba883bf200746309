// ByteRoutinesTest.efi: publishes the support library's byte routines and the compiler's
// memcpy, memmove, memset and memcmp, linked from the same support library objects as every
// driver image, on its own image handle.
#include "byte_routines_protocol.h"
#include "efi_system_table.h"
#include "memory.h"

extern "C" {
void *memcpy(void *Destination, const void *Source, size_t Length);
void *memmove(void *Destination, const void *Source, size_t Length);
void *memset(void *Buffer, int Value, size_t Length);
int memcmp(const void *First, const void *Second, size_t Length);
}

namespace {
// In the firmware build the Microsoft x64 convention is the default one, so the routines
// themselves already have the EFIAPI types of the table.
BYTE_ROUTINES_PROTOCOL ByteRoutines = {
    CompareBytes, FillBytes, CopyBytes, memcpy, memmove, memset, memcmp,
};
} // namespace

extern "C" EFI_STATUS EFIAPI ByteRoutinesTestEntry(EFI_HANDLE ImageHandle,
                                                   EFI_SYSTEM_TABLE *SystemTable) {
  EFI_HANDLE Handle = ImageHandle;
  return SystemTable->BootServices->InstallProtocolInterface(&Handle, &BYTE_ROUTINES_PROTOCOL_GUID,
                                                             EFI_NATIVE_INTERFACE, &ByteRoutines);
}
