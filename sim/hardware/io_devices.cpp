#include "io_devices.h"

#include <type_traits>

namespace sim {

// ---- ACPI PM block ------------------------------------------------------------------------------
bool AcpiPmBlock::Claims(Space Where, uint64_t Address) const {
  return Where == Space::Io && ((Address >= kPm1Status && Address < kPm1Status + 6) ||
                                (Address >= kGpe0Status && Address < kGpe0Status + 4));
}

uint8_t AcpiPmBlock::ByteAt(uint16_t Port) const {
  switch (Port) {
  case 0x800:
  case 0x801:
    return (uint8_t)(Pm1Status >> (8 * (Port - 0x800)));
  case 0x802:
  case 0x803:
    return (uint8_t)(Pm1Enable >> (8 * (Port - 0x802)));
  case 0x804:
  case 0x805:
    return (uint8_t)(Pm1Control >> (8 * (Port - 0x804)));
  default:
    return (uint8_t)(Gpe0Status >> (8 * (Port - 0x820)));
  }
}

void AcpiPmBlock::WriteByte(uint16_t Port, uint8_t Value) {
  auto Replace = [](auto &Register, unsigned Byte, uint8_t NewByte) {
    using T = std::remove_reference_t<decltype(Register)>;
    T Mask = (T)(0xFFu << (8 * Byte));
    Register = (T)((Register & ~Mask) | ((T)NewByte << (8 * Byte)));
  };
  switch (Port) {
  case 0x800:
  case 0x801: // write one to clear
    Pm1Status = (uint16_t)(Pm1Status & ~((uint16_t)Value << (8 * (Port - 0x800))));
    break;
  case 0x802:
  case 0x803:
    Replace(Pm1Enable, Port - 0x802, Value);
    break;
  case 0x804:
  case 0x805:
    Replace(Pm1Control, Port - 0x804, Value);
    break;
  default: // GPE0 status: write one to clear
    Gpe0Status &= ~((uint32_t)Value << (8 * (Port - 0x820)));
    break;
  }
}

uint64_t AcpiPmBlock::Read(Space, uint64_t Address, uint8_t Width) {
  uint64_t Value = 0;
  for (uint8_t Index = 0; Index < Width; Index++) {
    uint16_t Port = (uint16_t)(Address + Index);
    uint8_t Byte = Claims(Space::Io, Port) ? ByteAt(Port) : 0xFF;
    Value |= (uint64_t)Byte << (8 * Index);
  }
  return Value;
}

void AcpiPmBlock::Write(Space, uint64_t Address, uint8_t Width, uint64_t Value) {
  for (uint8_t Index = 0; Index < Width; Index++) {
    uint16_t Port = (uint16_t)(Address + Index);
    if (Claims(Space::Io, Port)) {
      WriteByte(Port, (uint8_t)(Value >> (8 * Index)));
    }
  }
}

void AcpiPmBlock::PowerOn() {
  Pm1Status = 0;
  Pm1Enable = 0;
  Pm1Control = 0;
  Gpe0Status = 0;
}

// ---- RTC ----------------------------------------------------------------------------------------
bool RtcCmos::Claims(Space Where, uint64_t Address) const {
  return Where == Space::Io && (Address == 0x70 || Address == 0x71);
}

uint64_t RtcCmos::Read(Space, uint64_t Address, uint8_t) {
  if (Address == 0x70) {
    // The FCH's index port reads back what was written last: the index and the NMI mask bit.
    return (uint8_t)(Index | (NmiMasked ? 0x80 : 0x00));
  }
  uint8_t Value = Cmos[Index];
  if (Index == kRegisterC) {
    Cmos[kRegisterC] = 0; // reading register C acknowledges the interrupt flags
    RegisterCReads++;
  }
  return Value;
}

void RtcCmos::Write(Space, uint64_t Address, uint8_t, uint64_t Value) {
  if (Address == 0x70) {
    Index = (uint8_t)(Value & 0x7F);
    NmiMasked = (Value & 0x80) != 0;
  } else if (Index != kRegisterC) {
    Cmos[Index] = (uint8_t)Value;
  }
}

void RtcCmos::PowerOn() {
  Cmos[kRegisterC] = 0;
  Index = 0;
  NmiMasked = false;
  RegisterCReads = 0;
}

// ---- Hardware monitor ---------------------------------------------------------------------------
bool HardwareMonitor::Claims(Space Where, uint64_t Address) const {
  return Where == Space::Io && (Address == kIndexPort || Address == kDataPort);
}

uint64_t HardwareMonitor::Read(Space, uint64_t Address, uint8_t) {
  return Address == kIndexPort ? Index : Registers[Index];
}

void HardwareMonitor::Write(Space, uint64_t Address, uint8_t, uint64_t Value) {
  if (Address == kIndexPort) {
    Index = (uint8_t)Value;
  } else if (Index != kTemperature) {
    Registers[Index] = (uint8_t)Value;
  }
}

void HardwareMonitor::PowerOn() {
  uint8_t Reading = Registers[kTemperature];
  uint8_t Block = Registers[kFanUpdateBlock];
  Registers.fill(0);
  Registers[kTemperature] = Reading;
  Registers[kFanUpdateBlock] = Block; // a board input, like the temperature
  Index = 0;
}

// ---- Port 0xE82 ---------------------------------------------------------------------------------
bool BoardInputPort::Claims(Space Where, uint64_t Address) const {
  return Where == Space::Io && Address == kPort;
}

uint64_t BoardInputPort::Read(Space, uint64_t, uint8_t) {
  return Value;
}

void BoardInputPort::Write(Space, uint64_t, uint8_t, uint64_t) {}

// ---- together -----------------------------------------------------------------------------------
void IoDevices::AttachTo(Bus &Hardware) {
  Hardware.Attach(&Pm);
  Hardware.Attach(&Rtc);
  Hardware.Attach(&Monitor);
  Hardware.Attach(&InputE82);
}

void IoDevices::PowerOn() {
  Pm.PowerOn();
  Rtc.PowerOn();
  Monitor.PowerOn();
}

} // namespace sim
