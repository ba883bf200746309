// The board's memory search: the low-memory window, the whole used part of the below-4-GiB
// arena (live and freed pool blocks, pages, loaded images, the USB data area) and the stack the
// images ran on.
#include "board.h"
#include "physical_memory.h"

#include <algorithm>
#include <cstdio>

namespace sim {
namespace {

std::string Hex(uint64_t Value) {
  char Text[32];
  std::snprintf(Text, sizeof(Text), "0x%llX", (unsigned long long)Value);
  return Text;
}

void Search(const uint8_t *From, size_t Size, const std::vector<uint8_t> &Bytes,
            std::vector<uint64_t> &Found) {
  const uint8_t *End = From + Size;
  const uint8_t *At = From;
  while (true) {
    At = std::search(At, End, Bytes.begin(), Bytes.end());
    if (At == End) {
      return;
    }
    Found.push_back(reinterpret_cast<uint64_t>(At));
    At++;
  }
}

} // namespace

std::vector<MemoryHit> Board::FindInMemory(const std::vector<uint8_t> &Bytes) const {
  std::vector<uint64_t> Addresses;
  if (Bytes.empty()) {
    return {};
  }
  Search(reinterpret_cast<const uint8_t *>(kLowWindowBase), kLowWindowSize, Bytes, Addresses);
  if (ArenaBase() != nullptr) {
    Search(ArenaBase(), ArenaUsed(), Bytes, Addresses);
  }
  const uint8_t *Stack = ImageStackBase();
  Search(Stack, kImageStackSize, Bytes, Addresses);
  const size_t AtTheEnd = Addresses.size();
  for (uint64_t Seen : DeadImageStackHits(Bytes)) {
    if (std::find(Addresses.begin(), Addresses.end(), Seen) == Addresses.end()) {
      Addresses.push_back(Seen);
    }
  }
  std::vector<MemoryHit> Hits;
  for (size_t Index = 0; Index < Addresses.size(); Index++) {
    const uint64_t Address = Addresses[Index];
    MemoryHit Hit;
    Hit.Address = Address;
    if (Address >= kLowWindowBase && Address < kLowWindowBase + kLowWindowSize) {
      Hit.Where = "low memory " + Hex(Address);
    }
    for (const auto &[At, Block] : PoolBlocks()) {
      uint64_t From = reinterpret_cast<uint64_t>(At);
      if (Address >= From && Address < From + Block.Size) {
        Hit.Where = std::string(Block.Freed ? "freed" : "live") + " pool block " + Hex(From) +
                    " (" + std::to_string(Block.Size) + " bytes) at offset " + Hex(Address - From);
      }
    }
    for (const auto &[From, Block] : Pages) {
      if (Address >= From && Address < From + Block.Pages * EFI_PAGE_SIZE) {
        Hit.Where = std::string(Block.Freed ? "freed" : "live") + " pages " + Hex(From) +
                    " at offset " + Hex(Address - From);
      }
    }
    if (OnImageStack(reinterpret_cast<const void *>(Address))) {
      Hit.Where =
          std::string(Index < AtTheEnd ? "image stack, " : "dead image stack at a service call, ") +
          Hex(reinterpret_cast<uint64_t>(Stack) + kImageStackSize - Address) +
          " bytes below its top";
    }
    if (Hit.Where.empty()) {
      const PeImage *Image = ImageAt(reinterpret_cast<const void *>(Address));
      Hit.Where = Image != nullptr ? "image " + Image->Locate(reinterpret_cast<void *>(Address))
                                   : "arena " + Hex(Address);
    }
    Hits.push_back(std::move(Hit));
  }
  return Hits;
}

bool Board::MemoryContains(const std::vector<uint8_t> &Bytes) const {
  return !FindInMemory(Bytes).empty();
}

} // namespace sim
