#include "hardware_answers.h"

#include "hardware_io.h"
#include "result_lines.h"

UINT32 ReportMmio(const char *Tag, UINTN Address, UINTN Width) {
  UINT32 Value;
  switch (Width) {
  case 1:
    Value = MmioRead8(Address);
    break;
  case 2:
    Value = MmioRead16(Address);
    break;
  default:
    Width = 4;
    Value = MmioRead32(Address);
    break;
  }
  ResultLine("mmio")
      .Key("tag")
      .Text(Tag)
      .Key("address")
      .Hex(Address)
      .Key("width")
      .Dec(Width)
      .Key("value")
      .Hex(Value)
      .Emit();
  return Value;
}

UINT32 ReportIo(const char *Tag, UINT16 Port, UINTN Width) {
  UINT32 Value;
  switch (Width) {
  case 1:
    Value = IoRead8(Port);
    break;
  case 2:
    Value = IoRead16(Port);
    break;
  default:
    Width = 4;
    Value = IoRead32(Port);
    break;
  }
  ResultLine("io")
      .Key("tag")
      .Text(Tag)
      .Key("port")
      .Hex(Port)
      .Key("width")
      .Dec(Width)
      .Key("value")
      .Hex(Value)
      .Emit();
  return Value;
}
