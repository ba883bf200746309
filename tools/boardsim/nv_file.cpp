#include "nv_file.h"

#include "fingerprint_module_model.h"

#include "scenario.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace boardsim {

namespace {

constexpr uint16_t SlotBits[] = {0x01, 0x02, 0x04, 0x08, 0x10};

bool ParseHex(const std::string &Hex, std::vector<uint8_t> &Bytes) {
  if (Hex.size() % 2 != 0) {
    return false;
  }
  for (size_t I = 0; I < Hex.size(); I += 2) {
    if (!std::isxdigit((unsigned char)Hex[I]) || !std::isxdigit((unsigned char)Hex[I + 1])) {
      return false;
    }
    Bytes.push_back((uint8_t)std::stoul(Hex.substr(I, 2), nullptr, 16));
  }
  return true;
}

std::string ToHex(const uint8_t *Bytes, size_t Size) {
  std::string Text;
  for (size_t I = 0; I < Size; I++) {
    char Hex[3];
    std::snprintf(Hex, sizeof Hex, "%02x", Bytes[I]);
    Text += Hex;
  }
  return Text;
}

// Text as a whole number in Base: digits only, no sign or blank.
bool ParseNumber(const std::string &Text, int Base, unsigned long &Value) {
  if (Text.empty() || Text.size() > 8 || !std::all_of(Text.begin(), Text.end(), [Base](char C) {
        return Base == 16 ? std::isxdigit((unsigned char)C) : std::isdigit((unsigned char)C);
      })) {
    return false;
  }
  Value = std::stoul(Text, nullptr, Base);
  return true;
}

std::string HexByte(unsigned Value) {
  char Text[8];
  std::snprintf(Text, sizeof Text, "%02x", Value);
  return Text;
}

bool KnownSlot(unsigned long Bit) {
  for (uint16_t Known : SlotBits) {
    if (Bit == Known) {
      return true;
    }
  }
  return false;
}

} // namespace

