#include "nv_file.h"

#include "fingerprint_module_model.h"

#include <cstdio>
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

bool KnownSlot(unsigned long Bit) {
  for (uint16_t Known : SlotBits) {
    if (Bit == Known) {
      return true;
    }
  }
  return false;
}

} // namespace

bool LoadNvFile(sim::Board &Board, const std::string &Path) {
  std::ifstream In(Path);
  if (!In) {
    return false;
  }
  std::optional<uint16_t> Mask;
  std::map<uint16_t, sim::PasswordForm> Slots;
  std::string Line;
  while (std::getline(In, Line)) {
    std::istringstream Words(Line);
    std::string First;
    if (!(Words >> First)) {
      continue;
    }
    if (First == "reader-slots") {
      unsigned long Value = 0;
      if (!(Words >> std::hex >> Value) || Value > 0x1F) {
        return false;
      }
      Mask = (uint16_t)Value;
      continue;
    }
    if (First == "reader-slot") {
      unsigned long Bit = 0;
      std::string Hex;
      std::vector<uint8_t> Bytes;
      if (!(Words >> std::hex >> Bit >> Hex) || !KnownSlot(Bit) || !ParseHex(Hex, Bytes) ||
          Bytes.size() != sizeof(sim::PasswordForm)) {
        return false;
      }
      sim::PasswordForm Form{};
      std::copy(Bytes.begin(), Bytes.end(), Form.begin());
      Slots[(uint16_t)Bit] = Form;
      continue;
    }
    std::string GuidString, Hex;
    uint32_t Attributes = 0;
    EFI_GUID Guid;
    if (!(Words >> GuidString >> Attributes) || !sim::ParseGuid(GuidString, Guid)) {
      return false;
    }
    Words >> Hex;
    std::vector<uint8_t> Data;
    if (!ParseHex(Hex, Data)) {
      return false;
    }
    Board.Variables.Put(sim::Widen(First), Guid, Attributes, std::move(Data));
  }
  if (Mask) {
    for (uint16_t Bit : SlotBits) {
      auto It = Slots.find(Bit);
      if ((*Mask & Bit) != 0 && It != Slots.end()) {
        Board.FingerprintModule.SetSlot(Bit, It->second);
      } else if ((*Mask & Bit) == 0) {
        Board.FingerprintModule.ClearSlot(Bit);
      } else {
        return false; // the mask names a slot the file does not hold
      }
    }
  }
  return true;
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
