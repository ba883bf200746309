// The board's Framework SMM core: the SMM base protocol (Register loads the image file named by
// the device path again, as a fresh copy, and runs its entry point in SMM), the SMM system table
// with its configuration table and CPU save-state records, software-SMI dispatch, SMI callbacks,
// the SMM runtime and variable services, and the status-code protocols.
//
// SMIs are raised by the board: RaiseSmi() runs every registered callback; TriggerSoftwareSmi()
// is what a program under the operating system does (EAX in, SMI, EAX out); TimerTick() is the
// south bridge's SMI timer firing.
#pragma once

#include "fault_handler.h"
#include "loaded_image.h"
#include "pe_image.h"
#include "smm.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sim {

class Board;

struct SmmOptions {
  // Entries of the SMM configuration table; each can be left out.
  bool RuntimeServicesTable = true;  // SMM_RUNTIME_SERVICES_TABLE_GUID
  bool CpuIndexTable = true;         // SMM_CPU_INDEX_TABLE_GUID
  bool VariableServicesTable = true; // SMM_VARIABLE_SERVICES_TABLE_GUID
  // Protocols the SMM core publishes in the boot-services handle database.
  bool SwDispatchProtocol = true;
  // The status-code runtime protocol and the SMM status-code protocol, each on its own handle;
  // StatusCodeProtocols false leaves both out, SmmStatusCodeProtocol false only the SMM one.
  bool StatusCodeProtocols = true;
  bool SmmStatusCodeProtocol = true;

  size_t NumberOfCpus = 2;
  size_t CurrentlyExecutingCpu = 1; // counted from 1, as the SMM system table does
  size_t CallerCpu = 0;             // processor that raises software SMIs (its record gets EAX)
  // What the CPU index table says; by default the caller's processor.
  std::optional<uint64_t> CpuIndexTableValue;

  // Failures the tests provoke.
  EFI_STATUS GetSmstLocationStatus = EFI_SUCCESS;
  EFI_STATUS InSmmStatus = EFI_SUCCESS; // InSmm still answers the BOOLEAN
  EFI_STATUS RegisterCallbackStatus = EFI_SUCCESS;
  std::map<uint64_t, EFI_STATUS> SwRegisterFailures; // by SwSmiInputValue

  // Further configuration-table entries behind the core's own (duplicates, decoys).
  std::vector<std::pair<EFI_GUID, void *>> ExtraEntries;
  // Behind the last entry the core leaves guard entries (not counted in NumberOfTableEntries)
  // for the tables it leaves out, whose services record a problem: a lookup that runs past the
  // end finds them.
};

struct SmmRegistration {
  std::vector<uint8_t> Path; // the device path as passed, through its end node
  bool HadSourceBuffer = false;
  uint64_t SourceSize = 0;
  bool LegacyIa32 = false;
  std::string ImageName; // the file it named
  EFI_STATUS Status = EFI_SUCCESS;
};

struct SmmImageRecord {
  std::unique_ptr<PeImage> Image;
  EFI_LOADED_IMAGE_PROTOCOL Protocol{};
  std::vector<uint8_t> FilePath;
  EFI_HANDLE Handle = nullptr;
  GuardedResult EntryRun; // the in-SMM run of the entry point
  // The core unloaded the copy because its in-SMM entry failed: its code is gone, and an SMI
  // that reaches a handler it left registered crashes.
  bool Unloaded = false;
};

struct SmmCallbackRecord {
  EFI_HANDLE ImageHandle;
  EFI_SMM_CALLBACK_ENTRY_POINT Entry;
  bool MakeLast;
  bool FloatingPointSave;
};

struct SwDispatchRecord {
  EFI_SMM_SW_DISPATCH Function;
  EFI_SMM_SW_DISPATCH_CONTEXT Context; // the dispatcher's own copy
};

class SmmCore {
public:
  explicit SmmCore(Board &Owner) : Owner(Owner) {}
  ~SmmCore();
  SmmCore(const SmmCore &) = delete;
  SmmCore &operator=(const SmmCore &) = delete;

  // Builds SMRAM and publishes the protocols (at power-on and after every reboot). Forgets
  // loaded SMM images, callbacks and software-SMI handlers.
  void Attach();
  // Applies new options: tables, processor count and published protocols. Handlers already
  // registered stay.
  void Configure(const SmmOptions &NewOptions);
  const SmmOptions &Options() const { return Settings; }

  // ---- SMIs ----
  // Runs every registered callback once, inside SMM.
  GuardedResult RaiseSmi();
  // The caller's EAX goes into its processor's save state, the software SMI with this value
  // runs its handlers (and every callback, as any SMI does), and the saved EAX comes back.
  uint32_t TriggerSoftwareSmi(uint64_t Value, uint32_t Eax);
  // One tick of the south bridge's SMI timer: when enabled it latches its status and raises an
  // SMI. Returns whether an SMI happened.
  bool TimerTick();
  unsigned SmiCount = 0;
  // Runs Body inside SMM without an SMI (what the core does around an SMM image's entry).
  GuardedResult RunInSmm(const std::function<uint64_t()> &Body);

  // ---- what the drivers did ----
  bool InSmm() const { return Inside; }
  const std::vector<SmmRegistration> &Registrations() const { return Registered; }
  const std::vector<std::unique_ptr<SmmImageRecord>> &Images() const { return Loaded; }
  // The latest SMM copy of the image with this name, or null.
  const SmmImageRecord *Image(const std::string &Name) const;
  const std::vector<SmmCallbackRecord> &Callbacks() const { return CallbackList; }
  const std::vector<std::unique_ptr<SwDispatchRecord>> &SwHandlers() const { return SwList; }
  std::vector<EFI_STATUS> LastCallbackStatuses;
  unsigned StatusCodeReports = 0;
  // The image whose entry point runs inside SMM right now (inside Register), else null.
  const PeImage *StartingImage() const { return Starting; }
  // Called with the starting image when its in-SMM entry registers an SMI callback or a
  // software-SMI handler, so that a test can look at the image's state at that moment.
  std::function<void(const PeImage &)> OnEntryRegistration;

