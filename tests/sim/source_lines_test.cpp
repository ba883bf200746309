// Source lines in the board's reports: a crash inside an image names the file and line from the
// image's debug twin, every driver's entry point has its line, and a damaged twin gives no line
// rather than a wrong one or a crash of the board.
#include "board_test_support.h"
#include "source_lines.h"

#include <fstream>
#include <regex>

namespace sim::test {
namespace {

// Line Number (1-based) of the checkout's file Path.
std::string SourceLine(const std::string &Path, unsigned Number) {
  std::ifstream In(std::string(CHECKOUT_DIR) + "/" + Path);
  std::string Line;
  for (unsigned At = 1; std::getline(In, Line); At++) {
    if (At == Number) {
      return Line;
    }
  }
  return "(no line " + std::to_string(Number) + " in " + Path + ")";
}

// A driver called with a system table pointer into unmapped memory crashes in the support
// library where it reads the table; the report names the image offset, the symbol, and the
// file and line of that read.
TEST(SourceLines, PlantedCrashNamesFileAndLine) {
  Board B;
  std::string Error;
  EFI_HANDLE Image = B.LoadImage(Board::ImagePath("PciBridgeProbeDxe"), Error);
  ASSERT_NE(Image, nullptr) << Error;
  ASSERT_FALSE(B.ImageRecord(Image)->Image->DebugPath.empty()) << "no debug twin beside the image";
  auto Entry = reinterpret_cast<EFI_IMAGE_ENTRY_POINT>(B.ImageRecord(Image)->Image->Entry());
  auto *Unmapped = reinterpret_cast<EFI_SYSTEM_TABLE *>(uintptr_t{0x10});
  RunResult Crash = B.RunGuardedCall("planted crash", [&] { return Entry(Image, Unmapped); });
  ASSERT_EQ(Crash.How, Outcome::Crashed) << Crash.Message;

  std::smatch Match;
  ASSERT_TRUE(std::regex_search(
      Crash.Message, Match,
      std::regex(
          R"(PciBridgeProbeDxe\+0x[0-9a-f]+ \(\?InitializeDriverGlobals@[^+]*\+0x[0-9a-f]+, )"
          R"((support/driver_globals\.cpp):([0-9]+)\))")))
      << Crash.Message;
  std::string Text = SourceLine(Match[1], (unsigned)std::stoul(Match[2]));
  EXPECT_NE(Text.find("SystemTable->"), std::string::npos)
      << "line " << Match[2] << " does not read the table: " << Text;
}

// Every driver's entry point lies on a line of its entry function in its own source file.
TEST(SourceLines, EveryDriverEntryPointHasItsLine) {
  struct Case {
    const char *Image, *File, *Entry;
  };
  const Case Cases[] = {
      {"FingerprintAuthDxe", "fingerprint_auth/auth_flow.cpp", "FingerprintAuthEntryPoint("},
      {"FanControlSmm", "fan_control_smm/fan_control_smm.cpp", "FanControlEntryPoint("},
      {"FingerprintStatusSmm", "fingerprint_status_smm/fingerprint_status_smm.cpp",
       "FingerprintStatusEntryPoint("},
      {"SetupHwSyncDxe", "setup_hw_sync/setup_hw_sync.cpp", "SetupHwSyncEntryPoint("},
      {"PciBridgeProbeDxe", "pci_bridge_probe/pci_bridge_probe.cpp", "PciBridgeProbeEntryPoint("},
  };
  for (const Case &C : Cases) {
    std::string Error;
    auto Image = LoadPeImage(Board::ImagePath(C.Image), Error);
    ASSERT_TRUE(Image) << Error;
    std::string Where = Image->Lines.At(Image->EntryRva);
    std::string Prefix = std::string(C.File) + ":";
    ASSERT_EQ(Where.rfind(Prefix, 0), 0u) << C.Image << ": entry point at '" << Where << "'";
    unsigned Line = (unsigned)std::stoul(Where.substr(Prefix.size()));
    // The definition's first line, or one of the few after it before the body's first statement.
    bool Found = false;
    for (unsigned Back = 0; Back < 4 && Back < Line && !Found; Back++) {
      Found = SourceLine(C.File, Line - Back).find(C.Entry) != std::string::npos;
    }
    EXPECT_TRUE(Found) << C.Image << ": " << Where << " is not in " << C.Entry;
  }
}

// A twin cut short anywhere, or with its line table's bytes damaged, is read without reading
// past its end (the sanitizer build would report it) and gives no line outside the image.
TEST(SourceLines, DamagedTwinsAreReadSafely) {
  std::vector<uint8_t> Twin = ReadWholeFile(Board::ImageDirectory() + "/PciBridgeProbeDxe.debug");
  ASSERT_FALSE(Twin.empty());
  PeIdentity Identity;
  ASSERT_TRUE(ReadPeIdentity(Twin, Identity));
  SourceLines Intact;
  ASSERT_TRUE(Intact.Read(Twin, Identity.ImageBase));
  ASSERT_FALSE(Intact.At(Identity.EntryRva).empty());
  EXPECT_TRUE(Intact.At(0x100000).empty()); // far beyond the image

  for (size_t Cut = 0; Cut < Twin.size(); Cut += 97) {
    std::vector<uint8_t> Short(Twin.begin(), Twin.begin() + (long)Cut);
    SourceLines Lines;
    Lines.Read(Short, Identity.ImageBase);
    EXPECT_TRUE(Lines.At(0x100000).empty());
  }
  for (size_t At = 0x40; At < Twin.size(); At += 13) {
    std::vector<uint8_t> Damaged = Twin;
    Damaged[At] ^= 0xFF;
    SourceLines Lines;
    Lines.Read(Damaged, Identity.ImageBase);
    EXPECT_TRUE(Lines.At(0x100000).empty());
  }
}

} // namespace
} // namespace sim::test
