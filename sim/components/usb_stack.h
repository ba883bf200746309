// The firmware USB stack as far as the fingerprint authentication sees it: USB_STACK_PROTOCOL
// with its data area (controller table, device table, the field at 0x2113) and the BOOLEAN
// switch member at byte offset 0x20.
//
// The data area lies in below-4-GiB memory and is filled with a recognisable pattern, so that a
// copy of it can be told from zeros; every device-table entry starts empty (device type 0).
// Configure it through the helpers: they keep the board's own record of what the stack put
// there, against which the module model checks that nobody else wrote into the live area.
#pragma once

#include "fingerprint_module_interface.h"
#include "fingerprint_services.h"
#include "optional_protocol.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

class BootServices;

struct UsbSwitchCall {
  bool Enable = false;
  size_t Timeline = 0; // index of the call in the board's timeline
};

class UsbStack {
public:
  // The data area: larger than the 9359 bytes the fingerprint host copies.
  static constexpr size_t kDataSize = 0x2800;
  static constexpr size_t kDeviceEntries =
      (usb_data_area::PollSetting - usb_data_area::DeviceTable) /
      usb_data_area::DeviceEntrySize; // entries before 0x2113
  static constexpr size_t kControllerRecords =
      (usb_data_area::DeviceTable - usb_data_area::ControllerTable) /
      usb_data_area::ControllerRecordSize;
  static constexpr uint16_t kPowerOnPollSetting = 1000;

  explicit UsbStack(BootServices &Owner);
  ~UsbStack();
  UsbStack(const UsbStack &) = delete;
  UsbStack &operator=(const UsbStack &) = delete;

  // Publishes the protocol on a new handle (power-on and every reboot) unless it was taken off;
  // the field at 0x2113 returns to its power-on value and the switch calls are forgotten. The
  // device and controller tables stay as configured. Does nothing while the protocol is still
  // on the board in this boot.
  void Install();
  void SetPresent(bool Present) { Published.SetPresent(Present); }
  bool Present() const { return Published.Present(); }
  USB_STACK_PROTOCOL *Protocol() { return &Interface; }

  // ---- the data area ----
  uint8_t *Data() { return Area; }
  const uint8_t *Data() const { return Area; }
  uint64_t Address() const { return reinterpret_cast<uint64_t>(Area); }
  // Device-table entry Index (0-based, as the table counts) and controller record Number
  // (1-based, as a device entry names it).
  uint8_t *Entry(size_t Index);
  uint8_t *ControllerRecord(size_t Number);
  uint64_t EntryAddress(size_t Index) const;
  uint64_t ControllerRecordAddress(size_t Number) const;

  // ---- configuration ----
  // The fingerprint reader (type 6, 0x0483:0x2016) at an entry, on controller Number.
  void PlaceReader(size_t Index, uint8_t Controller = 1);
  void PlaceDevice(size_t Index, uint8_t Type, uint16_t Vendor, uint16_t Product,
                   uint8_t Controller = 1);
  void ClearEntry(size_t Index); // device type 0, the rest of the entry as at power-on
  // Any bytes of the area (the board's record follows).
  void WriteBytes(size_t Offset, const std::vector<uint8_t> &Bytes);
  // What the stack itself put into the area (pattern and helpers), and the offsets where the
  // live area differs from it now (the field at 0x2113 excepted).
  const std::vector<uint8_t> &Reference() const { return Expected; }
  std::vector<size_t> ForeignChanges() const;
  uint16_t PollSetting() const;

  // ---- the switch member ----
  const std::vector<UsbSwitchCall> &SwitchCalls() const { return Switches; }
  EFI_STATUS SwitchStatus = EFI_SUCCESS; // what the member returns
  EFI_STATUS Switch(BOOLEAN Enable);

private:
  void Put(size_t Offset, uint8_t Value);

  BootServices &Owner;
  uint8_t *Area = nullptr;
  std::vector<uint8_t> Expected;
  USB_STACK_PROTOCOL Interface{};
  OptionalProtocol Published{Owner, "USB stack", USB_STACK_PROTOCOL_GUID, &Interface};
  std::vector<UsbSwitchCall> Switches;
};

} // namespace sim
