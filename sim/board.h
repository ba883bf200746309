// The simulated notebook: firmware services, outside components and hardware in one object,
// configured by a test or a scenario, inspected afterwards. One board per process at a time
// (the physical windows have one address); ctest runs every test in its own process.
#pragma once

#include "boot_script_save.h"
#include "boot_services.h"
#include "console.h"
#include "efi_system_table.h"
#include "fault_handler.h"
#include "fingerprint_module_model.h"
#include "firmware_volume_model.h"
#include "hardware.h"
#include "io_devices.h"
#include "legacy_bios_model.h"
#include "password_hash.h"
#include "pci_devices.h"
#include "pe_image.h"
#include "runtime_services.h"
#include "sata_drives.h"
#include "smm_core.h"
#include "usb_stack.h"
#include "variable_store.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sim {

struct BootScriptEntry {
  uint16_t Table = 0;
  uint16_t OpCode = 0;
  uint32_t Width = 0;
  uint64_t Address = 0;
  uint64_t Count = 0;
  std::vector<uint8_t> Data;
  size_t AfterAccesses = 0; // hardware accesses in the trace when the entry was recorded
};

// Where a memory search found its bytes.
struct MemoryHit {
  uint64_t Address = 0;
  std::string Where; // "low memory ...", "freed pool block ...", "image ...", ...
};

class Board {
public:
  Board();
  ~Board();
  Board(const Board &) = delete;
  Board &operator=(const Board &) = delete;

  static Board &Current();
  // Folder holding the firmware build's images (BOARD_IMAGE_DIR overrides the built-in one).
  static std::string ImageDirectory();
  static std::string ImagePath(const std::string &Name);

  // ---- hardware ----
  Bus Hardware;
  FchAcpiMmio Fch;
  PcieConfigSpace Pcie;
  TpmIdentity Tpm;
  IoDevices Io; // ACPI PM block, RTC, hardware monitor, port 0xE82

  // ---- firmware ----
  VariableStore Variables;
  EFI_SYSTEM_TABLE SystemTable{};
  // Things a driver did that real firmware would refuse or that leak: double or foreign frees,
  // calls of services the board does not offer, waits that can never end.
  std::vector<std::string> Problems;
  void Problem(const std::string &Text);
  // What a crash report calls an address of the board's (the firmware tables, pool blocks and
  // pages), or "" for none.
  std::string NameAddress(uint64_t Address) const;
  // One ordered log of the outside events a run causes: connect and disconnect calls, the USB
  // stack's switch, module requests, drive password verifies. Note returns the entry's index.
  std::vector<std::string> Timeline;
  size_t Note(const std::string &Event) { return Boot.Note(Event); }
  sim::BootServices Boot{Problems, Timeline, SystemTable};
  sim::RuntimeServices Runtime{Variables, Problems};
  // The two tables as the images see them.
  EFI_BOOT_SERVICES &BootServices = Boot.Table;
  EFI_RUNTIME_SERVICES &RuntimeServices = Runtime.Table;
  // Text console (ConIn, ConOut, StdErr, console control): screen, frames, scripted keys.
  sim::Console Console;
  SmmCore Smm{*this}; // the Framework SMM core and SMRAM

  // The operating system takes over: the boot-services table stops answering (every call is
  // recorded as a problem and fails) and the system table's boot-services pointer is cleared.
  // SMI handlers and runtime services keep working.
  void EndBootServices();

  // ---- outside components of the fingerprint authentication ----
  UsbStack Usb{Boot};                                  // USB_STACK_PROTOCOL and its data area
  FingerprintModuleModel FingerprintModule{Boot, Usb}; // what FarCall86 at 4000:0003 runs
  LegacyBios Csm{Boot, FingerprintModule};             // EFI_LEGACY_BIOS_PROTOCOL (FarCall86)
  FirmwareVolume Volume{*this};                        // the volume driver files are loaded from
  PciDevices Pci{Boot};                                // EFI_PCI_IO_PROTOCOL handles
  SataDrives Sata{Boot};                               // drives, HDD security, password verify
  PasswordHash Hash{Boot};                             // PASSWORD_HASH_PROTOCOL

  // ---- images (the boot services' records, under the board's names) ----
  EFI_HANDLE LoadImage(const std::string &Path, std::string &Error) {
    return Boot.LoadImage(Path, Error);
  }
  RunResult StartImage(EFI_HANDLE ImageHandle) { return Boot.StartImage(ImageHandle); }
  // Loads <ImageDirectory>/<Name>.efi and runs its entry point.
  RunResult RunDriver(const std::string &Name);
  LoadedImageRecord *ImageRecord(EFI_HANDLE ImageHandle) { return Boot.ImageRecord(ImageHandle); }
  // Publishes an image loaded elsewhere with the device handle and file path its loader gives.
  EFI_HANDLE AddLoadedImage(std::unique_ptr<PeImage> Image, EFI_HANDLE DeviceHandle,
                            std::vector<uint8_t> FilePath) {
    return Boot.AddLoadedImage(std::move(Image), DeviceHandle, std::move(FilePath));
  }
  // Loads <ImageDirectory>/<Name>.ffs as the DXE dispatcher does: the file goes into the
  // board's firmware volume (after Edits), the image comes from its PE32 section, DeviceHandle
  // is the volume and FilePath the firmware-file node. LoadDriver... also runs the entry point.
  EFI_HANDLE LoadImageFromFirmwareFile(const std::string &Name, std::string &Error,
                                       const FirmwareFileEdits &Edits = {});
  RunResult LoadDriverFromFirmwareFile(const std::string &Name,
                                       const FirmwareFileEdits &Edits = {});
  void UnloadFailedImage(LoadedImageRecord &Record) { Boot.UnloadFailedImage(Record); }
  // Runs Body as image code would run: halts and crashes of images end it.
  RunResult RunGuardedCall(const std::string &Name, const std::function<uint64_t()> &Body) {
    return Boot.RunGuardedCall(Name, Body);
  }

