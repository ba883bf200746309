// Names of EFI_STATUS values for reports and test messages.
#pragma once

#include "efi_types.h"

#include <string>

namespace sim {
std::string StatusName(EFI_STATUS Status);
} // namespace sim
