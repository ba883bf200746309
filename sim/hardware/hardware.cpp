#include "hardware.h"

#include <cstdio>
#include <stdexcept>

namespace sim {

std::string Describe(const HardwareAccess &Access) {
  char Text[96];
  const char *Kind = Access.Where == Space::Io ? "io  " : "mmio";
  std::snprintf(Text, sizeof Text, "%s %s%-2u 0x%08llx %s 0x%0*llx", Kind,
                Access.IsWrite ? "W" : "R", Access.Width * 8u, (unsigned long long)Access.Address,
                Access.IsWrite ? "<-" : "->", Access.Width * 2, (unsigned long long)Access.Value);
  return Text;
}

HardwareAccess MmioR(uint8_t Width, uint64_t Address, uint64_t Value) {
  return {Space::Mmio, false, Width, Address, Value};
}
HardwareAccess MmioW(uint8_t Width, uint64_t Address, uint64_t Value) {
  return {Space::Mmio, true, Width, Address, Value};
}
HardwareAccess IoR(uint8_t Width, uint64_t Address, uint64_t Value) {
  return {Space::Io, false, Width, Address, Value};
}
HardwareAccess IoW(uint8_t Width, uint64_t Address, uint64_t Value) {
  return {Space::Io, true, Width, Address, Value};
}

// ---- RegisterFile ----------------------------------------------------------------------------
uint64_t RegisterFile::Get(size_t Offset, uint8_t Width) const {
  uint64_t Value = 0;
  for (uint8_t Index = 0; Index < Width; Index++) {
    Value |= (uint64_t)Bytes.at(Offset + Index) << (8 * Index);
  }
  return Value;
}

void RegisterFile::Set(size_t Offset, uint8_t Width, uint64_t Value) {
  for (uint8_t Index = 0; Index < Width; Index++) {
    Bytes.at(Offset + Index) = (uint8_t)(Value >> (8 * Index));
  }
}

// ---- FCH ACPI MMIO block ---------------------------------------------------------------------
FchAcpiMmio::FchAcpiMmio() : Registers(0x1000) {}

bool FchAcpiMmio::Claims(Space Where, uint64_t Address) const {
  return Where == Space::Mmio && Address >= kBase && Address - kBase < Registers.Size();
}

uint64_t FchAcpiMmio::Read(Space, uint64_t Address, uint8_t Width) {
  return Registers.Get(Address - kBase, Width);
}

void FchAcpiMmio::Write(Space, uint64_t Address, uint8_t Width, uint64_t Value) {
  for (uint8_t Index = 0; Index < Width; Index++) {
    uint64_t Offset = Address - kBase + Index;
    uint8_t Byte = (uint8_t)(Value >> (8 * Index));
    if (Offset == 0x200 + kSmiTimerStatus) {
      // Bits 7:6 are status: a one clears, a zero keeps; the other bits take the value.
      uint8_t Old = Registers[Offset];
      Byte = (uint8_t)(((Old & 0xC0) & ~(Byte & 0xC0)) | (Byte & 0x3F));
    }
    Registers[Offset] = Byte;
  }
}

bool FchAcpiMmio::TickSmiTimer() {
  if (!SmiTimerEnabled()) {
    return false;
  }
  Registers[0x200 + kSmiTimerStatus] |= 0x80;
  return true;
}

void FchAcpiMmio::PowerOnSmiRegisters() {
  for (size_t Offset = 0x200; Offset < 0x300; Offset++) {
    Registers[Offset] = 0;
  }
}

void FchAcpiMmio::SetStrap(uint64_t Address, bool Active) {
  uint8_t &Byte = Registers[Address - kBase];
  Byte = Active ? (Byte | 0x80) : (Byte & 0x7F);
}

// ---- PCI Express configuration space ---------------------------------------------------------
PcieConfigSpace::PcieConfigSpace() = default;

bool PcieConfigSpace::Claims(Space Where, uint64_t Address) const {
  return Where == Space::Mmio && Address >= kBase && Address - kBase < kSize;
}

namespace {
PcieConfigSpace::Location Decode(uint64_t Address, uint32_t &Register) {
  uint64_t Offset = Address - PcieConfigSpace::kBase;
  Register = Offset & 0xFFF;
  return {(uint8_t)(Offset >> 20), (uint8_t)((Offset >> 15) & 0x1F), (uint8_t)((Offset >> 12) & 7)};
}

RegisterFile MakeHeader(uint16_t VendorId, uint16_t DeviceId, bool Bridge) {
  RegisterFile Config(4096);
  Config.Set(0x00, 2, VendorId);
  Config.Set(0x02, 2, DeviceId);
  Config[0x0E] = Bridge ? 0x01 : 0x00;
  if (Bridge) {
    Config[0x0B] = 0x06; // bridge device
    Config[0x0A] = 0x04; // PCI-to-PCI
  }
  return Config;
}
} // namespace

RegisterFile &PcieConfigSpace::AddRootFunction(Location At, uint16_t VendorId, uint16_t DeviceId,
                                               bool Bridge) {
  auto [It, Inserted] = Root.insert_or_assign(At, MakeHeader(VendorId, DeviceId, Bridge));
  (void)Inserted;
  return It->second;
}

RegisterFile &PcieConfigSpace::AttachBehind(Location BridgeAt, uint8_t Device, uint8_t Function,
                                            uint16_t VendorId, uint16_t DeviceId) {
  DetachBehind(BridgeAt);
  Behind.push_back({BridgeAt, Device, Function, MakeHeader(VendorId, DeviceId, false)});
  return Behind.back().Config;
}

void PcieConfigSpace::DetachBehind(Location BridgeAt) {
  std::erase_if(Behind, [&](const Downstream &D) { return D.Bridge == BridgeAt; });
}

RegisterFile *PcieConfigSpace::Function(Location At) {
  auto It = Root.find(At);
  return It == Root.end() ? nullptr : &It->second;
}

RegisterFile *PcieConfigSpace::Resolve(Location At) {
  if (At.Bus == 0) {
    return Function(At);
  }
  for (Downstream &D : Behind) {
    RegisterFile *Bridge = Function(D.Bridge);
    if (Bridge == nullptr) {
      continue;
    }
    uint8_t Secondary = (*Bridge)[0x19];
    uint8_t Subordinate = (*Bridge)[0x1A];
    if (Secondary != 0 && At.Bus == Secondary && Secondary <= Subordinate &&
        At.Device == D.Device && At.Function == D.Function) {
      return &D.Config;
    }
  }
  return nullptr;
}

uint64_t PcieConfigSpace::Read(Space, uint64_t Address, uint8_t Width) {
  uint32_t Register;
  RegisterFile *Config = Resolve(Decode(Address, Register));
  if (Config == nullptr) {
    return Width == 4 ? 0xFFFFFFFFull : ((1ull << (8 * Width)) - 1);
  }
  return Config->Get(Register, Width);
}

void PcieConfigSpace::Write(Space, uint64_t Address, uint8_t Width, uint64_t Value) {
  uint32_t Register;
  Location At = Decode(Address, Register);
  RegisterFile *Config = Resolve(At);
  if (Config != nullptr && Register >= 4) { // identity registers are read-only
    Config->Set(Register, Width, Value);
    auto Mask = BusNumberMasks.find(At);
    if (Mask != BusNumberMasks.end()) {
      for (uint32_t BusRegister : {0x19u, 0x1Au}) {
        if (BusRegister >= Register && BusRegister < Register + Width) {
          (*Config)[BusRegister] &= Mask->second;
        }
      }
    }
  }
}

// ---- TPM -------------------------------------------------------------------------------------
bool TpmIdentity::Claims(Space Where, uint64_t Address) const {
  return Where == Space::Mmio && Address >= kBase && Address - kBase < 0x5000;
}

uint64_t TpmIdentity::Read(Space, uint64_t Address, uint8_t Width) {
  uint64_t Value = 0;
  for (uint8_t Index = 0; Index < Width; Index++) {
    uint64_t Offset = Address + Index - (kBase + 0xF00);
    uint8_t Byte = Offset < 4 ? Identity[Offset] : 0xFF;
    Value |= (uint64_t)Byte << (8 * Index);
  }
  return Value;
}

void TpmIdentity::Write(Space, uint64_t, uint8_t, uint64_t) {}

// ---- Bus -------------------------------------------------------------------------------------
Device *Bus::Owner(Space Where, uint64_t Address) const {
  for (Device *Model : Devices) {
    if (Model->Claims(Where, Address)) {
      return Model;
    }
  }
  return nullptr;
}

bool Bus::RequiresAccumulatorForm(Space Where, uint64_t Address) const {
  Device *Model = Owner(Where, Address);
  return Model != nullptr && Model->TakesAccumulatorFormOnly();
}

void Bus::Refuse(const std::string &Why) {
  if (OnProblem) {
    OnProblem(Why);
  }
}

uint64_t Bus::Read(Space Where, uint64_t Address, uint8_t Width) {
  Device *Model = Owner(Where, Address);
  uint64_t Value = Model != nullptr ? Model->Read(Where, Address, Width)
                                    : (Width == 4 ? 0xFFFFFFFFull : (1ull << (8 * Width)) - 1);
  Accesses.push_back({Where, false, Width, Address, Value});
  if (Model == nullptr) {
    Strays.push_back(Accesses.back());
  }
  return Value;
}

void Bus::Write(Space Where, uint64_t Address, uint8_t Width, uint64_t Value) {
  Device *Model = Owner(Where, Address);
  Accesses.push_back({Where, true, Width, Address, Value});
  if (Model == nullptr) {
    Strays.push_back(Accesses.back());
    return;
  }
  Model->Write(Where, Address, Width, Value);
}

} // namespace sim
