// EFI system table, boot services, runtime services and the text console protocols (x64).
#pragma once

#include "efi_types.h"

struct EFI_SIMPLE_TEXT_INPUT_PROTOCOL;
struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL;
struct EFI_BOOT_SERVICES;
struct EFI_RUNTIME_SERVICES;

// ---- Text input -------------------------------------------------------------------------------
typedef EFI_STATUS(EFIAPI *EFI_INPUT_RESET)(EFI_SIMPLE_TEXT_INPUT_PROTOCOL *This,
                                            BOOLEAN ExtendedVerification);
typedef EFI_STATUS(EFIAPI *EFI_INPUT_READ_KEY)(EFI_SIMPLE_TEXT_INPUT_PROTOCOL *This,
                                               EFI_INPUT_KEY *Key);

struct EFI_SIMPLE_TEXT_INPUT_PROTOCOL {
  EFI_INPUT_RESET Reset;
  EFI_INPUT_READ_KEY ReadKeyStroke;
  EFI_EVENT WaitForKey;
};
static_assert(sizeof(EFI_SIMPLE_TEXT_INPUT_PROTOCOL) == 24);
static_assert(offsetof(EFI_SIMPLE_TEXT_INPUT_PROTOCOL, ReadKeyStroke) == 8 &&
              offsetof(EFI_SIMPLE_TEXT_INPUT_PROTOCOL, WaitForKey) == 16);

inline constexpr UINT16 SCAN_NULL = 0x00;
inline constexpr UINT16 SCAN_F1 = 0x0B;
inline constexpr UINT16 SCAN_F2 = 0x0C;
inline constexpr UINT16 SCAN_F3 = 0x0D;
inline constexpr UINT16 SCAN_F4 = 0x0E;
inline constexpr UINT16 SCAN_ESC = 0x17;
inline constexpr CHAR16 CHAR_BACKSPACE = 0x08;
inline constexpr CHAR16 CHAR_TAB = 0x09;
inline constexpr CHAR16 CHAR_CARRIAGE_RETURN = 0x0D;

// ---- Text output ------------------------------------------------------------------------------
typedef struct {
  INT32 MaxMode;
  INT32 Mode;
  INT32 Attribute;
  INT32 CursorColumn;
  INT32 CursorRow;
  BOOLEAN CursorVisible;
} SIMPLE_TEXT_OUTPUT_MODE;
static_assert(sizeof(SIMPLE_TEXT_OUTPUT_MODE) == 24);
static_assert(offsetof(SIMPLE_TEXT_OUTPUT_MODE, Attribute) == 8 &&
              offsetof(SIMPLE_TEXT_OUTPUT_MODE, CursorRow) == 16 &&
              offsetof(SIMPLE_TEXT_OUTPUT_MODE, CursorVisible) == 20);

typedef EFI_STATUS(EFIAPI *EFI_TEXT_RESET)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This,
                                           BOOLEAN ExtendedVerification);
typedef EFI_STATUS(EFIAPI *EFI_TEXT_STRING)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This,
                                            const CHAR16 *String);
typedef EFI_STATUS(EFIAPI *EFI_TEXT_QUERY_MODE)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This,
                                                UINTN ModeNumber, UINTN *Columns, UINTN *Rows);
typedef EFI_STATUS(EFIAPI *EFI_TEXT_SET_MODE)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This,
                                              UINTN ModeNumber);
typedef EFI_STATUS(EFIAPI *EFI_TEXT_SET_ATTRIBUTE)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This,
                                                   UINTN Attribute);
typedef EFI_STATUS(EFIAPI *EFI_TEXT_CLEAR_SCREEN)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This);
typedef EFI_STATUS(EFIAPI *EFI_TEXT_SET_CURSOR_POSITION)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This,
                                                         UINTN Column, UINTN Row);
typedef EFI_STATUS(EFIAPI *EFI_TEXT_ENABLE_CURSOR)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This,
                                                   BOOLEAN Visible);

struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL {
  EFI_TEXT_RESET Reset;
  EFI_TEXT_STRING OutputString;
  EFI_TEXT_STRING TestString;
  EFI_TEXT_QUERY_MODE QueryMode;
  EFI_TEXT_SET_MODE SetMode;
  EFI_TEXT_SET_ATTRIBUTE SetAttribute;
  EFI_TEXT_CLEAR_SCREEN ClearScreen;
  EFI_TEXT_SET_CURSOR_POSITION SetCursorPosition;
  EFI_TEXT_ENABLE_CURSOR EnableCursor;
  SIMPLE_TEXT_OUTPUT_MODE *Mode;
};
static_assert(sizeof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL) == 80);
static_assert(offsetof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, OutputString) == 8 &&
              offsetof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, QueryMode) == 24 &&
              offsetof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, SetMode) == 32 &&
              offsetof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, SetAttribute) == 40 &&
              offsetof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, ClearScreen) == 48 &&
              offsetof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, SetCursorPosition) == 56 &&
              offsetof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, EnableCursor) == 64 &&
              offsetof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, Mode) == 72);

inline constexpr UINTN EFI_WHITE = 0x0F;
inline constexpr UINTN EFI_BACKGROUND_BLUE = 0x10;

// ---- Boot services ----------------------------------------------------------------------------
typedef enum : UINT32 {
  AllHandles = 0,
  ByRegisterNotify = 1,
  ByProtocol = 2,
} EFI_LOCATE_SEARCH_TYPE;
static_assert(sizeof(EFI_LOCATE_SEARCH_TYPE) == 4);

typedef enum : UINT32 {
  EFI_NATIVE_INTERFACE = 0,
} EFI_INTERFACE_TYPE;

// OpenProtocol attributes.
inline constexpr UINT32 EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL = 0x01;
inline constexpr UINT32 EFI_OPEN_PROTOCOL_GET_PROTOCOL = 0x02;
inline constexpr UINT32 EFI_OPEN_PROTOCOL_TEST_PROTOCOL = 0x04;
inline constexpr UINT32 EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER = 0x08;
inline constexpr UINT32 EFI_OPEN_PROTOCOL_BY_DRIVER = 0x10;
inline constexpr UINT32 EFI_OPEN_PROTOCOL_EXCLUSIVE = 0x20;

typedef VOID(EFIAPI *EFI_EVENT_NOTIFY)(EFI_EVENT Event, VOID *Context);
typedef EFI_TPL(EFIAPI *EFI_RAISE_TPL)(EFI_TPL NewTpl);
typedef VOID(EFIAPI *EFI_RESTORE_TPL)(EFI_TPL OldTpl);
typedef EFI_STATUS(EFIAPI *EFI_ALLOCATE_PAGES)(EFI_ALLOCATE_TYPE Type, EFI_MEMORY_TYPE MemoryType,
                                               UINTN Pages, EFI_PHYSICAL_ADDRESS *Memory);
typedef EFI_STATUS(EFIAPI *EFI_FREE_PAGES)(EFI_PHYSICAL_ADDRESS Memory, UINTN Pages);
typedef EFI_STATUS(EFIAPI *EFI_GET_MEMORY_MAP)(UINTN *MemoryMapSize, VOID *MemoryMap, UINTN *MapKey,
                                               UINTN *DescriptorSize, UINT32 *DescriptorVersion);
typedef EFI_STATUS(EFIAPI *EFI_ALLOCATE_POOL)(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer);
typedef EFI_STATUS(EFIAPI *EFI_FREE_POOL)(VOID *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_CREATE_EVENT)(UINT32 Type, EFI_TPL NotifyTpl,
                                             EFI_EVENT_NOTIFY NotifyFunction, VOID *NotifyContext,
                                             EFI_EVENT *Event);
typedef EFI_STATUS(EFIAPI *EFI_SET_TIMER)(EFI_EVENT Event, UINT32 Type, UINT64 TriggerTime);
typedef EFI_STATUS(EFIAPI *EFI_WAIT_FOR_EVENT)(UINTN NumberOfEvents, EFI_EVENT *Event,
                                               UINTN *Index);
typedef EFI_STATUS(EFIAPI *EFI_SIGNAL_EVENT)(EFI_EVENT Event);
typedef EFI_STATUS(EFIAPI *EFI_CLOSE_EVENT)(EFI_EVENT Event);
typedef EFI_STATUS(EFIAPI *EFI_CHECK_EVENT)(EFI_EVENT Event);
typedef EFI_STATUS(EFIAPI *EFI_INSTALL_PROTOCOL_INTERFACE)(EFI_HANDLE *Handle,
                                                           const EFI_GUID *Protocol,
                                                           EFI_INTERFACE_TYPE InterfaceType,
                                                           VOID *Interface);
