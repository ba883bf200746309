#include "board.h"

#include "device_path_nodes.h"
#include "guids.h"
#include "hardware_io.h"
#include "physical_memory.h"
#include "service_calls.h"

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
// The checks of a Write whose variable arguments were read (Data: the data pointer of a write
// opcode).
EFI_STATUS SaveScriptEntry(BootScriptEntry &Entry, const uint8_t *Data) {
  if (Entry.Table != EFI_ACPI_S3_RESUME_SCRIPT_TABLE) {
    return EFI_OUT_OF_RESOURCES;
  }
  if (EFI_ERROR(B().BootScriptWriteStatus)) {
    return B().BootScriptWriteStatus;
  }
  switch (Entry.OpCode) {
  case EFI_BOOT_SCRIPT_IO_WRITE_OPCODE:
  case EFI_BOOT_SCRIPT_MEM_WRITE_OPCODE:
  case EFI_BOOT_SCRIPT_PCI_CONFIG_WRITE_OPCODE: {
    if (Entry.Width > EfiBootScriptWidthUint64 || Data == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    size_t Bytes = Entry.Count * (size_t{1} << Entry.Width);
    Entry.Data.assign(Data, Data + Bytes);
    break;
  }
  default:
    B().Problem("boot-script opcode not modelled: " + std::to_string(Entry.OpCode));
    return EFI_UNSUPPORTED;
  }
  B().BootScript.push_back(std::move(Entry));
  return EFI_SUCCESS;
}

bool IsWriteOpCode(UINT16 OpCode) {
  return OpCode == EFI_BOOT_SCRIPT_IO_WRITE_OPCODE || OpCode == EFI_BOOT_SCRIPT_MEM_WRITE_OPCODE ||
         OpCode == EFI_BOOT_SCRIPT_PCI_CONFIG_WRITE_OPCODE;
}

// What --calls shows of a Write: the table, the opcode, and for a write opcode its width,
// address, count and data bytes.
void DescribeScriptWrite(ServiceCall &Call, const BootScriptEntry &Entry, const uint8_t *Data) {
  static const char *const Widths[] = {"UINT8", "UINT16", "UINT32", "UINT64"};
  Call.Service = "BootScriptSave->Write";
  Call.Arguments = {"table " + std::to_string(Entry.Table)};
  if (!IsWriteOpCode(Entry.OpCode)) {
    Call.Arguments.push_back("opcode " + HexNumber(Entry.OpCode));
    return;
  }
  Call.Arguments.push_back(Entry.OpCode == EFI_BOOT_SCRIPT_IO_WRITE_OPCODE    ? "IO_WRITE"
                           : Entry.OpCode == EFI_BOOT_SCRIPT_MEM_WRITE_OPCODE ? "MEM_WRITE"
                                                                              : "PCI_CONFIG_WRITE");
  Call.Arguments.push_back(Entry.Width <= EfiBootScriptWidthUint64
                               ? Widths[Entry.Width]
                               : "width " + std::to_string(Entry.Width));
  Call.Arguments.push_back("address " + HexNumber(Entry.Address));
  Call.Arguments.push_back("count " + std::to_string(Entry.Count));
  if (Data == nullptr || Entry.Width > EfiBootScriptWidthUint64) {
    Call.Arguments.push_back(Data == nullptr ? "data NULL" : "data");
    return;
  }
  std::string Bytes = "data";
  size_t Total = Entry.Count * (size_t{1} << Entry.Width);
  for (size_t Index = 0; Index < Total && Index < 16; Index++) {
    Bytes += " " + HexNumber(Data[Index]);
  }
  Call.Arguments.push_back(Total > 16 ? Bytes + " ..." : Bytes);
}

// Variadic, so entered on the image stack and recorded here rather than through Recorded.
EFI_STATUS EFIAPI ScriptWrite(EFI_BOOT_SCRIPT_SAVE_PROTOCOL *, UINT16 Table, UINT16 OpCode, ...) {
  BootScriptEntry Entry;
  Entry.AfterAccesses = B().Hardware.Trace().size();
  Entry.Table = Table;
  Entry.OpCode = OpCode;
  const uint8_t *Data = nullptr;
  if (IsWriteOpCode(OpCode)) {
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
    Entry.Width = (uint32_t) __builtin_va_arg(Args, UINTN);
    Entry.Address = __builtin_va_arg(Args, UINT64);
    Entry.Count = __builtin_va_arg(Args, UINTN);
    Data = __builtin_va_arg(Args, const uint8_t *);
    __builtin_ms_va_end(Args);
  }
  size_t Call = CallLog::Enabled()
                    ? CallLog::Begin(__builtin_return_address(0), __builtin_frame_address(0))
                    : CallLog::kNone;
  if (Call != CallLog::kNone) {
    DescribeScriptWrite(CallLog::At(Call), Entry, Data);
    CallLog::Made(Call);
  }
  EFI_STATUS Status = SaveScriptEntry(Entry, Data);
  if (Call != CallLog::kNone) {
    CallLog::End(Call, Status);
    CallLog::Made(Call);
  }
  return Status;
}

EFI_STATUS EFIAPI ScriptCloseTable(EFI_BOOT_SCRIPT_SAVE_PROTOCOL *, UINT16 Table,
                                   EFI_PHYSICAL_ADDRESS *) {
  return Table == EFI_ACPI_S3_RESUME_SCRIPT_TABLE ? EFI_SUCCESS : EFI_NOT_FOUND;
}

void DescribeScriptCloseTable(ServiceCall &Call, EFI_BOOT_SCRIPT_SAVE_PROTOCOL *, UINT16 Table,
                              EFI_PHYSICAL_ADDRESS *) {
  Call.Service = "BootScriptSave->CloseTable";
  Call.Arguments = {"table " + std::to_string(Table)};
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
  BootScriptProtocol.CloseTable = Recorded<ScriptCloseTable, DescribeScriptCloseTable>;
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
  // The block that holds the address, else one whose end it lies just past (a guard byte).
  auto Holds = [&](uint64_t Base, const PoolBlock &Block) {
    return Address >= Base && Address < Base + (Block.Size == 0 ? 1 : Block.Size);
  };
  auto Near = [&](uint64_t Base, const PoolBlock &Block) {
    return Address >= Base && Address < Base + Block.Size + 64;
  };
  for (const auto &Fits : {std::function<bool(uint64_t, const PoolBlock &)>(Holds),
                           std::function<bool(uint64_t, const PoolBlock &)>(Near)}) {
    for (const auto &[Start, Block] : PoolBlocks()) {
      uint64_t Base = reinterpret_cast<uint64_t>(Start);
      if (!Fits(Base, Block)) {
        continue;
      }
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
