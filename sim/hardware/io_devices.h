// The board's legacy I/O devices that the SMM drivers touch: the ACPI power-management block
// (PM1 status/enable/control and GPE0 status), the RTC index/data ports, the hardware monitor
// behind its index/data ports, and the board input port 0xE82.
#pragma once

#include "hardware.h"

#include <array>
#include <cstdint>

namespace sim {

// ACPI PM1 status (0x800, write-one-to-clear), PM1 enable (0x802), PM1 control (0x804, bit 0 is
// SCI_EN) and GPE0 status (0x820, 32 bits, write-one-to-clear). Accesses of any width cover
// consecutive byte registers.
class AcpiPmBlock : public Device {
public:
  static constexpr uint16_t kPm1Status = 0x800;
  static constexpr uint16_t kPm1Enable = 0x802;
  static constexpr uint16_t kPm1Control = 0x804;
  static constexpr uint16_t kGpe0Status = 0x820;
  static constexpr uint16_t kRtcBit = 1u << 10; // RTC_STS / RTC_EN
  static constexpr uint16_t kSciEnable = 1u << 0;

  bool Claims(Space Where, uint64_t Address) const override;
  uint64_t Read(Space Where, uint64_t Address, uint8_t Width) override;
  void Write(Space Where, uint64_t Address, uint8_t Width, uint64_t Value) override;
  void PowerOn();

  uint16_t Pm1Status = 0;
  uint16_t Pm1Enable = 0;
  uint16_t Pm1Control = 0;
  uint32_t Gpe0Status = 0;

private:
  uint8_t ByteAt(uint16_t Port) const;
  void WriteByte(uint16_t Port, uint8_t Value);
};

// RTC/CMOS behind index port 0x70 (bit 7 masks NMI) and data port 0x71. The index port reads
// back the value written last. Reading register 0x0C returns the pending interrupt flags and
// clears them.
class RtcCmos : public Device {
public:
  static constexpr uint8_t kRegisterC = 0x0C;

  bool Claims(Space Where, uint64_t Address) const override;
  uint64_t Read(Space Where, uint64_t Address, uint8_t Width) override;
  void Write(Space Where, uint64_t Address, uint8_t Width, uint64_t Value) override;
  void PowerOn();

  std::array<uint8_t, 128> Cmos{};
  uint8_t Index = 0;
  bool NmiMasked = false;
  unsigned RegisterCReads = 0;
};

// Hardware monitor: register number to 0xF45, value through 0xF46. Register 0x29 is the
// temperature reading (writes to it are ignored), 0x17 blocks fan reprogramming when nonzero,
// 0x63 is the fan band marker, and 0x60-0x65, 0x68-0x6D, 0x90-0x92, 0x94-0x96 hold the two fan
// channels.
class HardwareMonitor : public Device {
public:
  static constexpr uint16_t kIndexPort = 0xF45;
  static constexpr uint16_t kDataPort = 0xF46;
  static constexpr uint8_t kFanUpdateBlock = 0x17;
  static constexpr uint8_t kTemperature = 0x29;
  static constexpr uint8_t kBandMarker = 0x63;

  bool Claims(Space Where, uint64_t Address) const override;
  uint64_t Read(Space Where, uint64_t Address, uint8_t Width) override;
  void Write(Space Where, uint64_t Address, uint8_t Width, uint64_t Value) override;
  void PowerOn();

  void SetTemperature(uint8_t Celsius) { Registers[kTemperature] = Celsius; }
  uint8_t Temperature() const { return Registers[kTemperature]; }

  std::array<uint8_t, 256> Registers{};
  uint8_t Index = 0;
};

// Board input port 0xE82: reads return the board's value; bits 5:4 select the fan table.
class BoardInputPort : public Device {
public:
  static constexpr uint16_t kPort = 0xE82;
  bool Claims(Space Where, uint64_t Address) const override;
  uint64_t Read(Space Where, uint64_t Address, uint8_t Width) override;
  void Write(Space Where, uint64_t Address, uint8_t Width, uint64_t Value) override;
  uint8_t Value = 0;
};

// The four together, as the board owns them.
struct IoDevices {
  AcpiPmBlock Pm;
  RtcCmos Rtc;
  HardwareMonitor Monitor;
  BoardInputPort InputE82;

  void AttachTo(Bus &Hardware);
  // Registers that software programs back to their power-on values; board inputs (port 0xE82,
  // the temperature) stay.
  void PowerOn();
};

} // namespace sim