typedef EFI_STATUS(EFIAPI *EFI_REINSTALL_PROTOCOL_INTERFACE)(EFI_HANDLE Handle,
                                                             const EFI_GUID *Protocol,
                                                             VOID *OldInterface,
                                                             VOID *NewInterface);
typedef EFI_STATUS(EFIAPI *EFI_UNINSTALL_PROTOCOL_INTERFACE)(EFI_HANDLE Handle,
                                                             const EFI_GUID *Protocol,
                                                             VOID *Interface);
typedef EFI_STATUS(EFIAPI *EFI_HANDLE_PROTOCOL)(EFI_HANDLE Handle, const EFI_GUID *Protocol,
                                                VOID **Interface);
typedef EFI_STATUS(EFIAPI *EFI_REGISTER_PROTOCOL_NOTIFY)(const EFI_GUID *Protocol, EFI_EVENT Event,
                                                         VOID **Registration);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_HANDLE)(EFI_LOCATE_SEARCH_TYPE SearchType,
                                              const EFI_GUID *Protocol, VOID *SearchKey,
                                              UINTN *BufferSize, EFI_HANDLE *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_DEVICE_PATH)(const EFI_GUID *Protocol,
                                                   EFI_DEVICE_PATH_PROTOCOL **DevicePath,
                                                   EFI_HANDLE *Device);
typedef EFI_STATUS(EFIAPI *EFI_INSTALL_CONFIGURATION_TABLE)(const EFI_GUID *Guid, VOID *Table);
typedef EFI_STATUS(EFIAPI *EFI_IMAGE_LOAD)(BOOLEAN BootPolicy, EFI_HANDLE ParentImageHandle,
                                           EFI_DEVICE_PATH_PROTOCOL *DevicePath, VOID *SourceBuffer,
                                           UINTN SourceSize, EFI_HANDLE *ImageHandle);
typedef EFI_STATUS(EFIAPI *EFI_IMAGE_START)(EFI_HANDLE ImageHandle, UINTN *ExitDataSize,
                                            CHAR16 **ExitData);
typedef EFI_STATUS(EFIAPI *EFI_EXIT)(EFI_HANDLE ImageHandle, EFI_STATUS ExitStatus,
                                     UINTN ExitDataSize, CHAR16 *ExitData);
typedef EFI_STATUS(EFIAPI *EFI_IMAGE_UNLOAD)(EFI_HANDLE ImageHandle);
typedef EFI_STATUS(EFIAPI *EFI_EXIT_BOOT_SERVICES)(EFI_HANDLE ImageHandle, UINTN MapKey);
typedef EFI_STATUS(EFIAPI *EFI_GET_NEXT_MONOTONIC_COUNT)(UINT64 *Count);
typedef EFI_STATUS(EFIAPI *EFI_STALL)(UINTN Microseconds);
typedef EFI_STATUS(EFIAPI *EFI_SET_WATCHDOG_TIMER)(UINTN Timeout, UINT64 WatchdogCode,
                                                   UINTN DataSize, CHAR16 *WatchdogData);
typedef EFI_STATUS(EFIAPI *EFI_CONNECT_CONTROLLER)(EFI_HANDLE ControllerHandle,
                                                   EFI_HANDLE *DriverImageHandle,
                                                   EFI_DEVICE_PATH_PROTOCOL *RemainingDevicePath,
                                                   BOOLEAN Recursive);
typedef EFI_STATUS(EFIAPI *EFI_DISCONNECT_CONTROLLER)(EFI_HANDLE ControllerHandle,
                                                      EFI_HANDLE DriverImageHandle,
                                                      EFI_HANDLE ChildHandle);
typedef EFI_STATUS(EFIAPI *EFI_OPEN_PROTOCOL)(EFI_HANDLE Handle, const EFI_GUID *Protocol,
                                              VOID **Interface, EFI_HANDLE AgentHandle,
                                              EFI_HANDLE ControllerHandle, UINT32 Attributes);
