// The board's variable store, with the semantics of UEFI GetVariable/SetVariable: sizes in and
// out, EFI_BUFFER_TOO_SMALL with the needed size, attributes, deletion, and non-volatile versus
// volatile variables across a simulated reboot. Every call is logged for the tests.
#pragma once

#include "efi_types.h"

#include <map>
#include <string>
#include <vector>

namespace sim {

struct GuidKey {
  EFI_GUID Guid;
  bool operator<(const GuidKey &Other) const;
  bool operator==(const GuidKey &Other) const;
};
std::string GuidText(const EFI_GUID &Guid);
bool ParseGuid(const std::string &Text, EFI_GUID &Guid);
bool SameGuid(const EFI_GUID &A, const EFI_GUID &B);

struct Variable {
  uint32_t Attributes = 0;
  std::vector<uint8_t> Data;
  bool operator==(const Variable &) const = default;
};

struct VariableCall {
  bool IsSet;
  std::u16string Name;
  EFI_GUID Guid;
  uint32_t Attributes; // Set: as passed
  uint64_t SizeIn;     // Get: size offered; Set: size written
  EFI_STATUS Status;
  std::vector<uint8_t> Data;      // Set: the bytes written
  bool AttributesPointer = false; // Get: an attributes pointer was passed
};

class VariableStore {
public:
  using Key = std::pair<std::u16string, GuidKey>;

  EFI_STATUS Get(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 *Attributes, UINTN *DataSize,
                 VOID *Data);
  EFI_STATUS Set(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 Attributes, UINTN DataSize,
                 const VOID *Data);
  EFI_STATUS GetNextName(UINTN *NameSize, CHAR16 *Name, EFI_GUID *Guid);

  // Direct access for tests and scenarios (not logged).
  void Put(const std::u16string &Name, const EFI_GUID &Guid, uint32_t Attributes,
           std::vector<uint8_t> Data);
  const Variable *Find(const std::u16string &Name, const EFI_GUID &Guid) const;
  void Erase(const std::u16string &Name, const EFI_GUID &Guid);
  const std::map<Key, Variable> &All() const { return Store; }

  // A reboot keeps only the non-volatile variables.
  void Reboot();
  // Store and load the non-volatile variables (boardsim --variables FILE).
  bool SaveTo(const std::string &Path) const;
  bool LoadFrom(const std::string &Path);

  const std::vector<VariableCall> &Calls() const { return Log; }
  size_t CountGets(const std::u16string &Name) const;
  void ClearLog() { Log.clear(); }
  // When set, the next Set with this name fails with the given status (device error tests).
  void FailNextSet(const std::u16string &Name, EFI_STATUS Status);
  // The next Gets of this name answer with these statuses, one per call, in order: an error is
  // returned without touching the caller's size or buffer; a warning is returned instead of
  // EFI_SUCCESS by a read that works as usual (any other result stays); EFI_SUCCESS leaves the
  // call alone.
  void ScriptGets(const std::u16string &Name, std::vector<EFI_STATUS> Statuses);
  // The variable services of EDK II based firmware refuse to write names under
  // EFI_GLOBAL_VARIABLE that the UEFI standard does not define (EFI_INVALID_PARAMETER).
  bool RefuseUndefinedGlobalNames = false;

private:
  std::map<Key, Variable> Store;
  std::vector<VariableCall> Log;
  std::map<std::u16string, EFI_STATUS> Failures;
  std::map<std::u16string, std::vector<EFI_STATUS>> GetScripts;
};

std::string Narrow(const std::u16string &Text);
// A name the UEFI standard defines under EFI_GLOBAL_VARIABLE ("BootOrder", "Boot0001", ...).
bool IsDefinedGlobalName(const std::u16string &Name);
std::u16string Widen(const std::string &Text);

} // namespace sim
