#include "board.h"

#include "device_path_nodes.h"
#include "guids.h"
#include "hardware_io.h"
#include "physical_memory.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef BOARD_DEFAULT_IMAGE_DIR
#define BOARD_DEFAULT_IMAGE_DIR "build/uefi/images"
#endif

namespace sim {
namespace {

Board *ActiveBoard = nullptr;

// ---- native hardware boundary: host-compiled driver code reaches the same bus ----------------
UINT64 NativeRead(bool IsIo, UINT64 Address, UINT8 Width) {
  return Board::Current().Hardware.Read(IsIo ? Space::Io : Space::Mmio, Address, Width);
}
void NativeWrite(bool IsIo, UINT64 Address, UINT8 Width, UINT64 Value) {
  Board::Current().Hardware.Write(IsIo ? Space::Io : Space::Mmio, Address, Width, Value);
}
[[noreturn]] void NativeHalt() {
  HaltGuarded("CpuDeadLoop (native)");
}
const HostHardwareBus NativeBus = {NativeRead, NativeWrite, NativeHalt};

Board &B() {
  return Board::Current();
}

// ---- boot script save ------------------------------------------------------------------------
EFI_STATUS EFIAPI ScriptWrite(EFI_BOOT_SCRIPT_SAVE_PROTOCOL *, UINT16 Table, UINT16 OpCode, ...) {
  if (Table != EFI_ACPI_S3_RESUME_SCRIPT_TABLE) {
    return EFI_OUT_OF_RESOURCES;
  }
  if (EFI_ERROR(B().BootScriptWriteStatus)) {
    return B().BootScriptWriteStatus;
  }
  BootScriptEntry Entry;
  Entry.AfterAccesses = B().Hardware.Trace().size();
  Entry.Table = Table;
  Entry.OpCode = OpCode;
  __builtin_ms_va_list Args;
  // The published prototype ends its named parameters with a UINT16. In the Microsoft x64
  // convention every argument has its own 8-byte slot, so the list still starts right after
  // OpCode's slot; clang's warning about promotion does not apply to this convention.
#ifdef __clang__
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wvarargs"
#endif
  __builtin_ms_va_start(Args, OpCode);
#ifdef __clang__
#pragma clang diagnostic pop
#endif
  switch (OpCode) {
  case EFI_BOOT_SCRIPT_IO_WRITE_OPCODE:
  case EFI_BOOT_SCRIPT_MEM_WRITE_OPCODE:
  case EFI_BOOT_SCRIPT_PCI_CONFIG_WRITE_OPCODE: {
    Entry.Width = (uint32_t) __builtin_va_arg(Args, UINTN);
    Entry.Address = __builtin_va_arg(Args, UINT64);
    Entry.Count = __builtin_va_arg(Args, UINTN);
    const uint8_t *Data = __builtin_va_arg(Args, const uint8_t *);
    if (Entry.Width > EfiBootScriptWidthUint64 || Data == nullptr) {
      __builtin_ms_va_end(Args);
      return EFI_INVALID_PARAMETER;
    }
    size_t Bytes = Entry.Count * (size_t{1} << Entry.Width);
    Entry.Data.assign(Data, Data + Bytes);
    break;
  }
  default:
    __builtin_ms_va_end(Args);
    B().Problem("boot-script opcode not modelled: " + std::to_string(OpCode));
    return EFI_UNSUPPORTED;
  }
  __builtin_ms_va_end(Args);
  B().BootScript.push_back(std::move(Entry));
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI ScriptCloseTable(EFI_BOOT_SCRIPT_SAVE_PROTOCOL *, UINT16 Table,
                                   EFI_PHYSICAL_ADDRESS *) {
  return Table == EFI_ACPI_S3_RESUME_SCRIPT_TABLE ? EFI_SUCCESS : EFI_NOT_FOUND;
}

} // namespace

// ---- Board -----------------------------------------------------------------------------------
Board &Board::Current() {
  if (ActiveBoard == nullptr) {
    std::fprintf(stderr, "no simulated board\n");
    std::abort();
  }
  return *ActiveBoard;
}

std::string Board::ImageDirectory() {
  const char *Override = std::getenv("BOARD_IMAGE_DIR");
  return Override != nullptr ? Override : BOARD_DEFAULT_IMAGE_DIR;
}

std::string Board::ImagePath(const std::string &Name) {
  return ImageDirectory() + "/" + Name + ".efi";
}

Board::Board() {
  if (ActiveBoard != nullptr) {
    std::fprintf(stderr, "only one simulated board at a time\n");
    std::abort();
  }
  ActiveBoard = this;
  SetAddressNamer([this](uint64_t Address) { return NameAddress(Address); });
  MapPhysicalWindows();
  Hardware.Attach(&Fch);
  Hardware.Attach(&Pcie);
  Hardware.Attach(&Tpm);
  Io.AttachTo(Hardware);
  Hardware.OnProblem = [this](const std::string &Text) { Problem(Text); };
  InstallFaultHandler(&Hardware);
  SetHostHardwareBus(&NativeBus);

  // The board's PCI topology: host bridge, the graphics bridge 0:2.0 and the south bridge's
  // PCI-to-PCI bridge 0:14.4.
  Pcie.AddRootFunction({0, 0, 0}, 0x1022, 0x9600, false);
  Pcie.AddRootFunction({0, 2, 0}, 0x1022, 0x9603, true);
  Pcie.AddRootFunction({0, 0x14, 4}, 0x1002, 0x4384, true);
  BuildTables();
  PowerOnHardware();
  InstallPlatformProtocols();
  Smm.Attach();
}

// The images are unregistered when the boot services go, after the parts.
Board::~Board() {
  ForgetDeadImageStackWatch();
  SetAddressNamer(nullptr);
  SetHostHardwareBus(nullptr);
  ActiveBoard = nullptr;
}

void Board::BuildTables() {
  Boot.BuildTable();
  Runtime.BuildTable();

  SystemTable = {};
  SystemTable.Hdr = {EFI_SYSTEM_TABLE_SIGNATURE, (2 << 16) | 31, sizeof(EFI_SYSTEM_TABLE), 0, 0};
  static CHAR16 Vendor[] = u"Simulated notebook";
  SystemTable.FirmwareVendor = Vendor;
  SystemTable.FirmwareRevision = 0x00010000;
  SystemTable.RuntimeServices = &Runtime.Table;
  SystemTable.BootServices = &Boot.Table;
}

void Board::PowerOnHardware() {
  for (auto At : {PcieConfigSpace::Location{0, 2, 0}, PcieConfigSpace::Location{0, 0x14, 4}}) {
    RegisterFile *Bridge = Pcie.Function(At);
    (*Bridge)[0x18] = 0;
    (*Bridge)[0x19] = 0;
    (*Bridge)[0x1A] = 0;
  }
  Fch.PowerOnSmiRegisters();
  Io.PowerOn();
}

void Board::InstallPlatformProtocols() {
  Boot.InstallDispatcher();

  BootScriptProtocol.Write = ScriptWrite;
  BootScriptProtocol.CloseTable = ScriptCloseTable;
  EFI_HANDLE ScriptHandle = NewHandle("boot script save");
  Install(&ScriptHandle, EFI_BOOT_SCRIPT_SAVE_PROTOCOL_GUID, &BootScriptProtocol);

  Console.Install(Boot, SystemTable);

  // Outside components of the fingerprint authentication (their configuration stays).
  Usb.Install();
  FingerprintModule.Install();
  Csm.Install();
  Volume.Install();
  Pci.Install();
  Sata.Install();
  Hash.Install();
}

std::string Board::NameAddress(uint64_t Address) const {
  char Text[200];
  auto Within = [&](const void *Start, size_t Size, const char *Name) {
    uint64_t Base = reinterpret_cast<uint64_t>(Start);
    if (Address >= Base && Address < Base + Size) {
      std::snprintf(Text, sizeof Text, "%s + 0x%llx", Name, (unsigned long long)(Address - Base));
      return true;
    }
    return false;
  };
  if (Within(&SystemTable, sizeof SystemTable, "the system table") ||
      Within(&Boot.Table, sizeof Boot.Table, "the boot-services table") ||
      Within(&Runtime.Table, sizeof Runtime.Table, "the runtime-services table")) {
    return Text;
  }
  for (const auto &[Start, Block] : PoolBlocks()) {
    uint64_t Base = reinterpret_cast<uint64_t>(Start);
    if (Address >= Base && Address < Base + Block.Size + 64) {
      std::snprintf(Text, sizeof Text, "%s pool block of %zu bytes + 0x%llx%s",
                    Block.Freed ? "a freed" : "a", Block.Size, (unsigned long long)(Address - Base),
                    Address >= Base + Block.Size ? " (past its end)" : "");
      return Text;
    }
  }
  for (const auto &[Base, Block] : Boot.Pages) {
    if (Address >= Base && Address < Base + Block.Pages * 4096) {
      std::snprintf(Text, sizeof Text, "%s allocation of %llu page(s) + 0x%llx",
                    Block.Freed ? "a freed page" : "a page", (unsigned long long)Block.Pages,
                    (unsigned long long)(Address - Base));
      return Text;
    }
  }
  return "";
}

void Board::Problem(const std::string &Text) {
  Problems.push_back(Text);
}

RunResult Board::RunDriver(const std::string &Name) {
  std::string Error;
  EFI_HANDLE Handle = LoadImage(ImagePath(Name), Error);
  if (Handle == nullptr) {
    RunResult Result;
    Result.Name = Name;
    Result.How = Outcome::NotLoaded;
    Result.Message = Error;
    return Result;
  }
  return StartImage(Handle);
}

// ---- reboot ----------------------------------------------------------------------------------
void Board::Reboot() {
  Boot.Reset();
  BootScript.clear();
  Timeline.clear();
  Problems.clear();
  Variables.Reboot();
  Hardware.ClearTrace();
  std::memset(reinterpret_cast<void *>(kLowWindowBase), 0, kLowWindowSize);
  PowerOnHardware();
  BuildTables();
  InstallPlatformProtocols();
  Smm.Attach();
}

void Board::EndBootServices() {
  Boot.End();
  SystemTable.BootServices = nullptr;
}

} // namespace sim
