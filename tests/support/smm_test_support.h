// Helpers for the SMM images on the board: reading an image's globals through its linker map,
// and starting an SMM driver the way the DXE dispatcher does.
#pragma once

#include "board_test_support.h"

#include <cstring>

namespace sim::test {

// The value of a global of a loaded image, found by name in the image's linker map.
template <typename T> T ImageGlobal(const PeImage &Image, const std::string &Name) {
  void *At = ImageSymbol(Image, Name);
  EXPECT_NE(At, nullptr) << Name << " not in the map of " << Image.Name;
  T Value{};
  if (At != nullptr) {
    std::memcpy(&Value, At, sizeof Value);
  }
  return Value;
}

// Loads the image as the DXE dispatcher does and runs its entry point (the first run; the SMM
// core runs the second one inside Register). Returns the image handle through Handle.
inline RunResult StartDriverImage(Board &B, const std::string &Name, EFI_HANDLE *Handle = nullptr,
                                  const std::function<void(LoadedImageRecord &)> &Adjust = {}) {
  std::string Error;
  EFI_HANDLE Loaded = B.LoadImage(Board::ImagePath(Name), Error);
  EXPECT_NE(Loaded, nullptr) << Error;
  if (Loaded == nullptr) {
    return RunResult{Name, Outcome::Crashed, 0, Error};
  }
  if (Adjust) {
    Adjust(*B.ImageRecord(Loaded));
  }
  if (Handle != nullptr) {
    *Handle = Loaded;
  }
  return B.StartImage(Loaded);
}

// Bytes of a device path built from nodes.
inline std::vector<uint8_t> PathBytes(std::initializer_list<std::vector<uint8_t>> Nodes) {
  std::vector<uint8_t> Path;
  for (const auto &Node : Nodes) {
    Path.insert(Path.end(), Node.begin(), Node.end());
  }
  return Path;
}

} // namespace sim::test
