// Source lines of an image from the DWARF line table of its debug twin (<Name>.debug beside
// <Name>.efi: the same sections at the same addresses, plus DWARF), so that a crash, halt or
// stuck report names the file and line, not only the symbol and offset.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

class SourceLines {
public:
  // Reads the line table of a PE32+ file with DWARF sections, whose addresses lie at ImageBase
  // plus the image-relative address. False (and no lines) when the file has none or is damaged.
  bool Read(const std::vector<uint8_t> &File, uint64_t ImageBase);
  // "fingerprint_auth/auth_flow.cpp:173" for an image-relative address, empty when the table
  // gives no line for it.
  std::string At(uint64_t Rva) const;
  bool Empty() const { return Ranges.empty(); }

private:
  struct Range {
    uint64_t Start = 0, End = 0; // image-relative, End exclusive
    uint32_t File = 0;           // index into Files
    uint32_t Line = 0;
  };
  std::vector<std::string> Files;
  std::vector<Range> Ranges; // sorted by Start
};

// The facts of a PE32+ file that tell whether a debug twin belongs to an image: the linker's
// time stamp (with /Brepro a hash of the image's bytes, which the twin takes over), the link
// address, the entry point and the size of the code.
struct PeIdentity {
  uint32_t TimeStamp = 0;
  uint64_t ImageBase = 0;
  uint32_t EntryRva = 0;
  uint32_t CodeSize = 0;
  bool operator==(const PeIdentity &) const = default;
};
// False when File is no PE32+ file.
bool ReadPeIdentity(const std::vector<uint8_t> &File, PeIdentity &Identity);

} // namespace sim
