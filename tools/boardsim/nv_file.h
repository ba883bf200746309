// The --variables file: what the notebook keeps while it is off. One non-volatile variable per
// line (NAME GUID ATTRIBUTES HEXBYTES, as the variable store writes them), then what the
// fingerprint reader stores in itself: a line "reader-slots MASK" with the slot mask and one
// line "reader-slot BIT HEXBYTES" per stored password (the module form, 12 bytes).
#pragma once

#include "board.h"

#include <string>

namespace boardsim {

// Loads the file; the reader's slots become exactly the ones the file names (when it has a
// "reader-slots" line). Returns "" when it is loaded, or why it is refused: the file cannot be
// read, or the line that is malformed and what is wrong with it.
std::string LoadNvFile(sim::Board &Board, const std::string &Path);
bool SaveNvFile(const sim::Board &Board, const std::string &Path);

} // namespace boardsim