typedef EFI_STATUS(EFIAPI *EFI_CLOSE_PROTOCOL)(EFI_HANDLE Handle, const EFI_GUID *Protocol,
                                               EFI_HANDLE AgentHandle, EFI_HANDLE ControllerHandle);
typedef EFI_STATUS(EFIAPI *EFI_OPEN_PROTOCOL_INFORMATION)(EFI_HANDLE Handle,
                                                          const EFI_GUID *Protocol,
                                                          VOID **EntryBuffer, UINTN *EntryCount);
typedef EFI_STATUS(EFIAPI *EFI_PROTOCOLS_PER_HANDLE)(EFI_HANDLE Handle, EFI_GUID ***ProtocolBuffer,
                                                     UINTN *ProtocolBufferCount);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_HANDLE_BUFFER)(EFI_LOCATE_SEARCH_TYPE SearchType,
                                                     const EFI_GUID *Protocol, VOID *SearchKey,
                                                     UINTN *NoHandles, EFI_HANDLE **Buffer);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_PROTOCOL)(const EFI_GUID *Protocol, VOID *Registration,
                                                VOID **Interface);
// Variadic: (GUID pointer, interface pointer) pairs ended by a NULL GUID pointer.
typedef EFI_STATUS(EFIAPI *EFI_INSTALL_MULTIPLE_PROTOCOL_INTERFACES)(EFI_HANDLE *Handle, ...);
typedef EFI_STATUS(EFIAPI *EFI_UNINSTALL_MULTIPLE_PROTOCOL_INTERFACES)(EFI_HANDLE Handle, ...);
typedef EFI_STATUS(EFIAPI *EFI_CALCULATE_CRC32)(VOID *Data, UINTN DataSize, UINT32 *Crc32);
typedef VOID(EFIAPI *EFI_COPY_MEM)(VOID *Destination, const VOID *Source, UINTN Length);
typedef VOID(EFIAPI *EFI_SET_MEM)(VOID *Buffer, UINTN Size, UINT8 Value);
typedef EFI_STATUS(EFIAPI *EFI_CREATE_EVENT_EX)(UINT32 Type, EFI_TPL NotifyTpl,
                                                EFI_EVENT_NOTIFY NotifyFunction,
                                                const VOID *NotifyContext,
                                                const EFI_GUID *EventGroup, EFI_EVENT *Event);

