// What the machine answers at the board addresses the drivers use. On the emulated machine
// most of these addresses are backed by no device; the harness reads them itself, with the
// drivers' access widths, so that the test can judge the drivers against the answers they got.
#pragma once

#include "efi_types.h"

// One read of Width bytes (1, 2 or 4) at Address; reports
//   @fw mmio tag=<Tag> address=.. width=.. value=..
UINT32 ReportMmio(const char *Tag, UINTN Address, UINTN Width);

// One port read of Width bytes (1, 2 or 4); reports
//   @fw io tag=<Tag> port=.. width=.. value=..
UINT32 ReportIo(const char *Tag, UINT16 Port, UINTN Width);