  // ---- SMRAM ----
  EFI_SMM_BASE_PROTOCOL *BaseProtocol() { return &Base; }
  EFI_SMM_SW_DISPATCH_PROTOCOL *SwDispatchProtocol() { return &SwDispatch; }
  EFI_STATUS_CODE_PROTOCOL *StatusCodeProtocol() { return &StatusCode; }
  EFI_SMM_STATUS_CODE_PROTOCOL *SmmStatusCodeProtocol() { return &SmmStatusCode; }
  EFI_SMM_SYSTEM_TABLE *Smst() const { return Table; }
  EFI_RUNTIME_SERVICES *SmmRuntimeServices() const { return RuntimeTable; }
  SMM_VARIABLE_SERVICES_TABLE *VariableServices() const { return VariableTable; }
  EFI_SMM_CPU_SAVE_STATE *SaveState(size_t Cpu) const;
  // The caller's saved EAX in record Cpu.
  uint32_t SavedEax(size_t Cpu) const { return SaveState(Cpu)->Ia32SaveState.EAX; }

  // Entry points of the protocols (called through the tables).
  EFI_STATUS Register(EFI_DEVICE_PATH_PROTOCOL *FilePath, VOID *SourceBuffer, UINTN SourceSize,
                      EFI_HANDLE *ImageHandle, BOOLEAN LegacyIa32);
  EFI_STATUS RegisterCallback(EFI_HANDLE ImageHandle, EFI_SMM_CALLBACK_ENTRY_POINT Entry,
                              BOOLEAN MakeLast, BOOLEAN FloatingPointSave);
  EFI_STATUS GetSmstLocation(EFI_SMM_SYSTEM_TABLE **Smst);
  EFI_STATUS RegisterSw(EFI_SMM_SW_DISPATCH Function, EFI_SMM_SW_DISPATCH_CONTEXT *Context,
                        EFI_HANDLE *Handle);
  EFI_STATUS UnregisterSw(EFI_HANDLE Handle);
  EFI_STATUS InstallConfigurationTable(const EFI_GUID *Guid, VOID *Table);

  Board &Owner;

private:
  void BuildConfigurationTable();
  void PublishProtocols();
  void Forget();
  void UnloadCopy(SmmImageRecord &Record);
  GuardedResult EnterSmm(const std::optional<uint64_t> &SwValue);
  GuardedResult RunSmiHandlers(const std::optional<uint64_t> &SwValue);
  void FillGuards();
  void CheckSaveStateGuard();
  std::unique_ptr<PeImage> LoadNamedImage(const std::vector<uint8_t> &Path, EFI_HANDLE &Device,
                                          size_t &FileNode, std::string &Label) const;

  SmmOptions Settings;
  bool Inside = false;
  EFI_SMM_BASE_PROTOCOL Base{};
  EFI_SMM_SW_DISPATCH_PROTOCOL SwDispatch{};
  EFI_STATUS_CODE_PROTOCOL StatusCode{};
  EFI_SMM_STATUS_CODE_PROTOCOL SmmStatusCode{};
  EFI_HANDLE BaseHandle = nullptr;
  EFI_HANDLE SwDispatchHandle = nullptr;
  EFI_HANDLE StatusCodeHandle = nullptr;
  EFI_HANDLE SmmStatusCodeHandle = nullptr;
  const PeImage *Starting = nullptr;

  // SMRAM (below 4 GiB, in the board's arena)
  EFI_SMM_SYSTEM_TABLE *Table = nullptr;
  EFI_CONFIGURATION_TABLE *Entries = nullptr;
  size_t EntryCapacity = 0;
  EFI_RUNTIME_SERVICES *RuntimeTable = nullptr;
  SMM_VARIABLE_SERVICES_TABLE *VariableTable = nullptr;
  SMM_CPU_INDEX_TABLE *CpuIndex = nullptr;
  // What the guard entries behind the configuration table point at.
  EFI_RUNTIME_SERVICES *GuardRuntimeTable = nullptr;
  SMM_VARIABLE_SERVICES_TABLE *GuardVariableTable = nullptr;
  SMM_CPU_INDEX_TABLE *GuardCpuIndex = nullptr;
  EFI_SMM_CPU_SAVE_STATE *SaveStates = nullptr;
  size_t SaveStateCount = 0;
  std::vector<std::pair<EFI_GUID, void *>> Installed; // by SmmInstallConfigurationTable

  std::vector<SmmRegistration> Registered;
  std::vector<std::unique_ptr<SmmImageRecord>> Loaded;
  std::vector<SmmCallbackRecord> CallbackList;
  std::vector<std::unique_ptr<SwDispatchRecord>> SwList;
};

// The address of a global or function of a loaded image, by its name in the linker map (plain
// or as the start of a decorated C++ name), or null.
void *ImageSymbol(const PeImage &Image, const std::string &Name);

// Length of a device path in bytes through its end node (at most Limit bytes are walked); a walk
// that stops at a malformed node (Type 0, Length below 4) counts the nodes before it only, and
// EndedOnEndNode (when given) tells the two apart.
size_t DevicePathBytes(const void *Path, size_t Limit = 4096, bool *EndedOnEndNode = nullptr);

} // namespace sim
