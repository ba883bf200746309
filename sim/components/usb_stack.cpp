#include "usb_stack.h"

#include "boot_services.h"
#include "physical_memory.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {
namespace {

// The board's one UsbStack, for the members of the interface it publishes.
UsbStack *Active = nullptr;

EFI_STATUS EFIAPI SwitchMember(BOOLEAN Enable) {
  return Active->Switch(Enable);
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
  Interface.Switch = OffImageStack<SwitchMember>;
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
      Expected[USB_DEVICE_TABLE + USB_DEVICE_ENTRY_SIZE * Index + USB_ENTRY_DEVICE_TYPE] = 0;
    }
    std::memcpy(Area, Expected.data(), kDataSize);
  }
  Put(USB_POLL_SETTING, (uint8_t)kPowerOnPollSetting);
  Put(USB_POLL_SETTING + 1, (uint8_t)(kPowerOnPollSetting >> 8));
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
  return Area + USB_DEVICE_TABLE + USB_DEVICE_ENTRY_SIZE * Index;
}

uint8_t *UsbStack::ControllerRecord(size_t Number) {
  if (Number == 0 || Number > kControllerRecords) {
    BadConfiguration("controller record " + std::to_string(Number) + " does not exist");
  }
  return Area + USB_CONTROLLER_TABLE + USB_CONTROLLER_RECORD_SIZE * (Number - 1);
}

uint64_t UsbStack::EntryAddress(size_t Index) const {
  return Address() + USB_DEVICE_TABLE + USB_DEVICE_ENTRY_SIZE * Index;
}

uint64_t UsbStack::ControllerRecordAddress(size_t Number) const {
  return Address() + USB_CONTROLLER_TABLE + USB_CONTROLLER_RECORD_SIZE * (Number - 1);
}

void UsbStack::PlaceDevice(size_t Index, uint8_t Type, uint16_t Vendor, uint16_t Product,
                           uint8_t Controller) {
  size_t Base = (size_t)(Entry(Index) - Area);
  Put(Base + USB_ENTRY_DEVICE_TYPE, Type);
  Put(Base + USB_ENTRY_VENDOR_ID, (uint8_t)Vendor);
  Put(Base + USB_ENTRY_VENDOR_ID + 1, (uint8_t)(Vendor >> 8));
  Put(Base + USB_ENTRY_PRODUCT_ID, (uint8_t)Product);
  Put(Base + USB_ENTRY_PRODUCT_ID + 1, (uint8_t)(Product >> 8));
  Put(Base + USB_ENTRY_CONTROLLER, Controller);
  // The stack's own values of the fields the fingerprint host adjusts in its copy: none of
  // them equals the adjusted value, so a copy that was not adjusted shows.
  Put(Base + USB_ENTRY_ADJUST_37, 0);
  Put(Base + USB_ENTRY_ADJUST_38, 0);
  Put(Base + USB_ENTRY_ADJUST_51, 8);
  Put(Base + USB_ENTRY_ADJUST_51 + 1, 0);
  Put(Base + USB_ENTRY_ADJUST_53, 8);
  Put(Base + USB_ENTRY_ADJUST_53 + 1, 0);
}

void UsbStack::PlaceReader(size_t Index, uint8_t Controller) {
  PlaceDevice(Index, FP_READER_DEVICE_TYPE, FP_READER_VENDOR_ID, FP_READER_PRODUCT_ID, Controller);
}

void UsbStack::ClearEntry(size_t Index) {
  size_t Base = (size_t)(Entry(Index) - Area);
  for (size_t I = 0; I < USB_DEVICE_ENTRY_SIZE; I++) {
    size_t Offset = Base + I;
    Put(Offset, (uint8_t)((Offset * 31 + 7) ^ (Offset >> 8)));
  }
  Put(Base + USB_ENTRY_DEVICE_TYPE, 0);
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
    if (I == USB_POLL_SETTING || I == USB_POLL_SETTING + 1) {
      continue;
    }
    if (Area[I] != Expected[I]) {
      Changed.push_back(I);
    }
  }
  return Changed;
}

uint16_t UsbStack::PollSetting() const {
  return (uint16_t)(Area[USB_POLL_SETTING] | (Area[USB_POLL_SETTING + 1] << 8));
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