struct EFI_BOOT_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_RAISE_TPL RaiseTPL;
  EFI_RESTORE_TPL RestoreTPL;
  EFI_ALLOCATE_PAGES AllocatePages;
  EFI_FREE_PAGES FreePages;
  EFI_GET_MEMORY_MAP GetMemoryMap;
  EFI_ALLOCATE_POOL AllocatePool;
  EFI_FREE_POOL FreePool;
  EFI_CREATE_EVENT CreateEvent;
  EFI_SET_TIMER SetTimer;
  EFI_WAIT_FOR_EVENT WaitForEvent;
  EFI_SIGNAL_EVENT SignalEvent;
  EFI_CLOSE_EVENT CloseEvent;
  EFI_CHECK_EVENT CheckEvent;
  EFI_INSTALL_PROTOCOL_INTERFACE InstallProtocolInterface;
  EFI_REINSTALL_PROTOCOL_INTERFACE ReinstallProtocolInterface;
  EFI_UNINSTALL_PROTOCOL_INTERFACE UninstallProtocolInterface;
  EFI_HANDLE_PROTOCOL HandleProtocol;
  VOID *Reserved;
  EFI_REGISTER_PROTOCOL_NOTIFY RegisterProtocolNotify;
  EFI_LOCATE_HANDLE LocateHandle;
  EFI_LOCATE_DEVICE_PATH LocateDevicePath;
  EFI_INSTALL_CONFIGURATION_TABLE InstallConfigurationTable;
  EFI_IMAGE_LOAD LoadImage;
  EFI_IMAGE_START StartImage;
  EFI_EXIT Exit;
  EFI_IMAGE_UNLOAD UnloadImage;
  EFI_EXIT_BOOT_SERVICES ExitBootServices;
  EFI_GET_NEXT_MONOTONIC_COUNT GetNextMonotonicCount;
  EFI_STALL Stall;
  EFI_SET_WATCHDOG_TIMER SetWatchdogTimer;
  EFI_CONNECT_CONTROLLER ConnectController;
  EFI_DISCONNECT_CONTROLLER DisconnectController;
  EFI_OPEN_PROTOCOL OpenProtocol;
  EFI_CLOSE_PROTOCOL CloseProtocol;
  EFI_OPEN_PROTOCOL_INFORMATION OpenProtocolInformation;
  EFI_PROTOCOLS_PER_HANDLE ProtocolsPerHandle;
  EFI_LOCATE_HANDLE_BUFFER LocateHandleBuffer;
  EFI_LOCATE_PROTOCOL LocateProtocol;
  EFI_INSTALL_MULTIPLE_PROTOCOL_INTERFACES InstallMultipleProtocolInterfaces;
  EFI_UNINSTALL_MULTIPLE_PROTOCOL_INTERFACES UninstallMultipleProtocolInterfaces;
  EFI_CALCULATE_CRC32 CalculateCrc32;
  EFI_COPY_MEM CopyMem;
  EFI_SET_MEM SetMem;
  EFI_CREATE_EVENT_EX CreateEventEx;
};
static_assert(sizeof(EFI_BOOT_SERVICES) == 376);
static_assert(offsetof(EFI_BOOT_SERVICES, RaiseTPL) == 24 &&
              offsetof(EFI_BOOT_SERVICES, RestoreTPL) == 32 &&
              offsetof(EFI_BOOT_SERVICES, AllocatePages) == 40 &&
              offsetof(EFI_BOOT_SERVICES, FreePages) == 48 &&
              offsetof(EFI_BOOT_SERVICES, AllocatePool) == 64 &&
              offsetof(EFI_BOOT_SERVICES, FreePool) == 72 &&
              offsetof(EFI_BOOT_SERVICES, WaitForEvent) == 96 &&
              offsetof(EFI_BOOT_SERVICES, InstallProtocolInterface) == 128 &&
              offsetof(EFI_BOOT_SERVICES, HandleProtocol) == 152 &&
              offsetof(EFI_BOOT_SERVICES, LocateHandle) == 176 &&
              offsetof(EFI_BOOT_SERVICES, LoadImage) == 200 &&
              offsetof(EFI_BOOT_SERVICES, StartImage) == 208 &&
              offsetof(EFI_BOOT_SERVICES, ExitBootServices) == 232 &&
              offsetof(EFI_BOOT_SERVICES, Stall) == 248 &&
              offsetof(EFI_BOOT_SERVICES, ConnectController) == 264 &&
              offsetof(EFI_BOOT_SERVICES, DisconnectController) == 272 &&
              offsetof(EFI_BOOT_SERVICES, OpenProtocol) == 280 &&
              offsetof(EFI_BOOT_SERVICES, LocateHandleBuffer) == 312 &&
              offsetof(EFI_BOOT_SERVICES, LocateProtocol) == 320 &&
              offsetof(EFI_BOOT_SERVICES, InstallMultipleProtocolInterfaces) == 328 &&
              offsetof(EFI_BOOT_SERVICES, CalculateCrc32) == 344 &&
              offsetof(EFI_BOOT_SERVICES, CopyMem) == 352 &&
              offsetof(EFI_BOOT_SERVICES, SetMem) == 360 &&
              offsetof(EFI_BOOT_SERVICES, CreateEventEx) == 368);

inline constexpr UINT64 EFI_BOOT_SERVICES_SIGNATURE = 0x56524553544F4F42ull; // "BOOTSERV"

// ---- Runtime services -------------------------------------------------------------------------
typedef EFI_STATUS(EFIAPI *EFI_GET_VARIABLE)(const CHAR16 *VariableName, const EFI_GUID *VendorGuid,
                                             UINT32 *Attributes, UINTN *DataSize, VOID *Data);
typedef EFI_STATUS(EFIAPI *EFI_GET_NEXT_VARIABLE_NAME)(UINTN *VariableNameSize,
                                                       CHAR16 *VariableName, EFI_GUID *VendorGuid);
typedef EFI_STATUS(EFIAPI *EFI_SET_VARIABLE)(const CHAR16 *VariableName, const EFI_GUID *VendorGuid,
                                             UINT32 Attributes, UINTN DataSize, const VOID *Data);
