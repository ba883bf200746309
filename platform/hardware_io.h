// The hardware boundary: one function per access, each exactly one access of exactly the
// stated width, never merged or repeated. Driver code reaches device registers only through
// these functions.
//
// Firmware build: hardware_io_firmware.S, fixed instruction encodings that the simulated board
// recognises when it runs the images. Host build: hardware_io_host.cpp, which forwards each
// access to the bus that the simulated board installs with SetHostHardwareBus.
#pragma once

#include "efi_types.h"

extern "C" {
UINT8 IoRead8(UINT16 Port);
UINT16 IoRead16(UINT16 Port);
UINT32 IoRead32(UINT16 Port);
VOID IoWrite8(UINT16 Port, UINT8 Value);
VOID IoWrite16(UINT16 Port, UINT16 Value);
VOID IoWrite32(UINT16 Port, UINT32 Value);
UINT8 MmioRead8(UINTN Address);
UINT16 MmioRead16(UINTN Address);
UINT32 MmioRead32(UINTN Address);
VOID MmioWrite8(UINTN Address, UINT8 Value);
VOID MmioWrite16(UINTN Address, UINT16 Value);
VOID MmioWrite32(UINTN Address, UINT32 Value);
// Stops the processor for good: interrupts off, then halt.
[[noreturn]] VOID CpuDeadLoop(VOID);
}

#ifndef FIRMWARE_BUILD
// Host build only: the receiver of the accesses made by natively compiled driver code.
struct HostHardwareBus {
  UINT64 (*Read)(bool IsIo, UINT64 Address, UINT8 Width);
  void (*Write)(bool IsIo, UINT64 Address, UINT8 Width, UINT64 Value);
  void (*Halt)(); // never returns
};
void SetHostHardwareBus(const HostHardwareBus *Bus);
#endif
