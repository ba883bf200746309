#include "variable_store.h"

#include "guids.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace sim {

bool SameGuid(const EFI_GUID &A, const EFI_GUID &B) {
  return std::memcmp(&A, &B, 16) == 0;
}
bool GuidKey::operator<(const GuidKey &Other) const {
  return std::memcmp(&Guid, &Other.Guid, 16) < 0;
}
bool GuidKey::operator==(const GuidKey &Other) const {
  return SameGuid(Guid, Other.Guid);
}

std::string GuidText(const EFI_GUID &G) {
  char Text[40];
  std::snprintf(Text, sizeof Text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", G.Data1,
                G.Data2, G.Data3, G.Data4[0], G.Data4[1], G.Data4[2], G.Data4[3], G.Data4[4],
                G.Data4[5], G.Data4[6], G.Data4[7]);
  return Text;
}

bool ParseGuid(const std::string &Text, EFI_GUID &G) {
  std::string T = Text;
  if (!T.empty() && T.front() == '{' && T.back() == '}') {
    T = T.substr(1, T.size() - 2);
  }
  unsigned D1, D2, D3, B[8];
  char Tail;
  if (T.size() != 36 ||
      std::sscanf(T.c_str(), "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%c", &D1, &D2, &D3, &B[0], &B[1],
                  &B[2], &B[3], &B[4], &B[5], &B[6], &B[7], &Tail) != 11) {
    return false;
  }
  G.Data1 = D1;
  G.Data2 = (UINT16)D2;
  G.Data3 = (UINT16)D3;
  for (int I = 0; I < 8; I++) {
    G.Data4[I] = (UINT8)B[I];
  }
  return true;
}

std::string Narrow(const std::u16string &Text) {
  std::string Out;
  for (char16_t C : Text) {
    Out += C < 0x80 ? (char)C : '?';
  }
  return Out;
}

std::u16string Widen(const std::string &Text) {
  return std::u16string(Text.begin(), Text.end());
}

EFI_STATUS VariableStore::Get(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 *Attributes,
                              UINTN *DataSize, VOID *Data) {
  VariableCall Call{false, Name ? std::u16string(Name) : u"", Guid ? *Guid : EFI_GUID{},
                    0,     DataSize ? *DataSize : 0,          EFI_SUCCESS,
                    {}};
  Call.AttributesPointer = Attributes != nullptr;
  EFI_STATUS Scripted = EFI_SUCCESS;
  if (Name != nullptr) {
    auto Script = GetScripts.find(Name);
    if (Script != GetScripts.end() && !Script->second.empty()) {
      Scripted = Script->second.front();
      Script->second.erase(Script->second.begin());
    }
  }
  EFI_STATUS Status;
  if (EFI_ERROR(Scripted)) {
    Status = Scripted;
  } else if (Name == nullptr || Guid == nullptr || DataSize == nullptr) {
    Status = EFI_INVALID_PARAMETER;
  } else {
    auto It = Store.find({Name, GuidKey{*Guid}});
    if (It == Store.end()) {
      Status = EFI_NOT_FOUND;
    } else if (*DataSize < It->second.Data.size()) {
      *DataSize = It->second.Data.size();
      if (Attributes != nullptr) {
        *Attributes = It->second.Attributes; // as the UEFI variable services do
      }
      Status = EFI_BUFFER_TOO_SMALL;
    } else if (Data == nullptr) {
      Status = EFI_INVALID_PARAMETER;
    } else {
      *DataSize = It->second.Data.size();
      if (!It->second.Data.empty()) { // a 0-byte variable has no bytes (and data() may be null)
        std::memcpy(Data, It->second.Data.data(), It->second.Data.size());
      }
      if (Attributes != nullptr) {
        *Attributes = It->second.Attributes;
      }
      Status = Scripted; // EFI_SUCCESS or the scripted warning
    }
  }
  Call.Status = Status;
  Log.push_back(std::move(Call));
  return Status;
}

