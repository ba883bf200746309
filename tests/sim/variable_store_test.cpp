// The board's variable store: the GetVariable/SetVariable rules that real firmware applies and
// that the drivers meet on a real notebook.
#include "board_test_support.h"

namespace sim::test {
namespace {

constexpr EFI_GUID Vendor = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};

TEST(VariableStore, SizesAttributesAndTooSmallBuffers) {
  VariableStore Store;
  std::vector<uint8_t> Data = {1, 2, 3, 4, 5};
  ASSERT_EQ(Store.Set(u"Name", &Vendor, 7, Data.size(), Data.data()), EFI_SUCCESS);

  uint8_t Buffer[8] = {};
  UINTN Size = 2;
  UINT32 Attributes = 0;
  EXPECT_EQ(Store.Get(u"Name", &Vendor, &Attributes, &Size, Buffer), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Size, 5u);
  EXPECT_EQ(Attributes, 7u); // reported with the needed size, as EDK II does
  EXPECT_EQ(Buffer[0], 0);

  Size = sizeof(Buffer);
  EXPECT_EQ(Store.Get(u"Name", &Vendor, nullptr, &Size, Buffer), EFI_SUCCESS);
  EXPECT_EQ(Size, 5u);
  EXPECT_EQ(std::vector<uint8_t>(Buffer, Buffer + 5), Data);

  Size = sizeof(Buffer);
  EXPECT_EQ(Store.Get(u"Other", &Vendor, nullptr, &Size, Buffer), EFI_NOT_FOUND);
  EXPECT_EQ(Store.Get(u"Name", &SETUP_GUID, nullptr, &Size, Buffer), EFI_NOT_FOUND);
}

TEST(VariableStore, AVariableKeepsItsAttributesAndSizeZeroDeletes) {
  VariableStore Store;
  uint8_t Byte = 1;
  ASSERT_EQ(Store.Set(u"Flag", &Vendor, 7, 1, &Byte), EFI_SUCCESS);
  EXPECT_EQ(Store.Set(u"Flag", &Vendor, 6, 1, &Byte), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Store.Find(u"Flag", Vendor)->Attributes, 7u);
  EXPECT_EQ(Store.Set(u"Flag", &Vendor, 7, 0, nullptr), EFI_SUCCESS);
  EXPECT_EQ(Store.Find(u"Flag", Vendor), nullptr);
  EXPECT_EQ(Store.Set(u"Flag", &Vendor, 7, 0, nullptr), EFI_NOT_FOUND);
  EXPECT_EQ(Store.Set(u"Flag", &Vendor, EFI_VARIABLE_RUNTIME_ACCESS, 1, &Byte),
            EFI_INVALID_PARAMETER);
}

// A scenario or a variables file can hold a variable of 0 bytes (SetVariable would delete it):
// reading it succeeds with size 0 and copies nothing, whatever buffer the caller passes.
TEST(VariableStore, AVariableOfZeroBytesReadsAsEmpty) {
  VariableStore Store;
  Store.Put(u"Empty", Vendor, 7, {});
  uint8_t Buffer[4] = {0xAA, 0xAA, 0xAA, 0xAA};
  UINTN Size = sizeof(Buffer);
  UINT32 Attributes = 0;
  EXPECT_EQ(Store.Get(u"Empty", &Vendor, &Attributes, &Size, Buffer), EFI_SUCCESS);
  EXPECT_EQ(Size, 0u);
  EXPECT_EQ(Attributes, 7u);
  EXPECT_EQ(Buffer[0], 0xAA);
  Size = 0;
  EXPECT_EQ(Store.Get(u"Empty", &Vendor, nullptr, &Size, Buffer), EFI_SUCCESS);
  EXPECT_EQ(Size, 0u);
}

TEST(VariableStore, OnlyNonVolatileVariablesSurviveAReboot) {
  VariableStore Store;
  uint8_t Byte = 1;
  Store.Set(u"Kept", &Vendor, 7, 1, &Byte);
  Store.Set(u"Lost", &Vendor, 6, 1, &Byte);
  Store.Reboot();
  EXPECT_NE(Store.Find(u"Kept", Vendor), nullptr);
  EXPECT_EQ(Store.Find(u"Lost", Vendor), nullptr);
}

TEST(VariableStore, FirmwareThatRefusesUndefinedGlobalNames) {
  VariableStore Store;
  Store.RefuseUndefinedGlobalNames = true;
  uint8_t Byte = 1;
  for (const char16_t *Defined : {u"BootOrder", u"Boot000A", u"Timeout", u"PlatformLang"}) {
    EXPECT_EQ(Store.Set(Defined, &EFI_GLOBAL_VARIABLE, 7, 1, &Byte), EFI_SUCCESS)
        << Narrow(Defined);
  }
  for (const char16_t *Undefined : {u"UPEKFLAG", u"FpHdp2HdpMapFlag", u"Boot00G1", u"Boot1"}) {
    EXPECT_EQ(Store.Set(Undefined, &EFI_GLOBAL_VARIABLE, 7, 1, &Byte), EFI_INVALID_PARAMETER)
        << Narrow(Undefined);
  }
  EXPECT_EQ(Store.Set(u"UPEKFLAG", &Vendor, 7, 1, &Byte), EFI_SUCCESS);
}

TEST(BoardImages, ADriverThatReturnsAnErrorIsUnloaded) {
  Board B;
  RunResult Result = B.RunDriver("PciBridgeProbeDxe"); // no "Setup": EFI_NOT_FOUND
  EXPECT_EQ(Result.Status, EFI_NOT_FOUND);
  EXPECT_TRUE(B.HandlesWith(EFI_LOADED_IMAGE_PROTOCOL_GUID).empty());
  EXPECT_TRUE(B.Problems.empty());
}

// As in a DXE core, the unloaded image's pages are free memory afterwards: code that calls into
// them (a function pointer the driver handed out before it failed) does not run the driver again
// but ends as a crash.
TEST(BoardImages, CodeOfAnUnloadedDriverNoLongerRuns) {
  Board B;
  std::string Error;
  EFI_HANDLE Image = B.LoadImage(Board::ImagePath("PciBridgeProbeDxe"), Error);
  ASSERT_NE(Image, nullptr) << Error;
  auto Entry = reinterpret_cast<EFI_IMAGE_ENTRY_POINT>(B.ImageRecord(Image)->Image->Entry());
  RunResult First = B.StartImage(Image); // no "Setup": EFI_NOT_FOUND, unloaded
  ASSERT_TRUE(First.Returned());
  ASSERT_EQ(First.Status, EFI_NOT_FOUND);
  ASSERT_TRUE(B.ImageRecord(Image)->Unloaded);

  RunResult Stale = B.RunGuardedCall("stale call", [&] { return Entry(Image, &B.SystemTable); });
  EXPECT_EQ(Stale.How, Outcome::Crashed);
  EXPECT_NE(Stale.Message.find("outside every image"), std::string::npos) << Stale.Message;
  EXPECT_TRUE(B.Problems.empty());
}

} // namespace
} // namespace sim::test
