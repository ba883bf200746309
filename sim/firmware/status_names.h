// Names of EFI_STATUS values for reports and test messages.
#pragma once

#include "efi_types.h"

#include <string>

namespace sim {
// "EFI_NOT_FOUND (0x800000000000000E)": the name with the value, for reports.
std::string StatusName(EFI_STATUS Status);
// "EFI_NOT_FOUND": the name alone ("error 0x..." / "warning 0x..." for a value without one).
std::string StatusSymbol(EFI_STATUS Status);
// The value of a status name; false for a name that is not one.
bool StatusFromName(const std::string &Name, EFI_STATUS &Status);
// "8 (TPL_CALLBACK)": a task priority level with its name where UEFI gives it one.
std::string TplText(EFI_TPL Tpl);
} // namespace sim