EFI_STATUS VariableStore::Set(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 Attributes,
                              UINTN DataSize, const VOID *Data) {
  VariableCall Call{true,
                    Name ? std::u16string(Name) : u"",
                    Guid ? *Guid : EFI_GUID{},
                    Attributes,
                    DataSize,
                    EFI_SUCCESS,
                    {}};
  if (Data != nullptr) {
    Call.Data.assign((const uint8_t *)Data, (const uint8_t *)Data + DataSize);
  }
  EFI_STATUS Status = EFI_SUCCESS;
  auto Failure = Name ? Failures.find(Name) : Failures.end();
  if (Name == nullptr || Guid == nullptr || Name[0] == 0 || (DataSize != 0 && Data == nullptr)) {
    Status = EFI_INVALID_PARAMETER;
  } else if (Failure != Failures.end()) {
    Status = Failure->second;
    Failures.erase(Failure);
  } else if ((Attributes & EFI_VARIABLE_RUNTIME_ACCESS) &&
             !(Attributes & EFI_VARIABLE_BOOTSERVICE_ACCESS)) {
    Status = EFI_INVALID_PARAMETER;
  } else if (RefuseUndefinedGlobalNames && SameGuid(*Guid, EFI_GLOBAL_VARIABLE) &&
             !IsDefinedGlobalName(Name)) {
    Status = EFI_INVALID_PARAMETER;
  } else {
    Key K{Name, GuidKey{*Guid}};
    auto It = Store.find(K);
    bool Delete =
        DataSize == 0 ||
        (Attributes & (EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS)) == 0;
    if (Delete) {
      if (It == Store.end()) {
        Status = EFI_NOT_FOUND;
      } else {
        Store.erase(It);
      }
    } else if (It != Store.end() && It->second.Attributes != Attributes) {
      // A variable keeps its attributes: a rewrite with others is refused, as in the UEFI
      // variable services.
      Status = EFI_INVALID_PARAMETER;
    } else {
      Store[K] = Variable{Attributes, Call.Data};
    }
  }
  Call.Status = Status;
  Log.push_back(std::move(Call));
  return Status;
}

bool IsDefinedGlobalName(const std::u16string &Name) {
  static const char *const Fixed[] = {"AuditMode",
                                      "BootCurrent",
                                      "BootNext",
                                      "BootOptionSupport",
                                      "BootOrder",
                                      "ConIn",
                                      "ConInDev",
                                      "ConOut",
                                      "ConOutDev",
                                      "dbDefault",
                                      "dbrDefault",
                                      "dbtDefault",
                                      "dbxDefault",
                                      "DeployedMode",
                                      "DriverOrder",
                                      "ErrOut",
                                      "ErrOutDev",
                                      "HwErrRecSupport",
                                      "KEK",
                                      "KEKDefault",
                                      "Lang",
                                      "LangCodes",
                                      "OsIndications",
                                      "OsIndicationsSupported",
                                      "OsRecoveryOrder",
                                      "PK",
                                      "PKDefault",
                                      "PlatformLang",
                                      "PlatformLangCodes",
                                      "SignatureSupport",
                                      "SecureBoot",
                                      "SetupMode",
                                      "SysPrepOrder",
                                      "Timeout",
                                      "VendorKeys"};
  static const char *const Numbered[] = {"Boot", "Driver", "Key", "PlatformRecovery", "SysPrep"};
  std::string Text = Narrow(Name);
  for (const char *Defined : Fixed) {
    if (Text == Defined) {
      return true;
    }
  }
  for (const char *Prefix : Numbered) {
    std::string P = Prefix;
    if (Text.size() == P.size() + 4 && Text.compare(0, P.size(), P) == 0 &&
        std::all_of(Text.begin() + P.size(), Text.end(), [](char C) {
          return std::isdigit((unsigned char)C) || (C >= 'A' && C <= 'F');
        })) {
      return true;
    }
  }
  return false;
}

