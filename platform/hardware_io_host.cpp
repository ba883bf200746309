// Host build of the hardware boundary: every access goes to the bus that the simulated board
// installed. Without a bus an access is a programming error of the test, so it aborts.
#include "hardware_io.h"

#include <cstdio>
#include <cstdlib>

namespace {
const HostHardwareBus *ActiveBus = nullptr;

const HostHardwareBus &Bus() {
  if (ActiveBus == nullptr) {
    std::fprintf(stderr, "hardware access without a simulated bus\n");
    std::abort();
  }
  return *ActiveBus;
}
} // namespace

void SetHostHardwareBus(const HostHardwareBus *NewBus) {
  ActiveBus = NewBus;
}

extern "C" {
UINT8 IoRead8(UINT16 Port) {
  return (UINT8)Bus().Read(true, Port, 1);
}
UINT16 IoRead16(UINT16 Port) {
  return (UINT16)Bus().Read(true, Port, 2);
}
UINT32 IoRead32(UINT16 Port) {
  return (UINT32)Bus().Read(true, Port, 4);
}
VOID IoWrite8(UINT16 Port, UINT8 Value) {
  Bus().Write(true, Port, 1, Value);
}
VOID IoWrite16(UINT16 Port, UINT16 Value) {
  Bus().Write(true, Port, 2, Value);
}
VOID IoWrite32(UINT16 Port, UINT32 Value) {
  Bus().Write(true, Port, 4, Value);
}
UINT8 MmioRead8(UINTN Address) {
  return (UINT8)Bus().Read(false, Address, 1);
}
UINT16 MmioRead16(UINTN Address) {
  return (UINT16)Bus().Read(false, Address, 2);
}
UINT32 MmioRead32(UINTN Address) {
  return (UINT32)Bus().Read(false, Address, 4);
}
VOID MmioWrite8(UINTN Address, UINT8 Value) {
  Bus().Write(false, Address, 1, Value);
}
VOID MmioWrite16(UINTN Address, UINT16 Value) {
  Bus().Write(false, Address, 2, Value);
}
VOID MmioWrite32(UINTN Address, UINT32 Value) {
  Bus().Write(false, Address, 4, Value);
}
void CpuDeadLoop(VOID) {
  Bus().Halt();
  __builtin_unreachable();
}
}
