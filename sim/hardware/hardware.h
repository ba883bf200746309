// The board's hardware: an ordered access trace and the device models that answer port and
// memory-mapped accesses.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sim {

enum class Space { Io, Mmio };

struct HardwareAccess {
  Space Where;
  bool IsWrite;
  uint8_t Width; // bytes: 1, 2 or 4
  uint64_t Address;
  uint64_t Value;

  bool operator==(const HardwareAccess &) const = default;
};
std::string Describe(const HardwareAccess &Access);

// Trace entries written compactly in tests.
HardwareAccess MmioR(uint8_t Width, uint64_t Address, uint64_t Value);
HardwareAccess MmioW(uint8_t Width, uint64_t Address, uint64_t Value);
HardwareAccess IoR(uint8_t Width, uint64_t Address, uint64_t Value);
HardwareAccess IoW(uint8_t Width, uint64_t Address, uint64_t Value);

class Device {
public:
  virtual ~Device() = default;
  virtual bool Claims(Space Where, uint64_t Address) const = 0;
  virtual uint64_t Read(Space Where, uint64_t Address, uint8_t Width) = 0;
  virtual void Write(Space Where, uint64_t Address, uint8_t Width, uint64_t Value) = 0;
  // A window that carries out a memory access only when its data goes through AL, AX or EAX
  // with a plain MOV; the processor refuses any other form there.
  virtual bool TakesAccumulatorFormOnly() const { return false; }
};

// A little-endian byte register file; multi-byte accesses cover consecutive registers.
class RegisterFile {
public:
  explicit RegisterFile(size_t Size, uint8_t Fill = 0) : Bytes(Size, Fill) {}
  uint64_t Get(size_t Offset, uint8_t Width) const;
  void Set(size_t Offset, uint8_t Width, uint64_t Value);
  uint8_t &operator[](size_t Offset) { return Bytes.at(Offset); }
  uint8_t operator[](size_t Offset) const { return Bytes.at(Offset); }
  size_t Size() const { return Bytes.size(); }

private:
  std::vector<uint8_t> Bytes;
};

// FCH ACPI MMIO block at 0xFED80000: strap bytes and the SMI register block at +0x200.
class FchAcpiMmio : public Device {
public:
  static constexpr uint64_t kBase = 0xFED80000;
  FchAcpiMmio();
  bool Claims(Space Where, uint64_t Address) const override;
  uint64_t Read(Space Where, uint64_t Address, uint8_t Width) override;
  void Write(Space Where, uint64_t Address, uint8_t Width, uint64_t Value) override;

  void SetStrap(uint64_t Address, bool Active); // bit 7 of the strap byte
  uint8_t Byte(uint64_t Address) const { return Registers[Address - kBase]; }
  void SetByte(uint64_t Address, uint8_t Value) { Registers[Address - kBase] = Value; }
  uint8_t SmiRegister(uint8_t Register) const { return Registers[0x200 + Register]; }
  void SetSmiRegister(uint8_t Register, uint8_t Value) { Registers[0x200 + Register] = Value; }

  // The SMI timer: status in bit 7 of SMI register 0x91 (bits 7:6 are write-one-to-clear
  // status bits), enable in bit 7 of 0x97, period in the 15 low bits of the 16-bit value at
  // 0x96. A tick of an enabled timer latches the status bit.
  static constexpr uint8_t kSmiTimerStatus = 0x91;
  static constexpr uint8_t kSmiTimerValue = 0x96;
  static constexpr uint8_t kSmiTimerControl = 0x97;
  bool SmiTimerEnabled() const { return (SmiRegister(kSmiTimerControl) & 0x80) != 0; }
  // The status latched by a tick; it stays until a one is written to it.
  bool SmiTimerPending() const { return (SmiRegister(kSmiTimerStatus) & 0x80) != 0; }
  uint16_t SmiTimerPeriod() const {
    return (uint16_t)((SmiRegister(kSmiTimerValue) | (SmiRegister(kSmiTimerControl) << 8)) &
                      0x7FFF);
  }
  // Returns whether the timer is enabled (and so whether the tick raises an SMI).
  bool TickSmiTimer();
  // The SMI register block back to its power-on value (all zero: timer off).
  void PowerOnSmiRegisters();

private:
  RegisterFile Registers;
};

