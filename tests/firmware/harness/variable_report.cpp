#include "variable_report.h"

#include "driver_globals.h"
#include "guids.h"
#include "notebook_variables.h"
#include "result_lines.h"
#include "setup_variables.h"

namespace {

// Both go through the notebook's namespace (notebook_variables.h): the notebook's own names in
// the EFI global namespace are kept where the drivers find them.

// Large enough for every variable the drivers use ("Setup" is the largest, 662 bytes).
UINT8 ReadBuffer[2048];

} // namespace

EFI_STATUS WriteVariable(const CHAR16 *Name, const EFI_GUID &Guid, UINT32 Attributes, UINTN Size,
                         const VOID *Data) {
  EFI_STATUS Status = HarnessSetVariable(Name, Guid, Attributes, Size, Data);
  ResultLine("setvar")
      .Key("name")
      .Wide(Name)
      .Status(Status)
      .Key("attributes")
      .Hex(Attributes)
      .Key("size")
      .Dec(Size)
      .Emit();
  return Status;
}

EFI_STATUS ReportVariable(const char *Tag, const CHAR16 *Name, const EFI_GUID &Guid) {
  UINT32 Attributes = 0;
  UINTN Size = sizeof(ReadBuffer);
  EFI_STATUS Status = HarnessGetVariable(Name, Guid, &Attributes, &Size, ReadBuffer);
  ResultLine Line("var");
  Line.Key("tag").Text(Tag).Key("name").Wide(Name).Key("guid").Guid(Guid).Status(Status);
  if (EFI_ERROR(Status)) {
    Line.Emit();
    return Status;
  }
  Line.Key("attributes").Hex(Attributes).Key("size").Dec(Size).Emit();
  for (UINTN Offset = 0; Offset < Size; Offset += 32) {
    UINTN Length = Size - Offset < 32 ? Size - Offset : 32;
    ResultLine("data")
        .Key("tag")
        .Text(Tag)
        .Key("name")
        .Wide(Name)
        .Key("offset")
        .Hex(Offset)
        .Key("bytes")
        .HexBytes(ReadBuffer + Offset, Length)
        .Emit();
  }
  return Status;
}

VOID ReportSettingVariables(const char *Tag) {
  ReportVariable(Tag, u"Setup", SETUP_GUID);
  ReportVariable(Tag, u"PNP0400_0_NV", PNP_NV_GUID);
  ReportVariable(Tag, u"PNP0501_0_NV", PNP_NV_GUID);
  ReportVariable(Tag, u"PNP0501_1_NV", PNP_NV_GUID);
  ReportVariable(Tag, u"SetupCom1DetectData", SETUP_COM1_DETECT_GUID);
  ReportVariable(Tag, u"SetupCom2DetectData", SETUP_COM2_DETECT_GUID);
}
