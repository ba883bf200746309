#include "physical_memory.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {
namespace {

constexpr size_t kArenaSize = 256u << 20;
uint8_t *Arena = nullptr;
constexpr size_t kStackGuardSize = 4096;
uint8_t *ImageStack = nullptr;
size_t ArenaOffset = 0;
bool Mapped = false;

// Whether every page of [Base, Base + Size) is already mapped without any access. A sanitizer
// runtime keeps such a reservation of its own over the 4 GiB below its shadow memory (ASan's
// shadow gap covers 0x8fff7000 up), and a device window there behaves exactly as one the board
// maps: every touch faults and the fault handler hands it to the device model.
bool ReservedWithoutAccess(uint64_t Base, uint64_t Size) {
  FILE *Maps = std::fopen("/proc/self/maps", "r");
  if (Maps == nullptr) {
    return false;
  }
  uint64_t Covered = Base; // the mappings come in address order
  char Line[512];
  while (Covered < Base + Size && std::fgets(Line, sizeof Line, Maps) != nullptr) {
    unsigned long long Start = 0, End = 0;
    char Permissions[5] = {};
    if (std::sscanf(Line, "%llx-%llx %4s", &Start, &End, Permissions) != 3) {
      continue;
    }
    if (Start <= Covered && End > Covered) {
      if (std::strncmp(Permissions, "---", 3) != 0) {
        break; // readable, writable or executable: not a device window
      }
      Covered = End;
    }
  }
  std::fclose(Maps);
  return Covered >= Base + Size;
}

void MapFixed(uint64_t Base, uint64_t Size, int Protection) {
  void *Want = reinterpret_cast<void *>(Base);
  void *Got = mmap(Want, Size, Protection,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE | MAP_NORESERVE, -1, 0);
  if (Got == MAP_FAILED && errno == EEXIST && Protection == PROT_NONE &&
      ReservedWithoutAccess(Base, Size)) {
    return;
  }
  if (Got != Want) {
    std::fprintf(stderr, "board: cannot map physical 0x%llx (+0x%llx): %s\n",
                 (unsigned long long)Base, (unsigned long long)Size, std::strerror(errno));
    std::abort();
  }
}

} // namespace

void MapPhysicalWindows() {
  if (Mapped) {
    return;
  }
  MapFixed(kLowWindowBase, kLowWindowSize, PROT_READ | PROT_WRITE);
  for (const DeviceWindow &Window : kDeviceWindows) {
    MapFixed(Window.Base, Window.Size, PROT_NONE);
  }
  void *Memory = mmap(nullptr, kArenaSize, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT | MAP_NORESERVE, -1, 0);
  if (Memory == MAP_FAILED) {
    std::fprintf(stderr, "board: cannot map the below-4-GiB arena: %s\n", std::strerror(errno));
    std::abort();
  }
  Arena = static_cast<uint8_t *>(Memory);
  void *Stack = mmap(nullptr, kImageStackSize + kStackGuardSize, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT | MAP_NORESERVE, -1, 0);
  if (Stack == MAP_FAILED || mprotect(Stack, kStackGuardSize, PROT_NONE) != 0) {
    std::fprintf(stderr, "board: cannot map the image stack: %s\n", std::strerror(errno));
    std::abort();
  }
  ImageStack = static_cast<uint8_t *>(Stack) + kStackGuardSize;
  Mapped = true;
}

bool InDeviceWindow(uint64_t Address) {
  for (const DeviceWindow &Window : kDeviceWindows) {
    if (Address >= Window.Base && Address - Window.Base < Window.Size) {
      return true;
    }
  }
  return false;
}

uint8_t *ArenaAllocate(size_t Size, size_t Alignment) {
  MapPhysicalWindows();
  size_t Start = (ArenaOffset + Alignment - 1) & ~(Alignment - 1);
  if (Start + Size > kArenaSize || Start + Size < Start) {
    return nullptr;
  }
  ArenaOffset = Start + Size;
  return Arena + Start;
}

bool InArena(const void *Pointer) {
  const uint8_t *P = static_cast<const uint8_t *>(Pointer);
  return Arena != nullptr && P >= Arena && P < Arena + kArenaSize;
}

const uint8_t *ArenaBase() {
  return Arena;
}

void ReleasePhysicalMemory() {
  if (!Mapped) {
    return;
  }
  // Private anonymous pages given back read as zero again.
  size_t Used = (ArenaOffset + 4095) & ~size_t{4095};
  if (Used != 0) {
    madvise(Arena, Used, MADV_DONTNEED);
  }
  madvise(reinterpret_cast<void *>(kLowWindowBase), kLowWindowSize, MADV_DONTNEED);
  madvise(ImageStack, kImageStackSize, MADV_DONTNEED); // what the last images left on it
  ArenaOffset = 0;
}

size_t ArenaUsed() {
  return ArenaOffset;
}

uint8_t *ImageStackBase() {
  MapPhysicalWindows();
  return ImageStack;
}

bool OnImageStack(const void *Pointer) {
  const uint8_t *P = static_cast<const uint8_t *>(Pointer);
  return ImageStack != nullptr && P >= ImageStack && P < ImageStack + kImageStackSize;
}

} // namespace sim
