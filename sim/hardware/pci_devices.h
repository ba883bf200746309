// PCI devices as the drivers meet them through EFI_PCI_IO_PROTOCOL: one handle per device,
// each with a 256-byte configuration header (vendor and device ID, the revision and class-code
// dword at offset 8). Connect and disconnect calls on the handles are recorded by the board.
#pragma once

#include "pci_io.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim {

class BootServices;

struct PciConfigRead {
  EFI_PCI_IO_PROTOCOL_WIDTH Width = EfiPciIoWidthUint8;
  uint32_t Offset = 0;
  UINTN Count = 0;
  EFI_STATUS Status = EFI_SUCCESS;
};

struct PciDevice {
  EFI_PCI_IO_PROTOCOL Protocol{}; // first member: the interface pointer finds the device
  std::string Label;              // the handle's label ("connect <Label> recursive")
  std::array<uint8_t, 256> Config{};
  EFI_STATUS ReadStatus = EFI_SUCCESS; // every Pci.Read fails with this when not EFI_SUCCESS
  EFI_HANDLE Handle = nullptr;
  std::vector<PciConfigRead> Reads;

  uint32_t ClassRegister() const; // the dword at offset 8
  uint8_t BaseClass() const { return Config[0x0B]; }
};

class PciDevices {
public:
  static constexpr uint8_t kDisplayClass = 0x03;

  explicit PciDevices(BootServices &Owner);
  ~PciDevices();
  PciDevices(const PciDevices &) = delete;
  PciDevices &operator=(const PciDevices &) = delete;

  // Puts every device on a new handle, in the order they were added (power-on and every
  // reboot); forgets the reads of the previous boot. Devices already on the board in this boot
  // are left as they are (Add publishes a device at once).
  void Install();

  // A device with this class code (base, sub, programming interface) and revision.
  PciDevice &Add(const std::string &Label, uint8_t BaseClass, uint8_t SubClass = 0,
                 uint8_t Interface = 0, uint8_t Revision = 0, uint16_t Vendor = 0x1002,
                 uint16_t Device = 0x9712);
  PciDevice &AddDisplayController(const std::string &Label = "display controller");
  // A notebook's set: host bridge, display controller, SATA controller, USB controller.
  void AddNotebookDevices();

  std::vector<std::unique_ptr<PciDevice>> &Devices() { return List; }
  PciDevice *Find(const std::string &Label);
  // The device whose interface This is, or null.
  const PciDevice *DeviceOf(const EFI_PCI_IO_PROTOCOL *This) const;

  EFI_STATUS ConfigRead(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width, UINT32 Offset,
                        UINTN Count, VOID *Buffer);

private:
  void Publish(PciDevice &Device);

  BootServices &Owner;
  std::vector<std::unique_ptr<PciDevice>> List;
  bool Installed = false;
};

} // namespace sim
