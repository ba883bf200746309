#include "result_lines.h"

namespace {

EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *Console = nullptr;

VOID Send(const CHAR16 *Text) {
  if (Console != nullptr) {
    Console->OutputString(Console, Text);
  }
}

constexpr char HexDigits[] = "0123456789ABCDEF";

} // namespace

VOID ResultLinesInit(EFI_SYSTEM_TABLE *SystemTable) {
  Console = SystemTable->ConOut;
}

ResultLine::ResultLine(const char *Kind) : Buffer{}, Used(0) {
  Text("@fw ");
  Text(Kind);
}

VOID ResultLine::Flush() {
  Buffer[Used] = 0;
  Send(Buffer);
  Used = 0;
}

VOID ResultLine::Put(CHAR16 Character) {
  if (Used + 1 >= sizeof(Buffer) / sizeof(Buffer[0])) {
    Flush();
  }
  Buffer[Used++] = Character;
}

ResultLine &ResultLine::Key(const char *Name) {
  Put(u' ');
  Text(Name);
  Put(u'=');
  return *this;
}

ResultLine &ResultLine::Text(const char *Value) {
  for (; *Value != 0; Value++) {
    Put((CHAR16)(UINT8)*Value);
  }
  return *this;
}

ResultLine &ResultLine::Wide(const CHAR16 *Value) {
  for (; *Value != 0; Value++) {
    // Keep the line one word: anything outside printable ASCII or a space shows as '?'.
    Put(*Value > 0x20 && *Value < 0x7F ? *Value : u'?');
  }
  return *this;
}

ResultLine &ResultLine::Hex(UINT64 Value) {
  Text("0x");
  int Shift = 60;
  while (Shift > 0 && ((Value >> Shift) & 0xF) == 0) {
    Shift -= 4;
  }
  for (; Shift >= 0; Shift -= 4) {
    Put((CHAR16)HexDigits[(Value >> Shift) & 0xF]);
  }
  return *this;
}

ResultLine &ResultLine::Dec(UINT64 Value) {
  CHAR16 Digits[20];
  UINTN Count = 0;
  do {
    Digits[Count++] = (CHAR16)(u'0' + Value % 10);
    Value /= 10;
  } while (Value != 0);
  while (Count != 0) {
    Put(Digits[--Count]);
  }
  return *this;
}

ResultLine &ResultLine::HexBytes(const VOID *Bytes, UINTN Length) {
  const UINT8 *P = (const UINT8 *)Bytes;
  if (Length == 0) {
    Put(u'-');
  }
  for (UINTN Index = 0; Index < Length; Index++) {
    Put((CHAR16)HexDigits[P[Index] >> 4]);
    Put((CHAR16)HexDigits[P[Index] & 0xF]);
  }
  return *this;
}

ResultLine &ResultLine::Guid(const EFI_GUID &Value) {
  const UINT64 Numbers[3] = {Value.Data1, Value.Data2, Value.Data3};
  const int Digits[3] = {8, 4, 4};
  for (UINTN Field = 0; Field < 3; Field++) {
    for (int Shift = (Digits[Field] - 1) * 4; Shift >= 0; Shift -= 4) {
      Put((CHAR16)HexDigits[(Numbers[Field] >> Shift) & 0xF]);
    }
    Put(u'-');
  }
  HexBytes(Value.Data4, 2);
  Put(u'-');
  HexBytes(Value.Data4 + 2, 6);
  return *this;
}

VOID ResultLine::Emit() {
  Put(u'\r');
  Put(u'\n');
  Flush();
}

VOID Note(const char *Text) {
  ResultLine Line("note");
  Line.Text(" ").Text(Text).Emit();
}
