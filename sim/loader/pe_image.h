// Loads a PE32+ EFI image into the below-4-GiB arena the way a firmware loader does: headers
// and sections copied, DIR64 base relocations applied, a fresh copy (fresh globals) per load.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace sim {

struct PeImage {
  std::string Path;
  std::string Name; // file name without ".efi"
  std::vector<uint8_t> File;
  uint8_t *Base = nullptr;
  uint64_t Size = 0;
  uint32_t EntryRva = 0;
  uint16_t Subsystem = 0;
  uint64_t PreferredBase = 0;
  std::vector<std::pair<uint32_t, std::string>> Symbols; // from the linker map, sorted by RVA

  void *Entry() const { return Base + EntryRva; }
  bool Contains(const void *Address) const;
  // "Name+0x1a4 (Symbol+0x20)" for an address inside the image.
  std::string Locate(const void *Address) const;
};

// Returns the loaded image, or null with a message in Error.
std::unique_ptr<PeImage> LoadPeImage(const std::string &Path, std::string &Error);
std::unique_ptr<PeImage> LoadPeImage(std::vector<uint8_t> File, const std::string &Name,
                                     std::string &Error);

std::vector<uint8_t> ReadWholeFile(const std::string &Path);

} // namespace sim
