// The USB stack: its data area and tables as the fingerprint host reads them, the board's
// record of what the stack put there, and the switch member with its place in the timeline.
#include "board.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace sim {
namespace {

USB_STACK_PROTOCOL *Located(Board &B) {
  USB_STACK_PROTOCOL *Usb = nullptr;
  EXPECT_EQ(B.BootServices.LocateProtocol(&USB_STACK_PROTOCOL_GUID, nullptr,
                                          reinterpret_cast<VOID **>(&Usb)),
            EFI_SUCCESS);
  return Usb;
}

uint16_t Read16(const uint8_t *At) {
  return (uint16_t)(At[0] | (At[1] << 8));
}

// How the fingerprint host finds the reader: entries 1 to 38, the last match wins.
size_t ScanForReader(const uint8_t *Data, size_t &Matches) {
  size_t Found = 0;
  Matches = 0;
  for (size_t I = 1; I <= 38; I++) {
    const uint8_t *E = Data + 0x684 + 137 * I;
    if (E[1] == 6 && Read16(E + 2) == 0x0483 && Read16(E + 4) == 0x2016) {
      Found = I;
      Matches++;
    }
  }
  return Found;
}

TEST(UsbStack, DataAreaIsBelowFourGiBPatternedAndHoldsNoDeviceAtPowerOn) {
  Board B;
  USB_STACK_PROTOCOL *Usb = Located(B);
  ASSERT_NE(Usb, nullptr);
  const auto *Data = static_cast<const uint8_t *>(Usb->UsbData);
  EXPECT_EQ(Data, B.Usb.Data());
  EXPECT_LT(reinterpret_cast<uint64_t>(Data) + UsbStack::kDataSize, 1ull << 32);
  EXPECT_GE(UsbStack::kDataSize, 9359u);
  size_t NonZero = 0;
  for (size_t I = 0; I < 9359; I++) {
    NonZero += Data[I] != 0 ? 1 : 0;
  }
  EXPECT_GT(NonZero, 9000u); // a copy of it cannot be mistaken for zeros
  for (size_t I = 0; I < UsbStack::kDeviceEntries; I++) {
    EXPECT_EQ(Data[0x684 + 137 * I + 1], 0) << "entry " << I;
  }
  EXPECT_EQ(Read16(Data + 0x2113), UsbStack::kPowerOnPollSetting);
  size_t Matches;
  EXPECT_EQ(ScanForReader(Data, Matches), 0u);
}

TEST(UsbStack, PlacesReaderAndOtherDevicesAtTheirEntries) {
  Board B;
  B.Usb.PlaceReader(38, 3);
  B.Usb.PlaceReader(0);                       // entry 0 is never scanned
  B.Usb.PlaceDevice(5, 6, 0x0483, 0x2017, 1); // another product
  B.Usb.PlaceDevice(6, 3, 0x0483, 0x2016, 1); // right IDs, not type 6
  const uint8_t *E = B.Usb.Data() + 0x684 + 137 * 38;
  EXPECT_EQ(E[1], 6);
  EXPECT_EQ(Read16(E + 2), 0x0483);
  EXPECT_EQ(Read16(E + 4), 0x2016);
  EXPECT_EQ(E[7], 3);
  EXPECT_EQ(B.Usb.EntryAddress(38), reinterpret_cast<uint64_t>(E));
  EXPECT_EQ(B.Usb.ControllerRecordAddress(3), B.Usb.Address() + 0x4A1 + 2 * 69);
  // The fields the host adjusts in its copy hold other values in the live entry.
  EXPECT_NE(E[0x37], 1);
  EXPECT_NE(E[0x38], 2);
  EXPECT_NE(Read16(E + 0x51), 64);
  EXPECT_NE(Read16(E + 0x53), 64);
  size_t Matches;
  EXPECT_EQ(ScanForReader(B.Usb.Data(), Matches), 38u);
  EXPECT_EQ(Matches, 1u);

  B.Usb.PlaceReader(12);
  EXPECT_EQ(ScanForReader(B.Usb.Data(), Matches), 38u);
  EXPECT_EQ(Matches, 2u);
  B.Usb.ClearEntry(38);
  EXPECT_EQ(ScanForReader(B.Usb.Data(), Matches), 12u);
  EXPECT_TRUE(B.Usb.ForeignChanges().empty());
}

TEST(UsbStack, KnowsWhatItPutThereAndWhatSomeoneElseChanged) {
  Board B;
  B.Usb.PlaceReader(4);
  B.Usb.WriteBytes(0x10, {1, 2, 3});
  EXPECT_TRUE(B.Usb.ForeignChanges().empty());
  B.Usb.Data()[0x2113] = 0x88; // the host's 5000 is allowed
  B.Usb.Data()[0x2114] = 0x13;
  EXPECT_TRUE(B.Usb.ForeignChanges().empty());
  EXPECT_EQ(B.Usb.PollSetting(), 5000);
  B.Usb.Data()[0x684 + 137 * 4 + 0x37] = 1;
  ASSERT_EQ(B.Usb.ForeignChanges().size(), 1u);
  EXPECT_EQ(B.Usb.ForeignChanges()[0], 0x684u + 137 * 4 + 0x37);
}

TEST(UsbStack, RebootKeepsTheTablesAndResetsThePollSetting) {
  Board B;
  B.Usb.PlaceReader(9);
  B.Usb.Data()[0x2113] = 0x88;
  B.Usb.Data()[0x2114] = 0x13;
  Located(B)->Switch(TRUE);
  B.Reboot();
  USB_STACK_PROTOCOL *Usb = Located(B);
  ASSERT_NE(Usb, nullptr);
  size_t Matches;
  EXPECT_EQ(ScanForReader(static_cast<const uint8_t *>(Usb->UsbData), Matches), 9u);
  EXPECT_EQ(B.Usb.PollSetting(), UsbStack::kPowerOnPollSetting);
  EXPECT_TRUE(B.Usb.SwitchCalls().empty());
}

TEST(UsbStack, SwitchCallsAreRecordedInOrderWithTheOtherBoardEvents) {
  Board B;
  PciDevice &Display = B.Pci.AddDisplayController();
  USB_STACK_PROTOCOL *Usb = Located(B);
  // The member sits at byte offset 0x20 and takes the BOOLEAN alone.
  auto *Raw = reinterpret_cast<uint8_t *>(Usb);
  USB_STACK_SWITCH AtOffset;
  std::memcpy(&AtOffset, Raw + 0x20, sizeof(AtOffset));
  EXPECT_EQ(AtOffset(TRUE), EFI_SUCCESS);
  B.BootServices.DisconnectController(Display.Handle, nullptr, nullptr);
  B.BootServices.ConnectController(Display.Handle, nullptr, nullptr, TRUE);
  B.Usb.SwitchStatus = EFI_DEVICE_ERROR;
  EXPECT_EQ(Usb->Switch(FALSE), EFI_DEVICE_ERROR);

  ASSERT_EQ(B.Usb.SwitchCalls().size(), 2u);
  EXPECT_TRUE(B.Usb.SwitchCalls()[0].Enable);
  EXPECT_FALSE(B.Usb.SwitchCalls()[1].Enable);
  EXPECT_EQ(B.Timeline,
            (std::vector<std::string>{"usb switch TRUE", "disconnect display controller",
                                      "connect display controller recursive", "usb switch FALSE"}));
  EXPECT_EQ(B.Usb.SwitchCalls()[1].Timeline, 3u);
  EXPECT_TRUE(B.Problems.empty());
}

TEST(UsbStack, MisuseIsABoardProblem) {
  Board B;
  USB_STACK_PROTOCOL *Usb = Located(B);
  Usb->Switch(2);
  using Member = EFI_STATUS(EFIAPI *)();
  reinterpret_cast<Member>(Usb->OtherMembers[1])();
  ASSERT_EQ(B.Problems.size(), 2u);
  EXPECT_NE(B.Problems[0].find("BOOLEAN value 2"), std::string::npos);
  EXPECT_NE(B.Problems[1].find("USB stack member 2 called"), std::string::npos);
}

TEST(UsbStack, CanBeTakenOff) {
  Board B;
  B.Usb.SetPresent(false);
  VOID *Found = nullptr;
  EXPECT_EQ(B.BootServices.LocateProtocol(&USB_STACK_PROTOCOL_GUID, nullptr, &Found),
            EFI_NOT_FOUND);
  B.Reboot();
  EXPECT_TRUE(B.HandlesWith(USB_STACK_PROTOCOL_GUID).empty());
}

} // namespace
} // namespace sim
