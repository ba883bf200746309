// Framework SMM interfaces (x64): the SMM base protocol, the SMM system table with its CPU
// save-state records, the software-SMI dispatch protocol, the status-code protocols, and the
// platform SMM core's configuration-table entries that the SMM drivers look up.
#pragma once

#include "efi_system_table.h"

struct EFI_SMM_BASE_PROTOCOL;
struct EFI_SMM_SYSTEM_TABLE;
struct EFI_SMM_CPU_IO_INTERFACE;
struct EFI_SMM_SW_DISPATCH_PROTOCOL;

// ---- EFI_SMM_BASE_PROTOCOL --------------------------------------------------------------------
// Called by the SMM core on every SMI, for every callback registered with RegisterCallback.
typedef EFI_STATUS(EFIAPI *EFI_SMM_CALLBACK_ENTRY_POINT)(EFI_HANDLE SmmImageHandle,
                                                         VOID *CommunicationBuffer,
                                                         UINTN *SourceSize);

// Results of an SMM callback.
inline constexpr EFI_STATUS EFI_HANDLER_SUCCESS = 0;
inline constexpr EFI_STATUS EFI_HANDLER_CRITICAL_EXIT = 1;
inline constexpr EFI_STATUS EFI_HANDLER_SOURCE_QUIESCED = 2;
inline constexpr EFI_STATUS EFI_HANDLER_SOURCE_PENDING = 3;

typedef EFI_STATUS(EFIAPI *EFI_SMM_REGISTER_HANDLER)(EFI_SMM_BASE_PROTOCOL *This,
                                                     EFI_DEVICE_PATH_PROTOCOL *FilePath,
                                                     VOID *SourceBuffer, UINTN SourceSize,
                                                     EFI_HANDLE *ImageHandle,
                                                     BOOLEAN LegacyIA32Binary);
typedef EFI_STATUS(EFIAPI *EFI_SMM_UNREGISTER_HANDLER)(EFI_SMM_BASE_PROTOCOL *This,
                                                       EFI_HANDLE ImageHandle);
typedef EFI_STATUS(EFIAPI *EFI_SMM_COMMUNICATE)(EFI_SMM_BASE_PROTOCOL *This, EFI_HANDLE ImageHandle,
                                                VOID *CommunicationBuffer, UINTN *SourceSize);
typedef EFI_STATUS(EFIAPI *EFI_SMM_CALLBACK_SERVICE)(EFI_SMM_BASE_PROTOCOL *This,
                                                     EFI_HANDLE SmmImageHandle,
                                                     EFI_SMM_CALLBACK_ENTRY_POINT CallbackAddress,
                                                     BOOLEAN MakeLast, BOOLEAN FloatingPointSave);
typedef EFI_STATUS(EFIAPI *EFI_SMM_INSIDE_OUT)(EFI_SMM_BASE_PROTOCOL *This, BOOLEAN *InSmm);
typedef EFI_STATUS(EFIAPI *EFI_SMM_ALLOCATE_POOL)(EFI_SMM_BASE_PROTOCOL *This,
                                                  EFI_MEMORY_TYPE PoolType, UINTN Size,
                                                  VOID **Buffer);
typedef EFI_STATUS(EFIAPI *EFI_SMM_FREE_POOL)(EFI_SMM_BASE_PROTOCOL *This, VOID *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_SMM_GET_SMST_LOCATION)(EFI_SMM_BASE_PROTOCOL *This,
                                                      EFI_SMM_SYSTEM_TABLE **Smst);

struct EFI_SMM_BASE_PROTOCOL {
  EFI_SMM_REGISTER_HANDLER Register;
  EFI_SMM_UNREGISTER_HANDLER UnRegister;
  EFI_SMM_COMMUNICATE Communicate;
  EFI_SMM_CALLBACK_SERVICE RegisterCallback;
  EFI_SMM_INSIDE_OUT InSmm;
  EFI_SMM_ALLOCATE_POOL SmmAllocatePool;
  EFI_SMM_FREE_POOL SmmFreePool;
  EFI_SMM_GET_SMST_LOCATION GetSmstLocation;
};
static_assert(sizeof(EFI_SMM_BASE_PROTOCOL) == 64);
static_assert(offsetof(EFI_SMM_BASE_PROTOCOL, UnRegister) == 8 &&
              offsetof(EFI_SMM_BASE_PROTOCOL, Communicate) == 16 &&
              offsetof(EFI_SMM_BASE_PROTOCOL, RegisterCallback) == 24 &&
              offsetof(EFI_SMM_BASE_PROTOCOL, InSmm) == 32 &&
              offsetof(EFI_SMM_BASE_PROTOCOL, SmmAllocatePool) == 40 &&
              offsetof(EFI_SMM_BASE_PROTOCOL, SmmFreePool) == 48 &&
              offsetof(EFI_SMM_BASE_PROTOCOL, GetSmstLocation) == 56);

