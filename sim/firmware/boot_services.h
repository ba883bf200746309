// The boot services of the board's firmware: the EFI_BOOT_SERVICES table and what stands behind
// it, the handle database, the loaded images, pool blocks and pages, events, the TPL, the clock
// that Stall advances and the controller calls. The board owns one; a new boot starts it afresh.
#pragma once

#include "efi_system_table.h"
#include "fault_handler.h"
#include "loaded_image.h"
#include "pe_image.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct PoolBlock {
  size_t Size = 0;
  EFI_MEMORY_TYPE Type = EfiBootServicesData;
  bool Freed = false;
  bool BelowFourGiB = true;
};

struct PageBlock {
  uint64_t Pages = 0;
  bool Freed = false;
  EFI_ALLOCATE_TYPE Type = AllocateAnyPages;
  uint64_t Limit = 0; // AllocateMaxAddress: the highest address asked for
};

struct ProtocolEntry {
  EFI_GUID Guid;
  void *Interface;
};

// One OpenProtocol that is not closed yet (TEST_PROTOCOL opens are not recorded).
struct OpenRecord {
  EFI_GUID Guid;
  EFI_HANDLE Agent;
  EFI_HANDLE Controller;
  UINT32 Attributes;
};

struct HandleRecord {
  // The handle the drivers see: a few bytes of board memory, as a DXE core's handles are its
  // own memory, so that a stray write through a handle lands in board memory and not in the
  // record the board keeps.
  EFI_HANDLE Token = nullptr;
  std::string Label;
  std::vector<ProtocolEntry> Protocols;
  std::vector<OpenRecord> Opens;
};

struct EventRecord {
  bool Signaled = false;
  EFI_TPL NotifyTpl = 0;
  // Called when a wait finds the event unsignaled; returns whether it is signaled now.
  std::function<bool()> Poll;
  // Called by WaitForEvent when no listed event is signaled: may let the board's time pass
  // until the event is signaled (a key the script presses later); false when it never will be.
  std::function<bool()> Block;
};

// One image loaded by the board: the PE copy and what the firmware publishes for it.
struct LoadedImageRecord {
  std::unique_ptr<PeImage> Image;
  EFI_LOADED_IMAGE_PROTOCOL Protocol{};
  std::vector<uint8_t> FilePath;
  EFI_HANDLE Handle = nullptr;
  bool Unloaded = false; // its entry point returned an error
};

struct RunResult {
  std::string Name;
  Outcome How = Outcome::Returned;
  EFI_STATUS Status = 0;
  std::string Message;
  bool Returned() const { return How == Outcome::Returned; }
};

class BootServices {
public:
  // Problems and Timeline are the board's logs: a refused free or a service that is not offered
  // goes to Problems, a connect or disconnect to Timeline as well. System is the table handed to
  // every image. One instance at a time (the table's functions find it without a context).
  BootServices(std::vector<std::string> &Problems, std::vector<std::string> &Timeline,
               EFI_SYSTEM_TABLE &System);
  ~BootServices();
  // The board's boot services, for the members of the tables the board's parts publish.
  static BootServices &Current();
  BootServices(const BootServices &) = delete;
  BootServices &operator=(const BootServices &) = delete;

  EFI_BOOT_SERVICES Table{};
  // Fills Table with the services (again after End).
  void BuildTable();
  // A new boot: drops images, handles, events, pool, pages, controller calls and TPL changes
  // (the clock and the failures asked for stay); BuildTable and InstallDispatcher follow.
  void Reset();
  // The handle of the DXE dispatcher (the parent of every loaded image) and of the boot volume
  // the images are loaded from: the first two handles of a boot.
  void InstallDispatcher();
  EFI_HANDLE BootVolume() const { return Volume; }

  // The operating system takes over: every slot of Table records a problem and fails.
  void End();
  bool Ended = false;

  // ---- images ----
  EFI_HANDLE LoadImage(const std::string &Path, std::string &Error);
  RunResult StartImage(EFI_HANDLE ImageHandle);
  LoadedImageRecord *ImageRecord(EFI_HANDLE ImageHandle);
  EFI_HANDLE AddLoadedImage(std::unique_ptr<PeImage> Image, EFI_HANDLE DeviceHandle,
                            std::vector<uint8_t> FilePath);
  void UnloadFailedImage(LoadedImageRecord &Record);
  RunResult RunGuardedCall(const std::string &Name, const std::function<uint64_t()> &Body);

  // ---- handle database ----
  EFI_HANDLE NewHandle(const std::string &Label);
  EFI_STATUS Install(EFI_HANDLE *Handle, const EFI_GUID &Guid, void *Interface);
  EFI_STATUS Uninstall(EFI_HANDLE Handle, const EFI_GUID &Guid);
  void UninstallEverywhere(const EFI_GUID &Guid);
  void *Protocol(EFI_HANDLE Handle, const EFI_GUID &Guid) const;
  std::vector<EFI_HANDLE> HandlesWith(const EFI_GUID &Guid) const;
  bool IsHandle(EFI_HANDLE Handle) const;
  const HandleRecord *Record(EFI_HANDLE Handle) const;

  // ---- pool and pages ----
  void *AllocatePool(size_t Size, EFI_MEMORY_TYPE Type);
  EFI_STATUS FreePool(void *Buffer);
  const std::map<const void *, PoolBlock> &PoolBlocks() const { return Pool; }
  size_t LivePoolBlocks() const;
  int PoolFailures = 0; // the next N pool allocations fail
  // One allocation of this size fails, after PoolFailureSkip of that size were served.
  std::optional<size_t> PoolFailureSize;
  int PoolFailureSkip = 0;
  int PageFailures = 0; // the next N AllocatePages calls fail with EFI_OUT_OF_RESOURCES
  std::map<uint64_t, PageBlock> Pages;

  // ---- events, TPL, clock, controllers ----
  EFI_EVENT NewEvent(std::function<bool()> Poll);
  EventRecord *Event(EFI_EVENT Handle);
  EFI_TPL Tpl = TPL_APPLICATION;
  std::vector<EFI_TPL> TplChanges;
  uint64_t ClockMicroseconds = 0;
  std::vector<std::string> ControllerCalls;

  void Problem(const std::string &Text) { Problems.push_back(Text); }
  // Returns the entry's index in the timeline.
  size_t Note(const std::string &Event) {
    Timeline.push_back(Event);
    return Timeline.size() - 1;
  }

private:
  std::vector<std::string> &Problems;
  std::vector<std::string> &Timeline;
  EFI_SYSTEM_TABLE &System;
  std::vector<std::unique_ptr<HandleRecord>> Handles;
  std::vector<std::unique_ptr<LoadedImageRecord>> Images;
  std::vector<std::unique_ptr<EventRecord>> Events;
  std::map<const void *, PoolBlock> Pool;
  EFI_HANDLE Volume = nullptr;
  EFI_HANDLE Dispatcher = nullptr;
  std::vector<uint8_t> VolumePath;
};

// Device-path nodes the firmware builds for the images it loads.
std::vector<uint8_t> FilePathNode(const std::string &FileName);
std::vector<uint8_t> EndNode();

} // namespace sim