typedef VOID(EFIAPI *EFI_RESET_SYSTEM)(UINT32 ResetType, EFI_STATUS ResetStatus, UINTN DataSize,
                                       VOID *ResetData);
typedef EFI_STATUS(EFIAPI *EFI_RUNTIME_SERVICE_UNUSED)();

struct EFI_RUNTIME_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_RUNTIME_SERVICE_UNUSED GetTime;
  EFI_RUNTIME_SERVICE_UNUSED SetTime;
  EFI_RUNTIME_SERVICE_UNUSED GetWakeupTime;
  EFI_RUNTIME_SERVICE_UNUSED SetWakeupTime;
  EFI_RUNTIME_SERVICE_UNUSED SetVirtualAddressMap;
  EFI_RUNTIME_SERVICE_UNUSED ConvertPointer;
  EFI_GET_VARIABLE GetVariable;
  EFI_GET_NEXT_VARIABLE_NAME GetNextVariableName;
  EFI_SET_VARIABLE SetVariable;
  EFI_RUNTIME_SERVICE_UNUSED GetNextHighMonotonicCount;
  EFI_RESET_SYSTEM ResetSystem;
  EFI_RUNTIME_SERVICE_UNUSED UpdateCapsule;
  EFI_RUNTIME_SERVICE_UNUSED QueryCapsuleCapabilities;
  EFI_RUNTIME_SERVICE_UNUSED QueryVariableInfo;
};
static_assert(sizeof(EFI_RUNTIME_SERVICES) == 136);
static_assert(offsetof(EFI_RUNTIME_SERVICES, GetVariable) == 72 &&
              offsetof(EFI_RUNTIME_SERVICES, GetNextVariableName) == 80 &&
              offsetof(EFI_RUNTIME_SERVICES, SetVariable) == 88 &&
              offsetof(EFI_RUNTIME_SERVICES, ResetSystem) == 104 &&
              offsetof(EFI_RUNTIME_SERVICES, QueryVariableInfo) == 128);

inline constexpr UINT64 EFI_RUNTIME_SERVICES_SIGNATURE = 0x56524553544E5552ull; // "RUNTSERV"

// ---- System table -----------------------------------------------------------------------------
typedef struct {
  EFI_TABLE_HEADER Hdr;
  CHAR16 *FirmwareVendor;
  UINT32 FirmwareRevision;
  EFI_HANDLE ConsoleInHandle;
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL *ConIn;
  EFI_HANDLE ConsoleOutHandle;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *ConOut;
  EFI_HANDLE StandardErrorHandle;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *StdErr;
  EFI_RUNTIME_SERVICES *RuntimeServices;
  EFI_BOOT_SERVICES *BootServices;
  UINTN NumberOfTableEntries;
  EFI_CONFIGURATION_TABLE *ConfigurationTable;
} EFI_SYSTEM_TABLE;
static_assert(sizeof(EFI_SYSTEM_TABLE) == 120);
static_assert(offsetof(EFI_SYSTEM_TABLE, FirmwareVendor) == 24 &&
              offsetof(EFI_SYSTEM_TABLE, FirmwareRevision) == 32 &&
              offsetof(EFI_SYSTEM_TABLE, ConsoleInHandle) == 40 &&
              offsetof(EFI_SYSTEM_TABLE, ConIn) == 48 &&
              offsetof(EFI_SYSTEM_TABLE, ConsoleOutHandle) == 56 &&
              offsetof(EFI_SYSTEM_TABLE, ConOut) == 64 &&
              offsetof(EFI_SYSTEM_TABLE, StdErr) == 80 &&
              offsetof(EFI_SYSTEM_TABLE, RuntimeServices) == 88 &&
              offsetof(EFI_SYSTEM_TABLE, BootServices) == 96 &&
              offsetof(EFI_SYSTEM_TABLE, NumberOfTableEntries) == 104 &&
              offsetof(EFI_SYSTEM_TABLE, ConfigurationTable) == 112);

inline constexpr UINT64 EFI_SYSTEM_TABLE_SIGNATURE = 0x5453595320494249ull; // "IBI SYST"

typedef EFI_STATUS(EFIAPI *EFI_IMAGE_ENTRY_POINT)(EFI_HANDLE ImageHandle,
                                                  EFI_SYSTEM_TABLE *SystemTable);
