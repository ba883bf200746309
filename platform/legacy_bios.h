// Framework EFI_LEGACY_BIOS_PROTOCOL (the compatibility support module's thunk into 16-bit code)
// and its register set.
#pragma once

#include "efi_types.h"

typedef struct {
  UINT32 EAX, EBX, ECX, EDX, ESI, EDI;
  UINT32 EFlags;
  UINT16 ES, CS, SS, DS, FS, GS;
  UINT32 EBP, ESP;
} EFI_DWORD_REGS;

typedef struct {
  UINT16 AX, ReservedAX;
  UINT16 BX, ReservedBX;
  UINT16 CX, ReservedCX;
  UINT16 DX, ReservedDX;
  UINT16 SI, ReservedSI;
  UINT16 DI, ReservedDI;
  UINT16 Flags, ReservedFlags;
  UINT16 ES, CS, SS, DS, FS, GS;
  UINT16 BP, ReservedBP;
  UINT16 SP, ReservedSP;
} EFI_WORD_REGS;

typedef struct {
  UINT8 AL, AH;
  UINT16 ReservedAX;
  UINT8 BL, BH;
  UINT16 ReservedBX;
  UINT8 CL, CH;
  UINT16 ReservedCX;
  UINT8 DL, DH;
  UINT16 ReservedDX;
} EFI_BYTE_REGS;

typedef union {
  EFI_DWORD_REGS E;
  EFI_WORD_REGS X;
  EFI_BYTE_REGS H;
} EFI_IA32_REGISTER_SET;
static_assert(sizeof(EFI_IA32_REGISTER_SET) == 48 && alignof(EFI_IA32_REGISTER_SET) == 4);
static_assert(offsetof(EFI_WORD_REGS, BX) == 4 && offsetof(EFI_WORD_REGS, Flags) == 24 &&
              offsetof(EFI_WORD_REGS, ES) == 28 && offsetof(EFI_WORD_REGS, DS) == 34 &&
              offsetof(EFI_WORD_REGS, BP) == 40 && offsetof(EFI_WORD_REGS, SP) == 44);
static_assert(offsetof(EFI_DWORD_REGS, EFlags) == 24 && offsetof(EFI_DWORD_REGS, DS) == 34 &&
              offsetof(EFI_DWORD_REGS, EBP) == 40);
static_assert(offsetof(EFI_BYTE_REGS, AH) == 1 && offsetof(EFI_BYTE_REGS, DL) == 12);

struct EFI_LEGACY_BIOS_PROTOCOL;
typedef BOOLEAN(EFIAPI *EFI_LEGACY_BIOS_INT86)(EFI_LEGACY_BIOS_PROTOCOL *This, UINT8 BiosInt,
                                               EFI_IA32_REGISTER_SET *Regs);
// TRUE means the 16-bit code returned with the carry flag set.
typedef BOOLEAN(EFIAPI *EFI_LEGACY_BIOS_FARCALL86)(EFI_LEGACY_BIOS_PROTOCOL *This, UINT16 Segment,
                                                   UINT16 Offset, EFI_IA32_REGISTER_SET *Regs,
                                                   VOID *Stack, UINTN StackSize);
typedef EFI_STATUS(EFIAPI *EFI_LEGACY_BIOS_UNUSED)();

struct EFI_LEGACY_BIOS_PROTOCOL {
  EFI_LEGACY_BIOS_INT86 Int86;
  EFI_LEGACY_BIOS_FARCALL86 FarCall86;
  EFI_LEGACY_BIOS_UNUSED CheckPciRom;
  EFI_LEGACY_BIOS_UNUSED InstallPciRom;
  EFI_LEGACY_BIOS_UNUSED LegacyBoot;
  EFI_LEGACY_BIOS_UNUSED UpdateKeyboardLedStatus;
  EFI_LEGACY_BIOS_UNUSED GetBbsInfo;
  EFI_LEGACY_BIOS_UNUSED ShadowAllLegacyOproms;
  EFI_LEGACY_BIOS_UNUSED PrepareToBootEfi;
  EFI_LEGACY_BIOS_UNUSED GetLegacyRegion;
  EFI_LEGACY_BIOS_UNUSED CopyLegacyRegion;
  EFI_LEGACY_BIOS_UNUSED BootUnconventionalDevice;
};
static_assert(sizeof(EFI_LEGACY_BIOS_PROTOCOL) == 96);
static_assert(offsetof(EFI_LEGACY_BIOS_PROTOCOL, FarCall86) == 8 &&
              offsetof(EFI_LEGACY_BIOS_PROTOCOL, ShadowAllLegacyOproms) == 56 &&
              offsetof(EFI_LEGACY_BIOS_PROTOCOL, BootUnconventionalDevice) == 88);
