#include "service_calls.h"

#include "boot_services.h"
#include "disk_info.h"
#include "fingerprint_module.h"
#include "fingerprint_services.h"
#include "guids.h"
#include "setup_variables.h"
#include "smm.h"
#include "status_names.h"
#include "variable_store.h"

#include <cstdio>
#include <cstring>

namespace sim {
namespace {

std::function<void(size_t)> Observer;
// The calls that have not returned yet, outermost first.
std::vector<size_t> Open;

struct NamedGuid {
  const EFI_GUID *Guid;
  const char *Name;
};
#define NAMED(G)                                                                                   \
  { &G, #G }
const NamedGuid KnownGuids[] = {
    NAMED(EFI_GLOBAL_VARIABLE),
    NAMED(SETUP_GUID),
    NAMED(VELTRASETUP_GUID),
    NAMED(PNP_NV_GUID),
    NAMED(SETUP_COM1_DETECT_GUID),
    NAMED(SETUP_COM2_DETECT_GUID),
    NAMED(EFI_LOADED_IMAGE_PROTOCOL_GUID),
    NAMED(EFI_DEVICE_PATH_PROTOCOL_GUID),
    NAMED(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL_GUID),
    NAMED(EFI_SIMPLE_TEXT_INPUT_PROTOCOL_GUID),
    NAMED(EFI_PCI_IO_PROTOCOL_GUID),
    NAMED(EFI_DISK_INFO_PROTOCOL_GUID),
    NAMED(EFI_DISK_INFO_AHCI_INTERFACE_GUID),
    NAMED(EFI_DISK_INFO_IDE_INTERFACE_GUID),
    NAMED(EFI_VARIABLE_ARCH_PROTOCOL_GUID),
    NAMED(EFI_VARIABLE_WRITE_ARCH_PROTOCOL_GUID),
    NAMED(EFI_CONSOLE_CONTROL_PROTOCOL_GUID),
    NAMED(EFI_BOOT_SCRIPT_SAVE_PROTOCOL_GUID),
    NAMED(EFI_LEGACY_BIOS_PROTOCOL_GUID),
    NAMED(EFI_FIRMWARE_VOLUME_PROTOCOL_GUID),
    NAMED(EFI_SMM_BASE_PROTOCOL_GUID),
    NAMED(EFI_SMM_SW_DISPATCH_PROTOCOL_GUID),
    NAMED(EFI_STATUS_CODE_RUNTIME_PROTOCOL_GUID),
    NAMED(EFI_SMM_STATUS_CODE_PROTOCOL_GUID),
    NAMED(EFI_SMM_CPU_IO_GUID),
    NAMED(SMM_RUNTIME_SERVICES_TABLE_GUID),
    NAMED(SMM_CPU_INDEX_TABLE_GUID),
    NAMED(SMM_VARIABLE_SERVICES_TABLE_GUID),
    NAMED(FINGERPRINT_AUTH_PROTOCOL_GUID),
    NAMED(FINGERPRINT_MODULE_SECTION_GUID),
    NAMED(USB_STACK_PROTOCOL_GUID),
    NAMED(HDD_SECURITY_PROTOCOL_GUID),
    NAMED(HDD_PASSWORD_VERIFY_PROTOCOL_GUID),
    NAMED(PASSWORD_HASH_PROTOCOL_GUID),
};
#undef NAMED

} // namespace

// ---- the log ------------------------------------------------------------------------------------
void CallLog::Clear() {
  Log.clear();
  Open.clear();
}

void CallLog::Observe(std::function<void(size_t)> Function) {
  Observer = std::move(Function);
}

size_t CallLog::Begin(const void *ReturnAddress, const void *Frame) {
  ServiceCaller Caller = FindServiceCaller(ReturnAddress, Frame);
  if (Caller.Image == nullptr) {
    return kNone;
  }
  // Calls made inside a guarded call that has ended (a halt or a crash) will never return.
  while (!Open.empty() && !GuardedCallLive(Log[Open.back()].Guard)) {
    Open.pop_back();
  }
  ServiceCall Call;
  Call.Driver = Caller.Image->Name;
  Call.Guard = Caller.Guard;
  Call.Depth = Open.size();
  Log.push_back(std::move(Call));
  Open.push_back(Log.size() - 1);
  return Log.size() - 1;
}

void CallLog::Made(size_t Index) {
  if (Observer) {
    Observer(Index);
  }
}

void CallLog::End(size_t Index, uint64_t Value) {
  ServiceCall &Call = Log[Index];
  Call.Returned = true;
  Call.Value = Value;
  // Calls made inside this one that never returned are over with it.
  while (!Open.empty()) {
    size_t Last = Open.back();
    Open.pop_back();
    if (Last == Index) {
      break;
    }
  }
}

std::string ServiceCall::Text() const {
  std::string Line = Service + "(";
  for (size_t I = 0; I < Arguments.size(); I++) {
    Line += (I ? ", " : "") + Arguments[I];
  }
  Line += ")";
  if (!Returned) {
    return Line + " did not return";
  }
  std::string Rest;
  switch (Kind) {
  case Returns::Status:
    Rest = StatusSymbol(Value);
    break;
  case Returns::Value:
    Rest = ValueText;
    break;
  case Returns::Nothing:
    break;
  }
  for (const std::string &Result : Results) {
    Rest += (Rest.empty() ? "" : ", ") + Result;
  }
  return Rest.empty() ? Line : Line + " -> " + Rest;
}

// ---- decoding -----------------------------------------------------------------------------------
std::string GuidName(const EFI_GUID &Guid) {
  for (const NamedGuid &Known : KnownGuids) {
    if (SameGuid(*Known.Guid, Guid)) {
      std::string Name = Known.Name;
      // A protocol by its own name: EFI_SMM_SW_DISPATCH_PROTOCOL.
      const std::string Suffix = "_PROTOCOL_GUID";
      if (Name.size() > Suffix.size() &&
          Name.compare(Name.size() - Suffix.size(), Suffix.size(), Suffix) == 0) {
        Name.resize(Name.size() - 5);
      }
      return Name;
    }
  }
  return "{" + GuidText(Guid) + "}";
}

std::string GuidArgument(const EFI_GUID *Guid) {
  return Guid == nullptr ? "NULL" : GuidName(*Guid);
}

std::string HexNumber(uint64_t Value) {
  char Text[24];
  std::snprintf(Text, sizeof Text, "0x%llX", (unsigned long long)Value);
  return Text;
}

std::string TextArgument(const CHAR16 *Text) {
  if (Text == nullptr) {
    return "NULL";
  }
  constexpr size_t kShown = 256;
  std::string Out = "\"";
  size_t Length = 0;
  for (; Text[Length] != 0 && Length < kShown; Length++) {
    char16_t C = Text[Length];
    if (C == u'"' || C == u'\\') {
      Out += '\\';
      Out += (char)C;
    } else if (C >= 0x20 && C < 0x7F) {
      Out += (char)C;
    } else {
      char Escape[12];
      std::snprintf(Escape, sizeof Escape, C < 0x100 ? "\\x%02X" : "\\u%04X", (unsigned)C);
      Out += Escape;
    }
  }
  Out += "\"";
  if (Text[Length] != 0) {
    Out += "...";
  }
  return Out;
}

std::string HandleArgument(EFI_HANDLE Handle) {
  if (Handle == nullptr) {
    return "NULL";
  }
  const HandleRecord *Record = BootServices::Current().Record(Handle);
  return Record == nullptr ? "not a handle" : "handle \"" + Record->Label + "\"";
}

std::string AttributesText(UINT32 Attributes) {
  static const struct {
    UINT32 Bit;
    const char *Name;
  } Names[] = {{EFI_VARIABLE_NON_VOLATILE, "NV"},
               {EFI_VARIABLE_BOOTSERVICE_ACCESS, "BS"},
               {EFI_VARIABLE_RUNTIME_ACCESS, "RT"}};
  std::string List;
  UINT32 Rest = Attributes;
  for (const auto &Name : Names) {
    if (Attributes & Name.Bit) {
      List += (List.empty() ? "" : "|") + std::string(Name.Name);
      Rest &= ~Name.Bit;
    }
  }
  if (Rest != 0) {
    List += (List.empty() ? "" : "|") + HexNumber(Rest);
  }
  return "attributes " + HexNumber(Attributes) + (List.empty() ? "" : " (" + List + ")");
}

std::string SizeArgument(const UINTN *Size) {
  return Size == nullptr ? "size NULL" : "size " + HexNumber(*Size);
}

void DescribeGetVariable(ServiceCall &Call, const CHAR16 *Name, const EFI_GUID *Guid,
                         const UINT32 *Attributes, const UINTN *Size) {
  if (!Call.Returned) {
    Call.Service = "GetVariable";
    Call.Arguments = {TextArgument(Name), GuidArgument(Guid), SizeArgument(Size)};
    return;
  }
  if (Call.Value == EFI_SUCCESS && Attributes != nullptr) {
    Call.Results.push_back(AttributesText(*Attributes));
  }
  if ((Call.Value == EFI_SUCCESS || Call.Value == EFI_BUFFER_TOO_SMALL) && Size != nullptr) {
    Call.Results.push_back(SizeArgument(Size));
  }
}

void DescribeSetVariable(ServiceCall &Call, const CHAR16 *Name, const EFI_GUID *Guid,
                         UINT32 Attributes, UINTN Size) {
  Call.Service = "SetVariable";
  Call.Arguments = {TextArgument(Name), GuidArgument(Guid), AttributesText(Attributes),
                    "size " + HexNumber(Size)};
}

void DescribeGetNextVariableName(ServiceCall &Call, const UINTN *Size, const CHAR16 *Name,
                                 const EFI_GUID *Guid) {
  if (!Call.Returned) {
    Call.Service = "GetNextVariableName";
    Call.Arguments = {SizeArgument(Size), "after " + TextArgument(Name), GuidArgument(Guid)};
  } else if (Call.Value == EFI_SUCCESS) {
    Call.Results.push_back(TextArgument(Name));
    Call.Results.push_back(GuidArgument(Guid));
  } else if (Call.Value == EFI_BUFFER_TOO_SMALL) {
    Call.Results.push_back(SizeArgument(Size));
  }
}

void DescribeResetSystem(ServiceCall &Call, UINT32 Type, EFI_STATUS Status) {
  static const char *const Types[] = {"EfiResetCold", "EfiResetWarm", "EfiResetShutdown",
                                      "EfiResetPlatformSpecific"};
  Call.Service = "ResetSystem";
  Call.Arguments = {Type < 4 ? Types[Type] : "type " + std::to_string(Type), StatusSymbol(Status)};
}

void DescribeNotOffered(ServiceCall &Call, const char *Service) {
  Call.Service = Service;
  if (Call.Returned) {
    Call.Results.push_back("not offered by the board");
  }
}

} // namespace sim
