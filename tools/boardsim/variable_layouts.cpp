#include "variable_layouts.h"

#include "guids.h"
#include "setup_variables.h"
#include "variable_store.h"

#include <cstdio>
#include <map>

namespace boardsim {
namespace {

struct FieldName {
  size_t Offset;
  size_t Width;
  const char *Name;
};

const std::vector<FieldName> SetupFields = {
    {SetupField::StrapGatedOption1, 1, "StrapGatedOption1"},
    {SetupField::StrapGatedOption2, 1, "StrapGatedOption2"},
    {SetupField::TpmPresent, 1, "TpmPresent"},
    {SetupField::LinkedOption1, 1, "LinkedOption1"},
    {SetupField::LinkedOption2, 1, "LinkedOption2"},
    {SetupField::LinkedOption3, 1, "LinkedOption3"},
    {SetupField::FingerprintReaderOption, 1, "FingerprintReaderOption"},
    {SetupField::LptEnable, 1, "LptEnable"},
    {SetupField::BridgeProbeSelect, 1, "BridgeProbeSelect"},
    {SetupField::Com1Selection, 1, "Com1Selection"},
    {SetupField::Com2Selection, 1, "Com2Selection"},
    {SetupField::OptionStrapLatch, 1, "OptionStrapLatch"},
    {SetupField::Com2StrapLatch, 1, "Com2StrapLatch"},
    {SetupField::NvidiaDevicePresent, 1, "NvidiaDevicePresent"},
    {SetupField::LptStrapActive, 1, "LptStrapActive"},
    {SetupField::LinkedOptionsSwitch, 1, "LinkedOptionsSwitch"},
};

const std::vector<FieldName> PortRecordFields = {
    {0, 1, "Enable"}, {1, 1, "Setting"}, {2, 1, "byte 2"}};

const std::vector<FieldName> *LayoutOf(const std::u16string &Name, const EFI_GUID &Guid) {
  if (Name == u"Setup" && sim::SameGuid(Guid, SETUP_GUID)) {
    return &SetupFields;
  }
  if (sim::SameGuid(Guid, PNP_NV_GUID)) {
    return &PortRecordFields;
  }
  return nullptr;
}

std::string Hex(const std::vector<uint8_t> &Bytes, size_t Offset, size_t Width) {
  if (Offset + Width > Bytes.size()) {
    return "(none)";
  }
  uint64_t Value = 0;
  for (size_t I = 0; I < Width; I++) {
    Value |= (uint64_t)Bytes[Offset + I] << (8 * I);
  }
  char Text[24];
  std::snprintf(Text, sizeof Text, "0x%0*llx", (int)Width * 2, (unsigned long long)Value);
  return Text;
}

} // namespace

std::vector<std::string> DescribeChange(const std::u16string &Name, const EFI_GUID &Guid,
                                        const std::vector<uint8_t> &Before,
                                        const std::vector<uint8_t> &After) {
  std::vector<std::string> Lines;
  const std::vector<FieldName> *Layout = LayoutOf(Name, Guid);
  std::map<size_t, const FieldName *> Named;
  if (Layout != nullptr) {
    for (const FieldName &Field : *Layout) {
      Named[Field.Offset] = &Field;
    }
  }
  size_t Length = std::max(Before.size(), After.size());
  for (size_t Offset = 0; Offset < Length;) {
    auto It = Named.find(Offset);
    size_t Width = It != Named.end() ? It->second->Width : 1;
    std::string Old = Hex(Before, Offset, Width);
    std::string New = Hex(After, Offset, Width);
    if (Old != New) {
      char Where[16];
      std::snprintf(Where, sizeof Where, "0x%03zX", Offset);
      std::string Label = It != Named.end() ? std::string(It->second->Name) + " (" + Where + ")"
                                            : std::string("byte ") + Where;
      Lines.push_back(Label + ": " + Old + " -> " + New);
    }
    Offset += Width;
  }
  return Lines;
}

int SetupFieldOffset(const std::string &Field) {
  for (const FieldName &F : SetupFields) {
    if (Field == F.Name) {
      return (int)F.Offset;
    }
  }
  return -1;
}

std::vector<std::string> SetupFieldNames() {
  std::vector<std::string> Names;
  for (const FieldName &F : SetupFields) {
    Names.push_back(F.Name);
  }
  return Names;
}

} // namespace boardsim
