// Result lines of the firmware test harness on the firmware console.
//
// Every line the harness reports starts with "@fw ", then a kind word, then key=value words:
//   @fw start image=PciBridgeProbeDxe status=0x0
// so that the test on the host side can pick them out of the serial log and judge the run.
// Values are printed without spaces; numbers in hexadecimal with a 0x prefix unless noted.
#pragma once

#include "efi_system_table.h"

// Where the lines go: the console output of the system table the harness was started with.
VOID ResultLinesInit(EFI_SYSTEM_TABLE *SystemTable);

// One result line, built in pieces and sent with Emit(). Long lines are sent in chunks as
// they fill the buffer, so a line of any length reaches the console whole.
struct ResultLine {
  CHAR16 Buffer[160];
  UINTN Used;

  explicit ResultLine(const char *Kind);
  ResultLine &Key(const char *Name); // " Name="
  ResultLine &Text(const char *Value);
  ResultLine &Wide(const CHAR16 *Value);
  ResultLine &Hex(UINT64 Value);
  ResultLine &Dec(UINT64 Value);
  ResultLine &HexBytes(const VOID *Bytes, UINTN Length);
  ResultLine &Guid(const EFI_GUID &Value);
  ResultLine &Status(EFI_STATUS Value) { return Key("status").Hex(Value); }
  VOID Emit();

private:
  VOID Put(CHAR16 Character);
  VOID Flush();
};

// A free-text note for the human reading the log; never judged.
VOID Note(const char *Text);