// ---- SMM CPU I/O, embedded in the SMM system table ----------------------------------------------
typedef enum : UINT32 {
  SMM_IO_UINT8 = 0,
  SMM_IO_UINT16 = 1,
  SMM_IO_UINT32 = 2,
  SMM_IO_UINT64 = 3,
} EFI_SMM_IO_WIDTH;
static_assert(sizeof(EFI_SMM_IO_WIDTH) == 4);

typedef EFI_STATUS(EFIAPI *EFI_SMM_CPU_IO)(EFI_SMM_CPU_IO_INTERFACE *This, EFI_SMM_IO_WIDTH Width,
                                           UINT64 Address, UINTN Count, VOID *Buffer);

typedef struct {
  EFI_SMM_CPU_IO Read;
  EFI_SMM_CPU_IO Write;
} EFI_SMM_IO_ACCESS;

struct EFI_SMM_CPU_IO_INTERFACE {
  EFI_SMM_IO_ACCESS Mem;
  EFI_SMM_IO_ACCESS Io;
};
static_assert(sizeof(EFI_SMM_CPU_IO_INTERFACE) == 32);
static_assert(offsetof(EFI_SMM_CPU_IO_INTERFACE, Io) == 16);

// ---- CPU save state
// ------------------------------------------------------------------------------- The IA-32 record
// mirrors the SMRAM state-save map from SMBASE + 0xFE00 onwards.
typedef struct {
  UINT8 Reserved1[248];
  UINT32 SMBASE;
  UINT32 SMMRevId;
  UINT16 IORestart;
  UINT16 AutoHALTRestart;
  UINT8 Reserved2[164];
  UINT32 ES;
  UINT32 CS;
  UINT32 SS;
  UINT32 DS;
  UINT32 FS;
  UINT32 GS;
  UINT32 LDTBase;
  UINT32 TR;
  UINT32 DR7;
  UINT32 DR6;
  UINT32 EAX;
  UINT32 ECX;
  UINT32 EDX;
  UINT32 EBX;
  UINT32 ESP;
  UINT32 EBP;
  UINT32 ESI;
  UINT32 EDI;
  UINT32 EIP;
  UINT32 EFLAGS;
  UINT32 CR3;
  UINT32 CR0;
} EFI_SMI_CPU_SAVE_STATE;
static_assert(sizeof(EFI_SMI_CPU_SAVE_STATE) == 512 && alignof(EFI_SMI_CPU_SAVE_STATE) == 4);
static_assert(offsetof(EFI_SMI_CPU_SAVE_STATE, SMBASE) == 248 &&
              offsetof(EFI_SMI_CPU_SAVE_STATE, IORestart) == 256 &&
              offsetof(EFI_SMI_CPU_SAVE_STATE, ES) == 424 &&
              offsetof(EFI_SMI_CPU_SAVE_STATE, DR6) == 460 &&
              offsetof(EFI_SMI_CPU_SAVE_STATE, EAX) == 464 &&
              offsetof(EFI_SMI_CPU_SAVE_STATE, ECX) == 468 &&
              offsetof(EFI_SMI_CPU_SAVE_STATE, CR0) == 508);

// The Itanium processor context (89 UINT64) that shares the union with the IA-32 record.
typedef struct {
  UINT64 Registers[89];
} EFI_PMI_SYSTEM_CONTEXT;
static_assert(sizeof(EFI_PMI_SYSTEM_CONTEXT) == 712);

// One record per processor in the SMM system table's CpuSaveState array: 712 bytes apart, with
// the saved EAX at byte 464 of each record.
typedef union {
  EFI_SMI_CPU_SAVE_STATE Ia32SaveState;
  EFI_PMI_SYSTEM_CONTEXT ItaniumSaveState;
} EFI_SMM_CPU_SAVE_STATE;
static_assert(sizeof(EFI_SMM_CPU_SAVE_STATE) == 712 && alignof(EFI_SMM_CPU_SAVE_STATE) == 8);
static_assert(offsetof(EFI_SMM_CPU_SAVE_STATE, Ia32SaveState.EAX) == 464);

// FXSAVE image of one processor.
typedef struct {
  UINT8 Data[512];
} EFI_SMM_FLOATING_POINT_SAVE_STATE;
static_assert(sizeof(EFI_SMM_FLOATING_POINT_SAVE_STATE) == 512);

// ---- EFI_SMM_SYSTEM_TABLE
// -------------------------------------------------------------------------
typedef EFI_STATUS(EFIAPI *EFI_SMM_INSTALL_CONFIGURATION_TABLE)(EFI_SMM_SYSTEM_TABLE *SystemTable,
                                                                EFI_GUID *Guid, VOID *Table,
                                                                UINTN TableSize);
