#include "status_names.h"

#include <cstdio>

namespace sim {

namespace {
const char *const Errors[] = {
    "EFI_SUCCESS",          "EFI_LOAD_ERROR",           "EFI_INVALID_PARAMETER",
    "EFI_UNSUPPORTED",      "EFI_BAD_BUFFER_SIZE",      "EFI_BUFFER_TOO_SMALL",
    "EFI_NOT_READY",        "EFI_DEVICE_ERROR",         "EFI_WRITE_PROTECTED",
    "EFI_OUT_OF_RESOURCES", "EFI_VOLUME_CORRUPTED",     "EFI_VOLUME_FULL",
    "EFI_NO_MEDIA",         "EFI_MEDIA_CHANGED",        "EFI_NOT_FOUND",
    "EFI_ACCESS_DENIED",    "EFI_NO_RESPONSE",          "EFI_NO_MAPPING",
    "EFI_TIMEOUT",          "EFI_NOT_STARTED",          "EFI_ALREADY_STARTED",
    "EFI_ABORTED",          "EFI_ICMP_ERROR",           "EFI_TFTP_ERROR",
    "EFI_PROTOCOL_ERROR",   "EFI_INCOMPATIBLE_VERSION", "EFI_SECURITY_VIOLATION"};
constexpr size_t kErrorNames = sizeof(Errors) / sizeof(Errors[0]);
} // namespace

std::string StatusName(EFI_STATUS Status) {
  char Text[64];
  if (Status == 0) {
    return Errors[0];
  }
  UINTN Code = Status & ~EFI_ERROR_BIT;
  if (EFI_ERROR(Status) && Code < kErrorNames) {
    std::snprintf(Text, sizeof Text, "%s (0x%016llX)", Errors[Code], (unsigned long long)Status);
  } else {
    std::snprintf(Text, sizeof Text, "%s 0x%016llX", EFI_ERROR(Status) ? "error" : "warning",
                  (unsigned long long)Status);
  }
  return Text;
}

std::string StatusSymbol(EFI_STATUS Status) {
  UINTN Code = Status & ~EFI_ERROR_BIT;
  if (Status == 0 || (EFI_ERROR(Status) && Code < kErrorNames)) {
    return Errors[Status == 0 ? 0 : Code];
  }
  char Text[64];
  std::snprintf(Text, sizeof Text, "%s 0x%016llX", EFI_ERROR(Status) ? "error" : "warning",
                (unsigned long long)Status);
  return Text;
}

bool StatusFromName(const std::string &Name, EFI_STATUS &Status) {
  for (size_t Code = 0; Code < kErrorNames; Code++) {
    if (Name == Errors[Code]) {
      Status = Code == 0 ? 0 : (EFI_STATUS)(EFI_ERROR_BIT | Code);
      return true;
    }
  }
  return false;
}

std::string TplText(EFI_TPL Tpl) {
  const char *Name = Tpl == TPL_APPLICATION  ? "TPL_APPLICATION"
                     : Tpl == TPL_CALLBACK   ? "TPL_CALLBACK"
                     : Tpl == TPL_NOTIFY     ? "TPL_NOTIFY"
                     : Tpl == TPL_HIGH_LEVEL ? "TPL_HIGH_LEVEL"
                                             : nullptr;
  return std::to_string(Tpl) + (Name != nullptr ? std::string(" (") + Name + ")" : "");
}

} // namespace sim
