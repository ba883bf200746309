#include "usb_stack.h"

#include "boot_services.h"
#include "physical_memory.h"
#include "service_calls.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {
namespace {

namespace UsbArea = usb_data_area;

// The board's one UsbStack, for the members of the interface it publishes.
UsbStack *Active = nullptr;

EFI_STATUS EFIAPI SwitchMember(BOOLEAN Enable) {
  return Active->Switch(Enable);
}

void DescribeSwitch(ServiceCall &Call, BOOLEAN Enable) {
  Call.Service = "UsbStack->Switch";
  Call.Arguments = {Enable ? "TRUE" : "FALSE"};
}

// The stack's own services: nothing of the fingerprint authentication calls them.
template <int Member> EFI_STATUS EFIAPI OtherMember() {
  BootServices::Current().Problem("USB stack member " + std::to_string(Member + 1) +
                                  " called: only the data pointer and the switch member are used");
  return EFI_UNSUPPORTED;
}

[[noreturn]] void BadConfiguration(const std::string &What) {
  std::fprintf(stderr, "USB stack configuration: %s\n", What.c_str());
  std::abort();
}

} // namespace

UsbStack::UsbStack(BootServices &Owner) : Owner(Owner) {
  Active = this;
  Interface.OtherMembers[0] =
      reinterpret_cast<VOID *>(reinterpret_cast<void (*)()>(OtherMember<0>));
  Interface.OtherMembers[1] =
      reinterpret_cast<VOID *>(reinterpret_cast<void (*)()>(OtherMember<1>));
  Interface.OtherMembers[2] =
      reinterpret_cast<VOID *>(reinterpret_cast<void (*)()>(OtherMember<2>));
  Interface.Switch = OffImageStack<Recorded<SwitchMember, DescribeSwitch>>;
}

void UsbStack::Install() {
  if (Published.Installed()) {
    return; // already on the board in this boot
  }
  if (Area == nullptr) {
    Area = ArenaAllocate(kDataSize, 16);
    if (Area == nullptr) {
      BadConfiguration("no memory below 4 GiB for the data area");
    }
    Expected.resize(kDataSize);
    for (size_t I = 0; I < kDataSize; I++) {
      Expected[I] = (uint8_t)((I * 31 + 7) ^ (I >> 8));
    }
    for (size_t Index = 0; Index < kDeviceEntries; Index++) {
      Expected[UsbArea::DeviceTable + UsbArea::DeviceEntrySize * Index + UsbArea::EntryDeviceType] =
          0;
    }
    std::memcpy(Area, Expected.data(), kDataSize);
  }
  Put(UsbArea::PollSetting, (uint8_t)kPowerOnPollSetting);
  Put(UsbArea::PollSetting + 1, (uint8_t)(kPowerOnPollSetting >> 8));
  Interface.UsbData = Area;
  Switches.clear();
  Published.Publish();
}

void UsbStack::Put(size_t Offset, uint8_t Value) {
  Area[Offset] = Value;
  Expected[Offset] = Value;
}

uint8_t *UsbStack::Entry(size_t Index) {
  if (Index >= kDeviceEntries) {
    BadConfiguration("device entry " + std::to_string(Index) + " is outside the table");
  }
  return Area + UsbArea::DeviceTable + UsbArea::DeviceEntrySize * Index;
}

uint8_t *UsbStack::ControllerRecord(size_t Number) {
  if (Number == 0 || Number > kControllerRecords) {
    BadConfiguration("controller record " + std::to_string(Number) + " does not exist");
  }
  return Area + UsbArea::ControllerTable + UsbArea::ControllerRecordSize * (Number - 1);
}

uint64_t UsbStack::EntryAddress(size_t Index) const {
  return Address() + UsbArea::DeviceTable + UsbArea::DeviceEntrySize * Index;
}

uint64_t UsbStack::ControllerRecordAddress(size_t Number) const {
  return Address() + UsbArea::ControllerTable + UsbArea::ControllerRecordSize * (Number - 1);
}

void UsbStack::PlaceDevice(size_t Index, uint8_t Type, uint16_t Vendor, uint16_t Product,
                           uint8_t Controller) {
  size_t Base = (size_t)(Entry(Index) - Area);
  Put(Base + UsbArea::EntryDeviceType, Type);
  Put(Base + UsbArea::EntryVendorId, (uint8_t)Vendor);
  Put(Base + UsbArea::EntryVendorId + 1, (uint8_t)(Vendor >> 8));
  Put(Base + UsbArea::EntryProductId, (uint8_t)Product);
  Put(Base + UsbArea::EntryProductId + 1, (uint8_t)(Product >> 8));
  Put(Base + UsbArea::EntryController, Controller);
  // The stack's own values of the fields the fingerprint host adjusts in its copy: none of
  // them equals the adjusted value, so a copy that was not adjusted shows.
  Put(Base + UsbArea::EntryAdjust37, 0);
  Put(Base + UsbArea::EntryAdjust38, 0);
  Put(Base + UsbArea::EntryAdjust51, 8);
  Put(Base + UsbArea::EntryAdjust51 + 1, 0);
  Put(Base + UsbArea::EntryAdjust53, 8);
  Put(Base + UsbArea::EntryAdjust53 + 1, 0);
}

void UsbStack::PlaceReader(size_t Index, uint8_t Controller) {
  PlaceDevice(Index, UsbArea::ReaderDeviceType, UsbArea::ReaderVendorId, UsbArea::ReaderProductId,
              Controller);
}

void UsbStack::ClearEntry(size_t Index) {
  size_t Base = (size_t)(Entry(Index) - Area);
  for (size_t I = 0; I < UsbArea::DeviceEntrySize; I++) {
    size_t Offset = Base + I;
    Put(Offset, (uint8_t)((Offset * 31 + 7) ^ (Offset >> 8)));
  }
  Put(Base + UsbArea::EntryDeviceType, 0);
}

void UsbStack::WriteBytes(size_t Offset, const std::vector<uint8_t> &Bytes) {
  if (Offset + Bytes.size() > kDataSize) {
    BadConfiguration("bytes beyond the data area");
  }
  for (size_t I = 0; I < Bytes.size(); I++) {
    Put(Offset + I, Bytes[I]);
  }
}

std::vector<size_t> UsbStack::ForeignChanges() const {
  std::vector<size_t> Changed;
  for (size_t I = 0; I < kDataSize; I++) {
    if (I == UsbArea::PollSetting || I == UsbArea::PollSetting + 1) {
      continue;
    }
    if (Area[I] != Expected[I]) {
      Changed.push_back(I);
    }
  }
  return Changed;
}

uint16_t UsbStack::PollSetting() const {
  return (uint16_t)(Area[UsbArea::PollSetting] | (Area[UsbArea::PollSetting + 1] << 8));
}

EFI_STATUS UsbStack::Switch(BOOLEAN Enable) {
  if (Enable != TRUE && Enable != FALSE) {
    Owner.Problem("USB stack switch called with BOOLEAN value " + std::to_string(Enable));
  }
  UsbSwitchCall Call;
  Call.Enable = Enable != FALSE;
  Call.Timeline = Owner.Note(Enable ? "usb switch TRUE" : "usb switch FALSE");
  Switches.push_back(Call);
  return SwitchStatus;
}

UsbStack::~UsbStack() {
  Active = nullptr;
}

} // namespace sim
