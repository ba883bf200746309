#include "access_names.h"

#include "board_addresses.h"
#include "boot_script_save.h"

#include <cstdio>

namespace boardsim {

namespace {

struct Named {
  uint64_t Address;
  const char *Name;
};

// Legacy I/O ports the drivers use.
constexpr Named Ports[] = {
    {0x800, "PM1 status"},
    {0x801, "PM1 status (high byte)"},
    {0x802, "PM1 enable"},
    {0x803, "PM1 enable (high byte)"},
    {0x804, "PM1 control"},
    {0x820, "GPE0 status"},
    {0x70, "RTC index"},
    {0x71, "RTC data"},
    {0xF45, "hardware-monitor index"},
    {0xF46, "hardware-monitor data"},
    {0xE82, "board input port 0xE82"},
};

// The FCH SMI register block at FCH_SMI_REGISTER_BASE.
constexpr Named SmiRegisters[] = {
    {0x91, "SMI timer status"}, {0x96, "SMI timer value"},  {0x97, "SMI timer enable"},
    {0x9B, "SMI control 0x9B"}, {0xC3, "SMI control 0xC3"},
};

constexpr Named Straps[] = {
    {FCH_COM2_STRAP, "COM2 strap"},
    {FCH_LPT_STRAP, "LPT strap"},
    {FCH_OPTION_STRAP, "option strap"},
};

const char *Find(const Named *Table, size_t Count, uint64_t Address) {
  for (size_t I = 0; I < Count; I++) {
    if (Table[I].Address == Address) {
      return Table[I].Name;
    }
  }
  return nullptr;
}

std::string MonitorRegisterName(uint8_t Register) {
  std::string Text = "register " + HexText(Register, 2);
  switch (Register) {
  case 0x17:
    return Text + " (fan update block)";
  case 0x29:
    return Text + " (temperature)";
  case 0x63:
    return Text + " (fan band marker, first channel)";
  default:
    break;
  }
  bool First = (Register >= 0x60 && Register <= 0x65) || (Register >= 0x90 && Register <= 0x92);
  bool Second = (Register >= 0x68 && Register <= 0x6D) || (Register >= 0x94 && Register <= 0x96);
  if (First || Second) {
    return Text + (First ? " (fan channel 1)" : " (fan channel 2)");
  }
  return Text;
}

std::string RtcRegisterName(uint8_t Register) {
  Register &= 0x7F;
  std::string Text = "register " + HexText(Register, 2);
  return Register == 0x0C ? Text + " (register C, interrupt flags)" : Text;
}

// The register the last write to IndexPort before Trace[Index] selected, or -1.
int SelectedRegister(const std::vector<sim::HardwareAccess> &Trace, size_t Index,
                     uint64_t IndexPort) {
  for (size_t I = Index; I-- > 0;) {
    const sim::HardwareAccess &A = Trace[I];
    if (A.Where == sim::Space::Io && A.IsWrite && A.Address == IndexPort) {
      return (int)(A.Value & 0xFF);
    }
  }
  return -1;
}

const char *PciRegisterName(uint8_t Bus, uint8_t Device, uint8_t Function, uint32_t Register,
                            uint8_t Width) {
  switch (Register) {
  case 0x00:
    return Width == 4 ? "vendor and device ID" : "vendor ID";
  case 0x02:
    return "device ID";
  case 0x19:
    return Width >= 2 ? "secondary and subordinate bus" : "secondary bus";
  case 0x1A:
    return "subordinate bus";
  case 0x42:
    return Bus == 0 && Device == 0x14 && Function == 4 ? "bridge control" : nullptr;
  default:
    return nullptr;
  }
}

std::string PciText(uint8_t Bus, uint8_t Device, uint8_t Function, uint32_t Register,
                    uint8_t Width) {
  char Text[48];
  std::snprintf(Text, sizeof Text, "PCI %X:%02X.%u register 0x%02X", Bus, Device, Function,
                Register);
  const char *Name = PciRegisterName(Bus, Device, Function, Register, Width);
  return Name != nullptr ? std::string(Text) + " (" + Name + ")" : Text;
}

std::string MmioTarget(uint64_t Address, uint8_t Width) {
  if (Address >= PCIE_CONFIG_BASE && Address - PCIE_CONFIG_BASE < 0x10000000) {
    uint64_t Offset = Address - PCIE_CONFIG_BASE;
    return PciText((uint8_t)(Offset >> 20), (uint8_t)((Offset >> 15) & 0x1F),
                   (uint8_t)((Offset >> 12) & 7), (uint32_t)(Offset & 0xFFF), Width);
  }
  if (Address >= FCH_SMI_REGISTER_BASE && Address < FCH_SMI_REGISTER_BASE + 0x100) {
    uint8_t Register = (uint8_t)(Address - FCH_SMI_REGISTER_BASE);
    if (Register == 0x96 && Width >= 2) {
      return "FCH SMI timer value and enable";
    }
    const char *Name = Find(SmiRegisters, std::size(SmiRegisters), Register);
    return Name != nullptr ? std::string("FCH ") + Name
                           : "FCH SMI register " + HexText(Register, 2);
  }
  if (const char *Name = Find(Straps, std::size(Straps), Address)) {
    return std::string("FCH ") + Name;
  }
  if (Address >= FCH_ACPI_MMIO_BASE && Address < FCH_ACPI_MMIO_BASE + 0x1000) {
    return "FCH ACPI MMIO +" + HexText(Address - FCH_ACPI_MMIO_BASE, 3);
  }
  if (Address >= TPM_DID_VID && Address < TPM_DID_VID + 4) {
    return "TPM identity byte " + std::to_string(Address - TPM_DID_VID) + " (TPM_DID_VID)";
  }
  if (Address >= TPM_BASE && Address < TPM_BASE + 0x5000) {
    return "TPM register +" + HexText(Address - TPM_BASE, 4);
  }
  return "unclaimed memory";
}

} // namespace

std::string HexText(uint64_t Value, int Digits) {
  char Text[24];
  std::snprintf(Text, sizeof Text, "0x%0*llX", Digits, (unsigned long long)Value);
  return Text;
}

std::string AccessTarget(const std::vector<sim::HardwareAccess> &Trace, size_t Index) {
  const sim::HardwareAccess &A = Trace[Index];
  if (A.Where == sim::Space::Mmio) {
    return MmioTarget(A.Address, A.Width);
  }
  const char *Name = Find(Ports, std::size(Ports), A.Address);
  if (Name == nullptr) {
    return "port " + HexText(A.Address, 4);
  }
  std::string Text = Name;
  if (A.Address == 0xF45 && A.IsWrite) {
    return Text + ": selects " + MonitorRegisterName((uint8_t)A.Value);
  }
  if (A.Address == 0x70 && A.IsWrite) {
    return Text + ": selects " + RtcRegisterName((uint8_t)A.Value) +
           ((A.Value & 0x80) ? ", NMI masked" : "");
  }
  if (A.Address == 0xF46 || A.Address == 0x71) {
    int Register = SelectedRegister(Trace, Index, A.Address == 0xF46 ? 0xF45 : 0x70);
    if (Register < 0) {
      return Text + ", register not selected in this trace";
    }
    return Text + ", " +
           (A.Address == 0xF46 ? MonitorRegisterName((uint8_t)Register)
                               : RtcRegisterName((uint8_t)Register));
  }
  return Text;
}

std::string AccessLine(const std::vector<sim::HardwareAccess> &Trace, size_t Index) {
  return sim::Describe(Trace[Index]) + "  " + AccessTarget(Trace, Index);
}

const char *BootScriptOpcodeName(uint16_t OpCode) {
  switch (OpCode) {
  case EFI_BOOT_SCRIPT_IO_WRITE_OPCODE:
    return "I/O write";
  case EFI_BOOT_SCRIPT_MEM_WRITE_OPCODE:
    return "memory write";
  case EFI_BOOT_SCRIPT_PCI_CONFIG_WRITE_OPCODE:
    return "PCI configuration write";
  default:
    return "unknown opcode";
  }
}

const char *BootScriptWidthName(uint32_t Width) {
  switch (Width) {
  case EfiBootScriptWidthUint8:
    return "UINT8";
  case EfiBootScriptWidthUint16:
    return "UINT16";
  case EfiBootScriptWidthUint32:
    return "UINT32";
  case EfiBootScriptWidthUint64:
    return "UINT64";
  default:
    return "unknown width";
  }
}

std::string BootScriptTarget(const sim::BootScriptEntry &E) {
  uint8_t Bytes = E.Width <= EfiBootScriptWidthUint64 ? (uint8_t)(1u << E.Width) : 0;
  switch (E.OpCode) {
  case EFI_BOOT_SCRIPT_PCI_CONFIG_WRITE_OPCODE:
    return PciText((uint8_t)(E.Address >> 24), (uint8_t)(E.Address >> 16),
                   (uint8_t)(E.Address >> 8), (uint32_t)(E.Address & 0xFF), Bytes);
  case EFI_BOOT_SCRIPT_MEM_WRITE_OPCODE:
    return MmioTarget(E.Address, Bytes);
  case EFI_BOOT_SCRIPT_IO_WRITE_OPCODE: {
    const char *Name = Find(Ports, std::size(Ports), E.Address);
    return Name != nullptr ? Name : "port " + HexText(E.Address, 4);
  }
  default:
    return "address " + HexText(E.Address, 1);
  }
}

std::string BootScriptLine(const sim::BootScriptEntry &E) {
  std::string Text = "table " + std::to_string(E.Table) + ", " + BootScriptOpcodeName(E.OpCode) +
                     " (opcode " + std::to_string(E.OpCode) + "), " + BootScriptWidthName(E.Width) +
                     ", " + BootScriptTarget(E) + " (address " + HexText(E.Address, 1) +
                     "), count " + std::to_string(E.Count) + ", data";
  for (uint8_t Byte : E.Data) {
    char Hex[4];
    std::snprintf(Hex, sizeof Hex, " %02X", Byte);
    Text += Hex;
  }
  return Text;
}

} // namespace boardsim
