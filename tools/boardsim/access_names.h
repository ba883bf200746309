// Names of what a hardware access or a boot-script entry touches on this board: PCI
// configuration registers as bus:device.function and register, the legacy ports, the FCH SMI
// timer and straps, the TPM identity bytes.
#pragma once

#include "board.h"

#include <string>
#include <vector>

namespace boardsim {

// What Trace[Index] touches. Earlier entries of Trace tell which register an index/data pair
// (hardware monitor, RTC) selects.
std::string AccessTarget(const std::vector<sim::HardwareAccess> &Trace, size_t Index);

// "mmio W8  0xe00a2042 <- 0x04  PCI 0:14.4 register 0x42 (bridge control)"
std::string AccessLine(const std::vector<sim::HardwareAccess> &Trace, size_t Index);

const char *BootScriptOpcodeName(uint16_t OpCode);
const char *BootScriptWidthName(uint32_t Width);
// The entry's address in the terms of its opcode (PCI: bus:device.function register).
std::string BootScriptTarget(const sim::BootScriptEntry &Entry);
std::string BootScriptLine(const sim::BootScriptEntry &Entry);

std::string HexText(uint64_t Value, int Digits);

} // namespace boardsim
