#include "boot_script_recorder.h"

#include "boot_script_save.h"
#include "driver_globals.h"
#include "guids.h"
#include "result_lines.h"

namespace {

struct RecordedWrite {
  UINT16 Table;
  UINT16 OpCode;
  UINT64 Width; // the whole 8-byte argument slot, as the caller left it
  UINT64 Address;
  UINT64 Count;
  UINTN DataSize; // bytes kept in Data (the write's bytes, up to its capacity)
  UINTN FullSize; // bytes the write covers
  UINT8 Data[32];
};

constexpr UINTN MaxWrites = 16;
RecordedWrite Writes[MaxWrites];
UINTN WriteCount = 0;
UINTN DroppedWrites = 0;

EFI_BOOT_SCRIPT_SAVE_PROTOCOL Recorder;
EFI_HANDLE RecorderHandle = nullptr;

// Write(This, TableName, OpCode, ...): for the I/O, memory and PCI configuration write
// opcodes the variable part is Width, Address, Count, Buffer, each in an 8-byte slot.
EFI_STATUS EFIAPI RecordWrite(EFI_BOOT_SCRIPT_SAVE_PROTOCOL *This, UINT16 TableName, UINT16 OpCode,
                              ...) {
  if (This != &Recorder) {
    return EFI_INVALID_PARAMETER;
  }
  if (WriteCount == MaxWrites) {
    DroppedWrites++;
    return EFI_OUT_OF_RESOURCES;
  }
  RecordedWrite &Entry = Writes[WriteCount];
  Entry = RecordedWrite{};
  Entry.Table = TableName;
  Entry.OpCode = OpCode;
  if (OpCode == EFI_BOOT_SCRIPT_IO_WRITE_OPCODE || OpCode == EFI_BOOT_SCRIPT_MEM_WRITE_OPCODE ||
      OpCode == EFI_BOOT_SCRIPT_PCI_CONFIG_WRITE_OPCODE) {
    // The published prototype puts a UINT16 before the ellipsis. In the Microsoft x64
    // convention every argument has its own 8-byte slot, so the variable part starts at the
    // slot after OpCode's whatever OpCode's type: the promotion warning does not apply.
    __builtin_ms_va_list Args;
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wvarargs"
    __builtin_ms_va_start(Args, OpCode);
#pragma clang diagnostic pop
    Entry.Width = __builtin_va_arg(Args, UINT64);
    Entry.Address = __builtin_va_arg(Args, UINT64);
    Entry.Count = __builtin_va_arg(Args, UINT64);
    const UINT8 *Buffer = __builtin_va_arg(Args, const UINT8 *);
    __builtin_ms_va_end(Args);
    // Only the low 32 bits carry the EFI_BOOT_SCRIPT_WIDTH; keep the slot whole in the report.
    UINT32 Width = (UINT32)Entry.Width;
    if (Width > EfiBootScriptWidthUint64 || Buffer == nullptr) {
      WriteCount++;
      return EFI_INVALID_PARAMETER;
    }
    Entry.FullSize = (UINTN)Entry.Count << Width;
    Entry.DataSize = Entry.FullSize < sizeof(Entry.Data) ? Entry.FullSize : sizeof(Entry.Data);
    for (UINTN Index = 0; Index < Entry.DataSize; Index++) {
      Entry.Data[Index] = Buffer[Index];
    }
  }
  WriteCount++;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI RecordCloseTable(EFI_BOOT_SCRIPT_SAVE_PROTOCOL *, UINT16,
                                   EFI_PHYSICAL_ADDRESS *) {
  ResultLine("note").Key("closetable").Text("called").Emit();
  return EFI_UNSUPPORTED;
}

} // namespace

EFI_STATUS InstallBootScriptRecorder() {
  WriteCount = 0;
  DroppedWrites = 0;
  Recorder.Write = RecordWrite;
  Recorder.CloseTable = RecordCloseTable;
  RecorderHandle = nullptr;
  EFI_STATUS Status = DriverBootServices->InstallProtocolInterface(
      &RecorderHandle, &EFI_BOOT_SCRIPT_SAVE_PROTOCOL_GUID, EFI_NATIVE_INTERFACE, &Recorder);
  ResultLine("install").Key("protocol").Text("boot-script-save").Status(Status).Emit();
  return Status;
}

VOID UninstallBootScriptRecorder() {
  if (RecorderHandle != nullptr) {
    DriverBootServices->UninstallProtocolInterface(RecorderHandle,
                                                   &EFI_BOOT_SCRIPT_SAVE_PROTOCOL_GUID, &Recorder);
    RecorderHandle = nullptr;
  }
}

VOID ReportAndClearBootScript() {
  for (UINTN Index = 0; Index < WriteCount; Index++) {
    const RecordedWrite &Entry = Writes[Index];
    ResultLine("script")
        .Key("index")
        .Dec(Index)
        .Key("table")
        .Dec(Entry.Table)
        .Key("opcode")
        .Dec(Entry.OpCode)
        .Key("width")
        .Hex(Entry.Width)
        .Key("address")
        .Hex(Entry.Address)
        .Key("count")
        .Dec(Entry.Count)
        .Key("bytes")
        .Dec(Entry.FullSize)
        .Key("data")
        .HexBytes(Entry.Data, Entry.DataSize)
        .Emit();
  }
  ResultLine("scripts").Key("count").Dec(WriteCount).Key("dropped").Dec(DroppedWrites).Emit();
  WriteCount = 0;
  DroppedWrites = 0;
}
