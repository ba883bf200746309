// Field names of the variables the drivers read and write, for the boot report.
#pragma once

#include "efi_types.h"

#include <string>
#include <vector>

namespace boardsim {

// One line per changed field: "Com2Selection (0x28A): 0x04 -> 0x01".
std::vector<std::string> DescribeChange(const std::u16string &Name, const EFI_GUID &Guid,
                                        const std::vector<uint8_t> &Before,
                                        const std::vector<uint8_t> &After);

// Offset of a named "Setup" field, or -1.
int SetupFieldOffset(const std::string &Field);
std::vector<std::string> SetupFieldNames();

} // namespace boardsim