typedef EFI_STATUS(EFIAPI *EFI_SMMCORE_ALLOCATE_POOL)(EFI_MEMORY_TYPE PoolType, UINTN Size,
                                                      VOID **Buffer);
typedef EFI_STATUS(EFIAPI *EFI_SMMCORE_FREE_POOL)(VOID *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_SMMCORE_ALLOCATE_PAGES)(EFI_ALLOCATE_TYPE Type,
                                                       EFI_MEMORY_TYPE MemoryType,
                                                       UINTN NumberOfPages,
                                                       EFI_PHYSICAL_ADDRESS *Memory);
typedef EFI_STATUS(EFIAPI *EFI_SMMCORE_FREE_PAGES)(EFI_PHYSICAL_ADDRESS Memory,
                                                   UINTN NumberOfPages);
typedef VOID(EFIAPI *EFI_AP_PROCEDURE)(VOID *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_SMM_STARTUP_THIS_AP)(EFI_AP_PROCEDURE Procedure, UINTN CpuNumber,
                                                    VOID *ProcArguments);

struct EFI_SMM_SYSTEM_TABLE {
  EFI_TABLE_HEADER Hdr;
  CHAR16 *SmmFirmwareVendor;
  UINT32 SmmFirmwareRevision;
  EFI_SMM_INSTALL_CONFIGURATION_TABLE SmmInstallConfigurationTable;
  EFI_GUID EfiSmmCpuIoGuid;
  EFI_SMM_CPU_IO_INTERFACE SmmIo;
  EFI_SMMCORE_ALLOCATE_POOL SmmAllocatePool;
  EFI_SMMCORE_FREE_POOL SmmFreePool;
  EFI_SMMCORE_ALLOCATE_PAGES SmmAllocatePages;
  EFI_SMMCORE_FREE_PAGES SmmFreePages;
  EFI_SMM_STARTUP_THIS_AP SmmStartupThisAp;
  // 1-based number of the processor that runs the SMI handlers.
  UINTN CurrentlyExecutingCpu;
  UINTN NumberOfCpus;
  EFI_SMM_CPU_SAVE_STATE *CpuSaveState;
  EFI_SMM_FLOATING_POINT_SAVE_STATE *CpuOptionalFloatingPointState;
  UINTN NumberOfTableEntries;
  EFI_CONFIGURATION_TABLE *SmmConfigurationTable;
};
static_assert(sizeof(EFI_SMM_SYSTEM_TABLE) == 184);
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE, SmmFirmwareVendor) == 24 &&
              offsetof(EFI_SMM_SYSTEM_TABLE, SmmFirmwareRevision) == 32 &&
              offsetof(EFI_SMM_SYSTEM_TABLE, SmmInstallConfigurationTable) == 40 &&
              offsetof(EFI_SMM_SYSTEM_TABLE, EfiSmmCpuIoGuid) == 48 &&
              offsetof(EFI_SMM_SYSTEM_TABLE, SmmIo) == 64 &&
              offsetof(EFI_SMM_SYSTEM_TABLE, SmmIo.Io.Write) == 88 &&
              offsetof(EFI_SMM_SYSTEM_TABLE, SmmAllocatePool) == 96 &&
              offsetof(EFI_SMM_SYSTEM_TABLE, SmmFreePool) == 104 &&
              offsetof(EFI_SMM_SYSTEM_TABLE, SmmAllocatePages) == 112 &&
              offsetof(EFI_SMM_SYSTEM_TABLE, SmmFreePages) == 120 &&
              offsetof(EFI_SMM_SYSTEM_TABLE, SmmStartupThisAp) == 128 &&
              offsetof(EFI_SMM_SYSTEM_TABLE, CurrentlyExecutingCpu) == 136 &&
              offsetof(EFI_SMM_SYSTEM_TABLE, NumberOfCpus) == 144 &&
              offsetof(EFI_SMM_SYSTEM_TABLE, CpuSaveState) == 152 &&
              offsetof(EFI_SMM_SYSTEM_TABLE, CpuOptionalFloatingPointState) == 160 &&
              offsetof(EFI_SMM_SYSTEM_TABLE, NumberOfTableEntries) == 168 &&
              offsetof(EFI_SMM_SYSTEM_TABLE, SmmConfigurationTable) == 176);

inline constexpr UINT64 SMM_SMST_SIGNATURE = 0x54534D53; // "SMST"
inline constexpr UINT32 EFI_SMM_SYSTEM_TABLE_REVISION = (0 << 16) | 0x09;
inline constexpr EFI_GUID EFI_SMM_CPU_IO_GUID = {
    0x5F439A0B, 0x45D8, 0x4682, {0xA4, 0xF4, 0xF0, 0x57, 0x6B, 0x51, 0x34, 0x41}};