std::string LoadNvFile(sim::Board &Board, const std::string &Path) {
  std::error_code Code;
  if (std::filesystem::is_directory(Path, Code)) {
    return "'" + Path + "' is a folder, not a variables file";
  }
  std::ifstream In(Path);
  if (!In) {
    return "'" + Path + "' cannot be opened: " + std::strerror(errno);
  }
  std::optional<uint16_t> Mask;
  size_t MaskLine = 0;
  std::map<uint16_t, std::pair<sim::PasswordForm, size_t>> Slots; // bit -> form, line
  std::map<sim::VariableStore::Key, size_t> Seen;                 // variable -> line
  std::string Line;
  size_t Number = 0;
  auto Refuse = [&](const std::string &Why) {
    return "'" + Path + "' line " + std::to_string(Number) + ": " + Why;
  };
  while (std::getline(In, Line)) {
    Number++;
    std::istringstream Words(Line);
    std::string First, Extra;
    if (!(Words >> First)) {
      continue;
    }
    if (First == "reader-slots") {
      std::string Text;
      unsigned long Value = 0;
      if (!(Words >> Text) || !ParseNumber(Text, 16, Value) || Value > 0x1F) {
        return Refuse("reader-slots needs the slot mask in hexadecimal, 00 to 1f");
      }
      if (Mask) {
        return Refuse("a second reader-slots line (the first is line " + std::to_string(MaskLine) +
                      ")");
      }
      Mask = (uint16_t)Value;
      MaskLine = Number;
    } else if (First == "reader-slot") {
      std::string BitText, Hex;
      unsigned long Bit = 0;
      std::vector<uint8_t> Bytes;
      if (!(Words >> BitText >> Hex) || !ParseNumber(BitText, 16, Bit) || !KnownSlot(Bit)) {
        return Refuse("reader-slot needs a slot bit (01, 02, 04, 08 or 10) and its bytes");
      }
      if (!ParseHex(Hex, Bytes) || Bytes.size() != sizeof(sim::PasswordForm)) {
        return Refuse("reader-slot " + BitText + " needs " +
                      std::to_string(sizeof(sim::PasswordForm)) + " bytes in hexadecimal");
      }
      if (Slots.count((uint16_t)Bit)) {
        return Refuse("the reader slot " + BitText + " is given twice (first on line " +
                      std::to_string(Slots[(uint16_t)Bit].second) + ")");
      }
      sim::PasswordForm Form{};
      std::copy(Bytes.begin(), Bytes.end(), Form.begin());
      Slots[(uint16_t)Bit] = {Form, Number};
    } else {
      std::string GuidText, AttributesText, Hex;
      EFI_GUID Guid;
      unsigned long Attributes = 0;
      std::vector<uint8_t> Data;
      if (!(Words >> GuidText >> AttributesText >> Hex)) {
        return Refuse("expected NAME GUID ATTRIBUTES HEXBYTES");
      }
      if (First.size() > kMaxNameLength) {
        return Refuse("a variable name has at most " + std::to_string(kMaxNameLength) +
                      " characters");
      }
      if (!sim::ParseGuid(GuidText, Guid)) {
        return Refuse("'" + GuidText + "' is no GUID (XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX)");
      }
      if (!ParseNumber(AttributesText, 10, Attributes) || Attributes > 0x7F ||
          (Attributes & EFI_VARIABLE_NON_VOLATILE) == 0) {
        return Refuse("attributes '" + AttributesText +
                      "': expected a decimal number up to 127 with the non-volatile bit (1)");
      }
      if (!ParseHex(Hex, Data) || Data.empty() || Data.size() > kMaxVariableBytes) {
        return Refuse("expected the content as 1 to " + std::to_string(kMaxVariableBytes) +
                      " bytes in hexadecimal digits");
      }
      sim::VariableStore::Key Key{sim::Widen(First), sim::GuidKey{Guid}};
      if (Seen.count(Key)) {
        return Refuse("the variable \"" + First + "\" {" + GuidText +
                      "} is given twice (first on line " + std::to_string(Seen[Key]) + ")");
      }
      Seen[Key] = Number;
      Board.Variables.Put(Key.first, Guid, (uint32_t)Attributes, std::move(Data));
    }
    if (Words >> Extra) {
      return Refuse("'" + Extra + "' after the end of the line's fields");
    }
  }
  if (In.bad()) {
    return "'" + Path + "' cannot be read: " + std::strerror(errno);
  }
  if (Mask) {
    for (uint16_t Bit : SlotBits) {
      auto It = Slots.find(Bit);
      if ((*Mask & Bit) != 0 && It != Slots.end()) {
        Board.FingerprintModule.SetSlot(Bit, It->second.first);
      } else if ((*Mask & Bit) == 0) {
        if (It != Slots.end()) {
          Number = It->second.second;
          return Refuse("the reader slot " + HexByte(Bit) + " is not in the reader-slots mask " +
                        HexByte(*Mask) + " (line " + std::to_string(MaskLine) + ")");
        }
        Board.FingerprintModule.ClearSlot(Bit);
      } else {
        Number = MaskLine;
        return Refuse("the reader-slots mask " + HexByte(*Mask) + " names the slot " +
                      HexByte(Bit) + ", which has no reader-slot line");
      }
    }
  } else if (!Slots.empty()) {
    Number = Slots.begin()->second.second;
    return Refuse("a reader-slot line without a reader-slots line");
  }
  return "";
}

bool SaveNvFile(const sim::Board &Board, const std::string &Path) {
  if (!Board.Variables.SaveTo(Path)) {
    return false;
  }
  std::ofstream Out(Path, std::ios::app);
  char Mask[8];
  std::snprintf(Mask, sizeof Mask, "%02x", Board.FingerprintModule.SlotMask());
  Out << "reader-slots " << Mask << "\n";
  for (uint16_t Bit : SlotBits) {
    if (std::optional<sim::PasswordForm> Form = Board.FingerprintModule.Slot(Bit)) {
      char BitText[8];
      std::snprintf(BitText, sizeof BitText, "%02x", Bit);
      Out << "reader-slot " << BitText << " " << ToHex(Form->data(), Form->size()) << "\n";
    }
  }
  return bool(Out);
}

} // namespace boardsim
