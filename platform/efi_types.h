// Base UEFI types, status values and small shared structures (x64).
//
// Both builds include this header: the firmware build (freestanding, Microsoft x64 ABI by
// default) and the host build (System V by default), so every function pointer that crosses
// the firmware interface is marked EFIAPI, which is the Microsoft x64 convention in both.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define EFIAPI __attribute__((ms_abi))

typedef uint8_t UINT8;
typedef uint16_t UINT16;
typedef uint32_t UINT32;
typedef uint64_t UINT64;
typedef int8_t INT8;
typedef int16_t INT16;
typedef int32_t INT32;
typedef int64_t INT64;
typedef uint64_t UINTN;
typedef int64_t INTN;
typedef unsigned char BOOLEAN;
typedef char16_t CHAR16;
typedef char CHAR8;
typedef void VOID;

typedef UINTN EFI_STATUS;
typedef VOID *EFI_HANDLE;
typedef VOID *EFI_EVENT;
typedef UINTN EFI_TPL;
typedef UINT64 EFI_PHYSICAL_ADDRESS;

#ifndef TRUE
#define TRUE  ((BOOLEAN)1)
#define FALSE ((BOOLEAN)0)
#endif

static_assert(sizeof(UINTN) == 8 && sizeof(VOID *) == 8, "x64 only");
static_assert(sizeof(CHAR16) == 2 && sizeof(BOOLEAN) == 1);

// ---- Status values -------------------------------------------------------------------------
inline constexpr UINTN EFI_ERROR_BIT = 0x8000000000000000ull;
constexpr bool EFI_ERROR(EFI_STATUS Status) {
  return (Status & EFI_ERROR_BIT) != 0;
}
constexpr EFI_STATUS EfiErrorCode(UINTN Number) {
  return EFI_ERROR_BIT | Number;
}

inline constexpr EFI_STATUS EFI_SUCCESS = 0;
inline constexpr EFI_STATUS EFI_LOAD_ERROR = EfiErrorCode(1);
inline constexpr EFI_STATUS EFI_INVALID_PARAMETER = EfiErrorCode(2);
inline constexpr EFI_STATUS EFI_UNSUPPORTED = EfiErrorCode(3);
inline constexpr EFI_STATUS EFI_BAD_BUFFER_SIZE = EfiErrorCode(4);
inline constexpr EFI_STATUS EFI_BUFFER_TOO_SMALL = EfiErrorCode(5);
inline constexpr EFI_STATUS EFI_NOT_READY = EfiErrorCode(6);
inline constexpr EFI_STATUS EFI_DEVICE_ERROR = EfiErrorCode(7);
inline constexpr EFI_STATUS EFI_WRITE_PROTECTED = EfiErrorCode(8);
inline constexpr EFI_STATUS EFI_OUT_OF_RESOURCES = EfiErrorCode(9);
inline constexpr EFI_STATUS EFI_VOLUME_FULL = EfiErrorCode(11);
inline constexpr EFI_STATUS EFI_NOT_FOUND = EfiErrorCode(14);
inline constexpr EFI_STATUS EFI_ACCESS_DENIED = EfiErrorCode(15);
inline constexpr EFI_STATUS EFI_ALREADY_STARTED = EfiErrorCode(20);
inline constexpr EFI_STATUS EFI_ABORTED = EfiErrorCode(21);
inline constexpr EFI_STATUS EFI_SECURITY_VIOLATION = EfiErrorCode(26);
inline constexpr EFI_STATUS EFI_WARN_BUFFER_TOO_SMALL = 4;

// ---- Task priority levels ------------------------------------------------------------------
inline constexpr EFI_TPL TPL_APPLICATION = 4;
inline constexpr EFI_TPL TPL_CALLBACK = 8;
inline constexpr EFI_TPL TPL_NOTIFY = 16;
inline constexpr EFI_TPL TPL_HIGH_LEVEL = 31;

// ---- Memory ---------------------------------------------------------------------------------
typedef enum : UINT32 {
  EfiReservedMemoryType = 0,
  EfiLoaderCode = 1,
  EfiLoaderData = 2,
  EfiBootServicesCode = 3,
  EfiBootServicesData = 4,
  EfiRuntimeServicesCode = 5,
  EfiRuntimeServicesData = 6,
  EfiConventionalMemory = 7,
  EfiMaxMemoryType = 16,
} EFI_MEMORY_TYPE;
static_assert(sizeof(EFI_MEMORY_TYPE) == 4);

typedef enum : UINT32 {
  AllocateAnyPages = 0,
  AllocateMaxAddress = 1,
  AllocateAddress = 2,
} EFI_ALLOCATE_TYPE;
static_assert(sizeof(EFI_ALLOCATE_TYPE) == 4);

inline constexpr UINTN EFI_PAGE_SIZE = 4096;

// ---- Variable attributes --------------------------------------------------------------------
inline constexpr UINT32 EFI_VARIABLE_NON_VOLATILE = 0x01;
inline constexpr UINT32 EFI_VARIABLE_BOOTSERVICE_ACCESS = 0x02;
inline constexpr UINT32 EFI_VARIABLE_RUNTIME_ACCESS = 0x04;
// NON_VOLATILE | BOOTSERVICE_ACCESS | RUNTIME_ACCESS
inline constexpr UINT32 EFI_VARIABLE_NV_BS_RT = 0x07;
// BOOTSERVICE_ACCESS | RUNTIME_ACCESS
inline constexpr UINT32 EFI_VARIABLE_BS_RT = 0x06;

// ---- GUID -------------------------------------------------------------------------------------
typedef struct {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
} EFI_GUID;
static_assert(sizeof(EFI_GUID) == 16 && alignof(EFI_GUID) == 4);
static_assert(offsetof(EFI_GUID, Data2) == 4 && offsetof(EFI_GUID, Data3) == 6 &&
              offsetof(EFI_GUID, Data4) == 8);

// ---- Tables -----------------------------------------------------------------------------------
typedef struct {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
} EFI_TABLE_HEADER;
static_assert(sizeof(EFI_TABLE_HEADER) == 24);
static_assert(offsetof(EFI_TABLE_HEADER, Revision) == 8 &&
              offsetof(EFI_TABLE_HEADER, HeaderSize) == 12 &&
              offsetof(EFI_TABLE_HEADER, CRC32) == 16);

typedef struct {
  EFI_GUID VendorGuid;
  VOID *VendorTable;
} EFI_CONFIGURATION_TABLE;
static_assert(sizeof(EFI_CONFIGURATION_TABLE) == 24);
static_assert(offsetof(EFI_CONFIGURATION_TABLE, VendorTable) == 16);

// ---- Device path node header (all nodes are byte-packed) -------------------------------------
typedef struct {
  UINT8 Type;
  UINT8 SubType;
  UINT8 Length[2];
} EFI_DEVICE_PATH_PROTOCOL;
static_assert(sizeof(EFI_DEVICE_PATH_PROTOCOL) == 4 && alignof(EFI_DEVICE_PATH_PROTOCOL) == 1);

// ---- Keys -------------------------------------------------------------------------------------
typedef struct {
  UINT16 ScanCode;
  CHAR16 UnicodeChar;
} EFI_INPUT_KEY;
static_assert(sizeof(EFI_INPUT_KEY) == 4 && offsetof(EFI_INPUT_KEY, UnicodeChar) == 2);
