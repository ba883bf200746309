#include "pci_devices.h"

#include "boot_services.h"
#include "guids.h"
#include "service_calls.h"

#include <cstring>

namespace sim {
namespace {

// The board's one PciDevices, for the members of the interface it publishes.
PciDevices *Active = nullptr;

EFI_STATUS EFIAPI ConfigReadMember(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                   UINT32 Offset, UINTN Count, VOID *Buffer) {
  return Active->ConfigRead(This, Width, Offset, Count, Buffer);
}

// What --calls shows of a configuration read: the device, width, offset and count, and the
// values read.
void DescribeConfigRead(ServiceCall &Call, EFI_PCI_IO_PROTOCOL *This,
                        EFI_PCI_IO_PROTOCOL_WIDTH Width, UINT32 Offset, UINTN Count, VOID *Buffer) {
  static const char *const Widths[] = {"Uint8", "Uint16", "Uint32", "Uint64"};
  if (!Call.Returned) {
    Call.Service = "PciIo->Pci.Read";
    const PciDevice *Device = Active->DeviceOf(This);
    Call.Arguments = {Device == nullptr ? "a foreign This pointer" : "device " + Device->Label,
                      Width < 4 ? Widths[Width] : "width " + std::to_string(Width),
                      "offset " + HexNumber(Offset), "count " + std::to_string(Count)};
    return;
  }
  if (Call.Value != EFI_SUCCESS || Buffer == nullptr || Width > 3) {
    return;
  }
  size_t Bytes = size_t{1} << Width;
  std::string Values = Count == 1 ? "value" : "values";
  for (UINTN Index = 0; Index < Count && Index < 16; Index++) {
    uint64_t Value = 0;
    std::memcpy(&Value, static_cast<const uint8_t *>(Buffer) + Index * Bytes, Bytes);
    Values += " " + HexNumber(Value);
  }
  Call.Results.push_back(Count > 16 ? Values + " ..." : Values);
}

// Everything but configuration reads: the drivers of this board do not use it.
template <int Member> EFI_STATUS EFIAPI UnusedMember() {
  static const char *const Names[] = {
      "PollMem",          "PollIo",          "Mem.Read", "Mem.Write",   "Io.Read",
      "Io.Write",         "Pci.Write",       "CopyMem",  "Map",         "Unmap",
      "AllocateBuffer",   "FreeBuffer",      "Flush",    "GetLocation", "Attributes",
      "GetBarAttributes", "SetBarAttributes"};
  BootServices::Current().Problem(
      std::string("PCI I/O ") + Names[Member] +
      " called: the board's PCI devices serve configuration reads only");
  return EFI_UNSUPPORTED;
}

template <typename T, int Member> T Unused() {
  return reinterpret_cast<T>(reinterpret_cast<void (*)()>(UnusedMember<Member>));
}

} // namespace

uint32_t PciDevice::ClassRegister() const {
  uint32_t Value;
  std::memcpy(&Value, &Config[0x08], sizeof(Value));
  return Value;
}

PciDevices::PciDevices(BootServices &Owner) : Owner(Owner) {
  Active = this;
}

void PciDevices::Install() {
  Installed = true;
  for (auto &Device : List) {
    if (Device->Handle != nullptr &&
        Owner.Protocol(Device->Handle, EFI_PCI_IO_PROTOCOL_GUID) == &Device->Protocol) {
      continue; // already on the board in this boot
    }
    Device->Reads.clear();
    Publish(*Device);
  }
}

void PciDevices::Publish(PciDevice &Device) {
  Device.Handle = Owner.NewHandle(Device.Label);
  Owner.Install(&Device.Handle, EFI_PCI_IO_PROTOCOL_GUID, &Device.Protocol);
}

PciDevice &PciDevices::Add(const std::string &Label, uint8_t BaseClass, uint8_t SubClass,
                           uint8_t Interface, uint8_t Revision, uint16_t Vendor, uint16_t Device) {
  auto New = std::make_unique<PciDevice>();
  EFI_PCI_IO_PROTOCOL &P = New->Protocol;
  using Io = EFI_PCI_IO_PROTOCOL_IO_MEM;
  P.PollMem = UnusedMember<0>;
  P.PollIo = UnusedMember<1>;
  P.Mem.Read = Unused<Io, 2>();
  P.Mem.Write = Unused<Io, 3>();
  P.Io.Read = Unused<Io, 4>();
  P.Io.Write = Unused<Io, 5>();
  P.Pci.Read = OffImageStack<Recorded<ConfigReadMember, DescribeConfigRead>>;
  P.Pci.Write = Unused<EFI_PCI_IO_PROTOCOL_CONFIG, 6>();
  P.CopyMem = UnusedMember<7>;
  P.Map = UnusedMember<8>;
  P.Unmap = UnusedMember<9>;
  P.AllocateBuffer = UnusedMember<10>;
  P.FreeBuffer = UnusedMember<11>;
  P.Flush = UnusedMember<12>;
  P.GetLocation = UnusedMember<13>;
  P.Attributes = UnusedMember<14>;
  P.GetBarAttributes = UnusedMember<15>;
  P.SetBarAttributes = UnusedMember<16>;
  New->Label = Label;
  New->Config[0x00] = (uint8_t)Vendor;
  New->Config[0x01] = (uint8_t)(Vendor >> 8);
  New->Config[0x02] = (uint8_t)Device;
  New->Config[0x03] = (uint8_t)(Device >> 8);
  New->Config[0x08] = Revision;
  New->Config[0x09] = Interface;
  New->Config[0x0A] = SubClass;
  New->Config[0x0B] = BaseClass;
  List.push_back(std::move(New));
  PciDevice &Added = *List.back();
  if (Installed) {
    Publish(Added);
  }
  return Added;
}

PciDevice &PciDevices::AddDisplayController(const std::string &Label) {
  return Add(Label, kDisplayClass, 0x00, 0x00, 0x00, 0x1002, 0x9712);
}

void PciDevices::AddNotebookDevices() {
  Add("host bridge", 0x06, 0x00, 0x00, 0x00, 0x1022, 0x9600);
  AddDisplayController();
  Add("SATA controller", 0x01, 0x06, 0x01, 0x40, 0x1002, 0x4391);
  Add("USB controller", 0x0C, 0x03, 0x20, 0x00, 0x1002, 0x4396);
}

PciDevice *PciDevices::Find(const std::string &Label) {
  for (auto &Device : List) {
    if (Device->Label == Label) {
      return Device.get();
    }
  }
  return nullptr;
}

const PciDevice *PciDevices::DeviceOf(const EFI_PCI_IO_PROTOCOL *This) const {
  for (const auto &Candidate : List) {
    if (&Candidate->Protocol == This) {
      return Candidate.get();
    }
  }
  return nullptr;
}

EFI_STATUS PciDevices::ConfigRead(EFI_PCI_IO_PROTOCOL *This, EFI_PCI_IO_PROTOCOL_WIDTH Width,
                                  UINT32 Offset, UINTN Count, VOID *Buffer) {
  PciDevice *Device = nullptr;
  for (auto &Candidate : List) {
    if (&Candidate->Protocol == This) {
      Device = Candidate.get();
    }
  }
  if (Device == nullptr) {
    Owner.Problem("PCI I/O Pci.Read called with a foreign This pointer");
    return EFI_INVALID_PARAMETER;
  }
  PciConfigRead Read{Width, Offset, Count, EFI_SUCCESS};
  auto Done = [&](EFI_STATUS Status) {
    Read.Status = Status;
    Device->Reads.push_back(Read);
    return Status;
  };
  if (Width > EfiPciIoWidthUint64 || Buffer == nullptr) {
    return Done(EFI_INVALID_PARAMETER);
  }
  const size_t Bytes = Count * (size_t{1} << Width);
  if (Offset % (1u << Width) != 0 || Offset > Device->Config.size() ||
      Bytes > Device->Config.size() - Offset) {
    return Done(EFI_UNSUPPORTED);
  }
  if (Device->ReadStatus != EFI_SUCCESS) {
    return Done(Device->ReadStatus);
  }
  std::memcpy(Buffer, Device->Config.data() + Offset, Bytes);
  return Done(EFI_SUCCESS);
}

PciDevices::~PciDevices() {
  Active = nullptr;
}

} // namespace sim
