// The board's physical address space as the images see it: the low-memory window at its real
// address, the device windows that fault on every touch, and a below-4-GiB arena for pool and
// page allocations.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

inline constexpr uint64_t kLowWindowBase = 0x30000;
inline constexpr uint64_t kLowWindowSize = 0x50000;

struct DeviceWindow {
  uint64_t Base;
  uint64_t Size;
};
inline constexpr DeviceWindow kDeviceWindows[] = {
    {0xE0000000, 0x10000000}, // PCI Express configuration space
    {0xFED40000, 0x5000},     // TPM TIS localities
    {0xFED80000, 0x1000},     // FCH ACPI MMIO block
};

// Maps the fixed windows once per process; later calls only return.
void MapPhysicalWindows();
bool InDeviceWindow(uint64_t Address);

// Below-4-GiB arena (pool blocks and pages). Never reused within a process, so freed blocks
// keep their contents for inspection.
uint8_t *ArenaAllocate(size_t Size, size_t Alignment);
bool InArena(const void *Pointer);
// The arena's used part, for memory searches.
const uint8_t *ArenaBase();
size_t ArenaUsed();

// The stack the images run on, below 4 GiB as the DXE core's stack is (a guard page below it
// makes an overflow fault). Mapped once per process with the windows; memory searches cover it.
inline constexpr size_t kImageStackSize = 1u << 20;
uint8_t *ImageStackBase(); // lowest address; the stack grows down from base + size
bool OnImageStack(const void *Pointer);

// Forgets every arena allocation and zeroes the arena's used part, the low-memory window and the
// image stack, as a new process finds them. Only with no board alive: for a process that runs board
// after board (the fuzz targets), so that each starts from the same memory.
void ReleasePhysicalMemory();

} // namespace sim