// PCI Express configuration space at 0xE0000000. Functions on bus 0 always answer; a device
// behind a bridge answers only on the bus number programmed in that bridge's secondary bus
// register (and within its subordinate range). Absent functions read as all ones.
class PcieConfigSpace : public Device {
public:
  static constexpr uint64_t kBase = 0xE0000000;
  static constexpr uint64_t kSize = 0x10000000;
  struct Location {
    uint8_t Bus, Device, Function;
    auto operator<=>(const Location &) const = default;
  };

  PcieConfigSpace();
  bool Claims(Space Where, uint64_t Address) const override;
  uint64_t Read(Space Where, uint64_t Address, uint8_t Width) override;
  void Write(Space Where, uint64_t Address, uint8_t Width, uint64_t Value) override;
  // AMD processors of family 10h and later: configuration accesses through this window only as
  // a plain MOV with AL, AX or EAX as the data register.
  bool TakesAccumulatorFormOnly() const override { return true; }

  // A function on bus 0 (a bridge gets a type-1 header).
  RegisterFile &AddRootFunction(Location At, uint16_t VendorId, uint16_t DeviceId, bool Bridge);
  // A device at Device/Function on the secondary bus of the bridge at BridgeAt.
  RegisterFile &AttachBehind(Location BridgeAt, uint8_t Device, uint8_t Function, uint16_t VendorId,
                             uint16_t DeviceId);
  void DetachBehind(Location BridgeAt);
  RegisterFile *Function(Location At);
  // A bridge that implements only the Mask bits of its secondary and subordinate bus number
  // registers: a bus number written there reads back (and decodes) as Value AND Mask.
  void LimitBusNumbers(Location BridgeAt, uint8_t Mask) { BusNumberMasks[BridgeAt] = Mask; }

private:
  struct Downstream {
    Location Bridge;
    uint8_t Device, Function;
    RegisterFile Config;
  };
  RegisterFile *Resolve(Location At);
  std::map<Location, RegisterFile> Root;
  std::vector<Downstream> Behind;
  std::map<Location, uint8_t> BusNumberMasks;
};

// TPM TIS identity register TPM_DID_VID of locality 0 at 0xFED40F00.
class TpmIdentity : public Device {
public:
  static constexpr uint64_t kBase = 0xFED40000;
  bool Claims(Space Where, uint64_t Address) const override;
  uint64_t Read(Space Where, uint64_t Address, uint8_t Width) override;
  void Write(Space Where, uint64_t Address, uint8_t Width, uint64_t Value) override;
  std::array<uint8_t, 4> Identity{0xFF, 0xFF, 0xFF, 0xFF}; // no TPM: floating bus
};

class Bus {
public:
  void Attach(Device *Model) { Devices.push_back(Model); }
  uint64_t Read(Space Where, uint64_t Address, uint8_t Width);
  void Write(Space Where, uint64_t Address, uint8_t Width, uint64_t Value);

  const std::vector<HardwareAccess> &Trace() const { return Accesses; }
  void ClearTrace() {
    Accesses.clear();
    Strays.clear();
  }
  // Accesses that no device model claimed: always a fault of the driver or of the board.
  const std::vector<HardwareAccess> &Unclaimed() const { return Strays; }

  // Whether the device at Address carries out a memory access only in the accumulator form.
  bool RequiresAccumulatorForm(Space Where, uint64_t Address) const;
  // An access the hardware refused (it reached no device and is not in the trace): reported
  // to the board as a problem.
  void Refuse(const std::string &Why);
  std::function<void(const std::string &)> OnProblem;

private:
  Device *Owner(Space Where, uint64_t Address) const;
  std::vector<Device *> Devices;
  std::vector<HardwareAccess> Accesses;
  std::vector<HardwareAccess> Strays;
};

} // namespace sim
