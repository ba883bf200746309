// PCI devices behind EFI_PCI_IO_PROTOCOL: the class-code dword, the handle order a driver walks,
// failing reads, and connect/disconnect records.
#include "board.h"
#include "guids.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sim {
namespace {

EFI_PCI_IO_PROTOCOL *PciIo(Board &B, EFI_HANDLE Handle) {
  VOID *Interface = nullptr;
  EXPECT_EQ(B.BootServices.HandleProtocol(Handle, &EFI_PCI_IO_PROTOCOL_GUID, &Interface),
            EFI_SUCCESS);
  return static_cast<EFI_PCI_IO_PROTOCOL *>(Interface);
}

TEST(PciDevices, ClassRegisterOfEachHandleInTheOrderAdded) {
  Board B;
  B.Pci.AddNotebookDevices();
  EFI_HANDLE *Handles = nullptr;
  UINTN Count = 0;
  ASSERT_EQ(B.BootServices.LocateHandleBuffer(ByProtocol, &EFI_PCI_IO_PROTOCOL_GUID, nullptr,
                                              &Count, &Handles),
            EFI_SUCCESS);
  ASSERT_EQ(Count, 4u);
  std::vector<uint32_t> Classes;
  for (UINTN I = 0; I < Count; I++) {
    EFI_PCI_IO_PROTOCOL *Io = PciIo(B, Handles[I]);
    uint32_t Dword = 0;
    EXPECT_EQ(Io->Pci.Read(Io, EfiPciIoWidthUint32, 8, 1, &Dword), EFI_SUCCESS);
    Classes.push_back(Dword);
  }
  B.BootServices.FreePool(Handles);
  EXPECT_EQ(Classes, (std::vector<uint32_t>{0x06000000, 0x03000000, 0x01060140, 0x0C032000}));
  EXPECT_EQ(B.Pci.Find("display controller")->BaseClass(), PciDevices::kDisplayClass);
  EXPECT_TRUE(B.Problems.empty());
}

TEST(PciDevices, ReadsOfOtherWidthsAndOffsets) {
  Board B;
  PciDevice &Display = B.Pci.Add("display", 0x03, 0x80, 0x00, 0xC1, 0x1002, 0x9712);
  EFI_PCI_IO_PROTOCOL *Io = PciIo(B, Display.Handle);
  uint16_t Ids[2] = {};
  EXPECT_EQ(Io->Pci.Read(Io, EfiPciIoWidthUint16, 0, 2, Ids), EFI_SUCCESS);
  EXPECT_EQ(Ids[0], 0x1002);
  EXPECT_EQ(Ids[1], 0x9712);
  uint8_t Bytes[4] = {};
  EXPECT_EQ(Io->Pci.Read(Io, EfiPciIoWidthUint8, 8, 4, Bytes), EFI_SUCCESS);
  EXPECT_EQ(Bytes[0], 0xC1);
  EXPECT_EQ(Bytes[3], 0x03);
  uint32_t Dword = 0;
  EXPECT_EQ(Io->Pci.Read(Io, EfiPciIoWidthUint32, 0x100, 1, &Dword), EFI_UNSUPPORTED);
  EXPECT_EQ(Io->Pci.Read(Io, EfiPciIoWidthUint32, 6, 1, &Dword), EFI_UNSUPPORTED);
  ASSERT_EQ(Display.Reads.size(), 4u);
  EXPECT_EQ(Display.Reads[0].Width, EfiPciIoWidthUint16);
  EXPECT_EQ(Display.Reads[2].Status, EFI_UNSUPPORTED);
}

TEST(PciDevices, FailingReadsReportTheirStatus) {
  Board B;
  PciDevice &Broken = B.Pci.Add("broken", 0x02);
  Broken.ReadStatus = EFI_DEVICE_ERROR;
  EFI_PCI_IO_PROTOCOL *Io = PciIo(B, Broken.Handle);
  uint32_t Dword = 0x12345678;
  EXPECT_EQ(Io->Pci.Read(Io, EfiPciIoWidthUint32, 8, 1, &Dword), EFI_DEVICE_ERROR);
  EXPECT_EQ(Dword, 0x12345678u);
  ASSERT_EQ(Broken.Reads.size(), 1u);
  EXPECT_EQ(Broken.Reads[0].Offset, 8u);
  EXPECT_EQ(Broken.Reads[0].Status, EFI_DEVICE_ERROR);
}

TEST(PciDevices, ConnectAndDisconnectAreRecordedAndDevicesComeBackAfterAReboot) {
  Board B;
  B.Pci.AddDisplayController("VGA 1:0.0");
  B.BootServices.DisconnectController(B.Pci.Find("VGA 1:0.0")->Handle, nullptr, nullptr);
  B.BootServices.ConnectController(B.Pci.Find("VGA 1:0.0")->Handle, nullptr, nullptr, TRUE);
  EXPECT_EQ(B.ControllerCalls,
            (std::vector<std::string>{"disconnect VGA 1:0.0", "connect VGA 1:0.0 recursive"}));
  B.Reboot();
  EXPECT_TRUE(B.ControllerCalls.empty());
  ASSERT_EQ(B.HandlesWith(EFI_PCI_IO_PROTOCOL_GUID).size(), 1u);
  EXPECT_EQ(B.HandlesWith(EFI_PCI_IO_PROTOCOL_GUID)[0], B.Pci.Find("VGA 1:0.0")->Handle);
  EXPECT_EQ(B.Record(B.Pci.Find("VGA 1:0.0")->Handle)->Label, "VGA 1:0.0");
}

TEST(PciDevices, MembersOtherThanConfigurationReadAreProblems) {
  Board B;
  PciDevice &Display = B.Pci.AddDisplayController();
  EFI_PCI_IO_PROTOCOL *Io = PciIo(B, Display.Handle);
  uint32_t Value = 0;
  EXPECT_EQ(Io->Pci.Write(Io, EfiPciIoWidthUint32, 4, 1, &Value), EFI_UNSUPPORTED);
  EXPECT_EQ(Io->GetLocation(), EFI_UNSUPPORTED);
  ASSERT_EQ(B.Problems.size(), 2u);
  EXPECT_NE(B.Problems[0].find("Pci.Write"), std::string::npos);
  EXPECT_NE(B.Problems[1].find("GetLocation"), std::string::npos);
}

} // namespace
} // namespace sim