EFI_STATUS VariableStore::GetNextName(UINTN *NameSize, CHAR16 *Name, EFI_GUID *Guid) {
  if (NameSize == nullptr || Name == nullptr || Guid == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  auto It = Store.begin();
  if (Name[0] != 0) {
    It = Store.find({Name, GuidKey{*Guid}});
    if (It == Store.end()) {
      return EFI_INVALID_PARAMETER;
    }
    ++It;
  }
  if (It == Store.end()) {
    return EFI_NOT_FOUND;
  }
  UINTN Needed = (It->first.first.size() + 1) * sizeof(CHAR16);
  if (*NameSize < Needed) {
    *NameSize = Needed;
    return EFI_BUFFER_TOO_SMALL;
  }
  std::memcpy(Name, It->first.first.c_str(), Needed);
  *Guid = It->first.second.Guid;
  *NameSize = Needed;
  return EFI_SUCCESS;
}

void VariableStore::Put(const std::u16string &Name, const EFI_GUID &Guid, uint32_t Attributes,
                        std::vector<uint8_t> Data) {
  Store[{Name, GuidKey{Guid}}] = Variable{Attributes, std::move(Data)};
}

const Variable *VariableStore::Find(const std::u16string &Name, const EFI_GUID &Guid) const {
  auto It = Store.find({Name, GuidKey{Guid}});
  return It == Store.end() ? nullptr : &It->second;
}

void VariableStore::Erase(const std::u16string &Name, const EFI_GUID &Guid) {
  Store.erase({Name, GuidKey{Guid}});
}

void VariableStore::Reboot() {
  std::erase_if(Store, [](const auto &Entry) {
    return (Entry.second.Attributes & EFI_VARIABLE_NON_VOLATILE) == 0;
  });
  Log.clear();
}

size_t VariableStore::CountGets(const std::u16string &Name) const {
  size_t Count = 0;
  for (const VariableCall &Call : Log) {
    Count += !Call.IsSet && Call.Name == Name;
  }
  return Count;
}

void VariableStore::FailNextSet(const std::u16string &Name, EFI_STATUS Status) {
  Failures[Name] = Status;
}

void VariableStore::ScriptGets(const std::u16string &Name, std::vector<EFI_STATUS> Statuses) {
  GetScripts[Name] = std::move(Statuses);
}

// File format: one variable per line: NAME GUID ATTRIBUTES HEXBYTES
bool VariableStore::SaveTo(const std::string &Path) const {
  std::ofstream Out(Path);
  for (const auto &[K, V] : Store) {
    if (!(V.Attributes & EFI_VARIABLE_NON_VOLATILE)) {
      continue;
    }
    Out << Narrow(K.first) << ' ' << GuidText(K.second.Guid) << ' ' << V.Attributes << ' ';
    for (uint8_t Byte : V.Data) {
      char Hex[3];
      std::snprintf(Hex, sizeof Hex, "%02x", Byte);
      Out << Hex;
    }
    Out << '\n';
  }
  return bool(Out);
}

bool VariableStore::LoadFrom(const std::string &Path) {
  std::ifstream In(Path);
  if (!In) {
    return false;
  }
  std::string Line;
  while (std::getline(In, Line)) {
    std::istringstream Words(Line);
    std::string Name, GuidString, Hex;
    uint32_t Attributes;
    EFI_GUID Guid;
    if (!(Words >> Name >> GuidString >> Attributes) || !ParseGuid(GuidString, Guid)) {
      return false;
    }
    Words >> Hex;
    std::vector<uint8_t> Data;
    for (size_t I = 0; I + 1 < Hex.size(); I += 2) {
      Data.push_back((uint8_t)std::stoul(Hex.substr(I, 2), nullptr, 16));
    }
    Put(Widen(Name), Guid, Attributes, std::move(Data));
  }
  return true;
}

} // namespace sim
