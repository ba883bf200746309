// Loads a PE32+ EFI image into the below-4-GiB arena the way a firmware loader does: headers
// and sections copied, DIR64 base relocations applied, a fresh copy (fresh globals) per load.
#pragma once

#include "source_lines.h"

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
  // The debug twin beside the image file (<Name>.debug, when it belongs to these bytes) and its
  // line table.
  std::string DebugPath;
  SourceLines Lines;

  void *Entry() const { return Base + EntryRva; }
  bool Contains(const void *Address) const;
  // "Name+0x1a4 (Symbol+0x20, fingerprint_auth/auth_flow.cpp:173)" for an address inside the
  // image (the symbol from the linker map, the line from the debug twin, each when known).
  // ReturnAddress: the address follows a call, whose line is named.
  std::string Locate(const void *Address, bool ReturnAddress = false) const;
};

// Returns the loaded image, or null with a message in Error.
std::unique_ptr<PeImage> LoadPeImage(const std::string &Path, std::string &Error);
std::unique_ptr<PeImage> LoadPeImage(std::vector<uint8_t> File, const std::string &Name,
                                     std::string &Error);

std::vector<uint8_t> ReadWholeFile(const std::string &Path);

} // namespace sim