  // ---- handle database ----
  EFI_HANDLE NewHandle(const std::string &Label) { return Boot.NewHandle(Label); }
  EFI_STATUS Install(EFI_HANDLE *Handle, const EFI_GUID &Guid, void *Interface) {
    return Boot.Install(Handle, Guid, Interface);
  }
  EFI_STATUS Uninstall(EFI_HANDLE Handle, const EFI_GUID &Guid) {
    return Boot.Uninstall(Handle, Guid);
  }
  void UninstallEverywhere(const EFI_GUID &Guid) { Boot.UninstallEverywhere(Guid); }
  void *Protocol(EFI_HANDLE Handle, const EFI_GUID &Guid) const {
    return Boot.Protocol(Handle, Guid);
  }
  std::vector<EFI_HANDLE> HandlesWith(const EFI_GUID &Guid) const { return Boot.HandlesWith(Guid); }
  bool IsHandle(EFI_HANDLE Handle) const { return Boot.IsHandle(Handle); }
  const HandleRecord *Record(EFI_HANDLE Handle) const { return Boot.Record(Handle); }

  // ---- pool and pages ----
  void *AllocatePool(size_t Size, EFI_MEMORY_TYPE Type) { return Boot.AllocatePool(Size, Type); }
  EFI_STATUS FreePool(void *Buffer) { return Boot.FreePool(Buffer); }
  const std::map<const void *, PoolBlock> &PoolBlocks() const { return Boot.PoolBlocks(); }
  size_t LivePoolBlocks() const { return Boot.LivePoolBlocks(); }
  // Fails the next N pool allocations (the driver's out-of-resources paths).
  void FailPoolAllocations(int Count) { Boot.PoolFailures = Count; }
  // Fails one pool allocation of exactly Size bytes, once Skip earlier ones of that size have
  // been served.
  void FailPoolAllocationOfSize(size_t Size, int Skip) {
    Boot.PoolFailureSize = Size;
    Boot.PoolFailureSkip = Skip;
  }
  // Fails the next N AllocatePages calls with EFI_OUT_OF_RESOURCES.
  void FailPageAllocations(int Count) { Boot.PageFailures = Count; }
  int &PageFailures = Boot.PageFailures;
  std::map<uint64_t, PageBlock> &Pages = Boot.Pages;

  // ---- boot script (EFI_BOOT_SCRIPT_SAVE_PROTOCOL) ----
  std::vector<BootScriptEntry> BootScript;
  // When an error, every Write fails with it and records nothing.
  EFI_STATUS BootScriptWriteStatus = EFI_SUCCESS;

  // ---- events, TPL, clock, controllers (kept by the boot services) ----
  EFI_EVENT NewEvent(std::function<bool()> Poll) { return Boot.NewEvent(std::move(Poll)); }
  EventRecord *Event(EFI_EVENT Handle) { return Boot.Event(Handle); }
  EFI_TPL &Tpl = Boot.Tpl;
  std::vector<EFI_TPL> &TplChanges = Boot.TplChanges;
  uint64_t &ClockMicroseconds = Boot.ClockMicroseconds;
  std::vector<std::string> &ControllerCalls = Boot.ControllerCalls;

  // ---- memory search ----
  // Every place of Bytes in the low-memory window, in the used below-4-GiB arena (live and
  // freed pool blocks, pages, images) and on the stack the images ran on, so a test can prove
  // that a secret was wiped.
  // With WatchDeadImageStack(Bytes) before the run, it also names the places below a service
  // call where the images' dead stack held them during the run.
  std::vector<MemoryHit> FindInMemory(const std::vector<uint8_t> &Bytes) const;
  void WatchDeadImageStack(const std::vector<uint8_t> &Bytes) { sim::WatchDeadImageStack(Bytes); }
  bool MemoryContains(const std::vector<uint8_t> &Bytes) const;

  // ---- a new boot ----
  // Keeps non-volatile variables and the board configuration (straps, devices); drops
  // volatile variables, loaded images, handles, pool, the trace and the boot script, and
  // puts the registers that software programs back to their power-on values.
  void Reboot();

private:
  void BuildTables();
  void InstallPlatformProtocols();
  void PowerOnHardware();

  EFI_BOOT_SCRIPT_SAVE_PROTOCOL BootScriptProtocol{};
};

} // namespace sim