// ---- EFI_SMM_SW_DISPATCH_PROTOCOL -------------------------------------------------------------
typedef struct {
  UINTN SwSmiInputValue;
} EFI_SMM_SW_DISPATCH_CONTEXT;
static_assert(sizeof(EFI_SMM_SW_DISPATCH_CONTEXT) == 8);

typedef VOID(EFIAPI *EFI_SMM_SW_DISPATCH)(EFI_HANDLE DispatchHandle,
                                          EFI_SMM_SW_DISPATCH_CONTEXT *DispatchContext);
typedef EFI_STATUS(EFIAPI *EFI_SMM_SW_REGISTER)(EFI_SMM_SW_DISPATCH_PROTOCOL *This,
                                                EFI_SMM_SW_DISPATCH DispatchFunction,
                                                EFI_SMM_SW_DISPATCH_CONTEXT *DispatchContext,
                                                EFI_HANDLE *DispatchHandle);
typedef EFI_STATUS(EFIAPI *EFI_SMM_SW_UNREGISTER)(EFI_SMM_SW_DISPATCH_PROTOCOL *This,
                                                  EFI_HANDLE DispatchHandle);

struct EFI_SMM_SW_DISPATCH_PROTOCOL {
  EFI_SMM_SW_REGISTER Register;
  EFI_SMM_SW_UNREGISTER UnRegister;
  UINTN MaximumSwiValue;
};
static_assert(sizeof(EFI_SMM_SW_DISPATCH_PROTOCOL) == 24);
static_assert(offsetof(EFI_SMM_SW_DISPATCH_PROTOCOL, UnRegister) == 8 &&
              offsetof(EFI_SMM_SW_DISPATCH_PROTOCOL, MaximumSwiValue) == 16);

// ---- Status-code protocols ----------------------------------------------------------------------
typedef struct {
  UINT16 HeaderSize;
  UINT16 Size;
  EFI_GUID Type;
} EFI_STATUS_CODE_DATA;
static_assert(sizeof(EFI_STATUS_CODE_DATA) == 20 && offsetof(EFI_STATUS_CODE_DATA, Type) == 4);

// EFI_STATUS_CODE_RUNTIME_PROTOCOL_GUID: the status-code service outside SMM.
typedef EFI_STATUS(EFIAPI *EFI_REPORT_STATUS_CODE)(UINT32 CodeType, UINT32 Value, UINT32 Instance,
                                                   const EFI_GUID *CallerId,
                                                   EFI_STATUS_CODE_DATA *Data);
typedef struct {
  EFI_REPORT_STATUS_CODE ReportStatusCode;
} EFI_STATUS_CODE_PROTOCOL;
static_assert(sizeof(EFI_STATUS_CODE_PROTOCOL) == 8);

// EFI_SMM_STATUS_CODE_PROTOCOL_GUID: the status-code service inside SMM.
struct EFI_SMM_STATUS_CODE_PROTOCOL;
typedef EFI_STATUS(EFIAPI *EFI_SMM_REPORT_STATUS_CODE)(EFI_SMM_STATUS_CODE_PROTOCOL *This,
                                                       UINT32 CodeType, UINT32 Value,
                                                       UINT32 Instance, const EFI_GUID *CallerId,
                                                       EFI_STATUS_CODE_DATA *Data);
struct EFI_SMM_STATUS_CODE_PROTOCOL {
  EFI_SMM_REPORT_STATUS_CODE ReportStatusCode;
};
static_assert(sizeof(EFI_SMM_STATUS_CODE_PROTOCOL) == 8);

// ---- The platform SMM core's configuration-table entries
// ------------------------------------------- SMM_CPU_INDEX_TABLE_GUID: the table starts with the
// 0-based index of the processor whose saved state holds the registers of the caller of the current
// SMI.
typedef struct {
  UINTN CpuIndex;
} SMM_CPU_INDEX_TABLE;
static_assert(sizeof(SMM_CPU_INDEX_TABLE) == 8);

// SMM_VARIABLE_SERVICES_TABLE_GUID: the variable read function, with GetVariable's arguments and
// result, lies at byte offset 28 (not naturally aligned).
#pragma pack(push, 1)
typedef struct {
  UINT8 Header[28];
  EFI_GET_VARIABLE GetVariable;
} SMM_VARIABLE_SERVICES_TABLE;
#pragma pack(pop)
static_assert(sizeof(SMM_VARIABLE_SERVICES_TABLE) == 36 &&
              offsetof(SMM_VARIABLE_SERVICES_TABLE, GetVariable) == 28);
