#include "source_lines.h"

#include <algorithm>
#include <cstring>

namespace sim {
namespace {

// A bounds-checked reader: every read past the end sets Bad and gives 0.
struct Reader {
  const uint8_t *Data;
  size_t Size;
  size_t At = 0;
  bool Bad = false;

  template <typename T> T Fixed() {
    T Value{};
    if (At + sizeof(T) > Size) {
      Bad = true;
      At = Size;
      return Value;
    }
    std::memcpy(&Value, Data + At, sizeof(T));
    At += sizeof(T);
    return Value;
  }
  uint64_t Unsigned() {
    uint64_t Value = 0;
    for (unsigned Shift = 0;; Shift += 7) {
      uint8_t Byte = Fixed<uint8_t>();
      if (Shift < 64) {
        Value |= (uint64_t)(Byte & 0x7F) << Shift;
      }
      if (Bad || Byte < 0x80) {
        return Value;
      }
    }
  }
  int64_t Signed() {
    uint64_t Value = 0;
    unsigned Shift = 0;
    uint8_t Byte = 0;
    do {
      Byte = Fixed<uint8_t>();
      if (Shift < 64) {
        Value |= (uint64_t)(Byte & 0x7F) << Shift;
      }
      Shift += 7;
    } while (!Bad && Byte >= 0x80);
    if (Shift < 64 && (Byte & 0x40)) {
      Value |= ~0ull << Shift;
    }
    return (int64_t)Value;
  }
  std::string Text() {
    std::string Result;
    while (!Bad) {
      char C = (char)Fixed<uint8_t>();
      if (C == '\0') {
        break;
      }
      Result += C;
    }
    return Result;
  }
};

template <typename T> T Field(const std::vector<uint8_t> &File, size_t Offset) {
  T Value{};
  if (Offset + sizeof(T) <= File.size()) {
    std::memcpy(&Value, File.data() + Offset, sizeof(T));
  }
  return Value;
}

// The file bytes of the section named Name ("/<n>" names in the COFF string table resolved).
bool FindSection(const std::vector<uint8_t> &File, const std::string &Name, size_t &Offset,
                 size_t &Size) {
  uint32_t Pe = Field<uint32_t>(File, 0x3C);
  size_t Coff = (size_t)Pe + 4;
  uint16_t Count = Field<uint16_t>(File, Coff + 2);
  uint32_t Symbols = Field<uint32_t>(File, Coff + 8);
  uint32_t SymbolCount = Field<uint32_t>(File, Coff + 12);
  size_t Table = Coff + 20 + Field<uint16_t>(File, Coff + 16);
  size_t Strings = (size_t)Symbols + 18ull * SymbolCount;
  for (uint16_t Index = 0; Index < Count; Index++) {
    size_t Header = Table + 40ull * Index;
    if (Header + 40 > File.size()) {
      return false;
    }
    std::string Short(reinterpret_cast<const char *>(File.data() + Header),
                      strnlen(reinterpret_cast<const char *>(File.data() + Header), 8));
    std::string Full = Short;
    if (Short.size() > 1 && Short[0] == '/' && Symbols != 0) {
      size_t At = Strings + std::strtoul(Short.c_str() + 1, nullptr, 10);
      if (At >= File.size()) {
        continue;
      }
      Full.assign(reinterpret_cast<const char *>(File.data() + At),
                  strnlen(reinterpret_cast<const char *>(File.data() + At), File.size() - At));
    }
    if (Full != Name) {
      continue;
    }
    uint32_t VirtualSize = Field<uint32_t>(File, Header + 8);
    uint32_t RawSize = Field<uint32_t>(File, Header + 16);
    uint32_t RawOffset = Field<uint32_t>(File, Header + 20);
    Size = std::min(VirtualSize, RawSize);
    Offset = RawOffset;
    return (uint64_t)RawOffset + Size <= File.size();
  }
  return false;
}

} // namespace

bool ReadPeIdentity(const std::vector<uint8_t> &File, PeIdentity &Identity) {
  if (File.size() < 0x40 || Field<uint16_t>(File, 0) != 0x5A4D) {
    return false;
  }
  size_t Pe = Field<uint32_t>(File, 0x3C);
  size_t Optional = Pe + 24;
  if (Field<uint32_t>(File, Pe) != 0x00004550 || Field<uint16_t>(File, Optional) != 0x20B ||
      Optional + 32 > File.size()) {
    return false;
  }
  Identity.TimeStamp = Field<uint32_t>(File, Pe + 8);
  Identity.CodeSize = Field<uint32_t>(File, Optional + 4);
  Identity.EntryRva = Field<uint32_t>(File, Optional + 16);
  Identity.ImageBase = Field<uint64_t>(File, Optional + 24);
  return true;
}

// The line programs of DWARF versions 2 to 4 (32-bit DWARF), each run through its state
// machine; every row starts a range that ends at the next row of its sequence.
bool SourceLines::Read(const std::vector<uint8_t> &File, uint64_t ImageBase) {
  Files.clear();
  Ranges.clear();
  size_t Offset = 0, Size = 0;
  if (!FindSection(File, ".debug_line", Offset, Size)) {
    return false;
  }
  Reader Section{File.data() + Offset, Size};
  while (Section.At + 4 <= Section.Size) {
    uint32_t Length = Section.Fixed<uint32_t>();
    if (Length >= 0xFFFFFFF0u || Length > Section.Size - Section.At) {
      return false;
    }
    size_t UnitEnd = Section.At + Length;
    Reader Unit{Section.Data, UnitEnd, Section.At};
    uint16_t Version = Unit.Fixed<uint16_t>();
    uint32_t HeaderLength = Unit.Fixed<uint32_t>();
    size_t Program = Unit.At + HeaderLength;
    uint8_t MinimumLength = Unit.Fixed<uint8_t>();
    if (Version >= 4) {
      Unit.Fixed<uint8_t>(); // maximum operations per instruction (1 on x86)
    }
    Unit.Fixed<uint8_t>(); // default is_stmt: every row counts
    int8_t LineBase = Unit.Fixed<int8_t>();
    uint8_t LineRange = Unit.Fixed<uint8_t>();
    uint8_t OpcodeBase = Unit.Fixed<uint8_t>();
    if (Version < 2 || Version > 4 || LineRange == 0 || OpcodeBase == 0 || Program > UnitEnd) {
      return false;
    }
    std::vector<uint8_t> OperandCounts(OpcodeBase);
    for (uint8_t Opcode = 1; Opcode < OpcodeBase; Opcode++) {
      OperandCounts[Opcode] = Unit.Fixed<uint8_t>();
    }
    std::vector<std::string> Directories{""};
    for (std::string Directory = Unit.Text(); !Directory.empty() && !Unit.Bad;
         Directory = Unit.Text()) {
      Directories.push_back(Directory);
    }
    // File numbers of this unit -> index into Files.
    std::vector<uint32_t> UnitFiles{0};
    auto AddFile = [&](Reader &From, const std::string &Name) {
      uint64_t Directory = From.Unsigned();
      From.Unsigned(); // modification time
      From.Unsigned(); // length
      std::string Path = Name;
      if (!Name.empty() && Name[0] != '/' && Directory < Directories.size() &&
          !Directories[Directory].empty()) {
        Path = Directories[Directory] + "/" + Name;
      }
      auto Known = std::find(Files.begin(), Files.end(), Path);
      UnitFiles.push_back((uint32_t)(Known - Files.begin()));
      if (Known == Files.end()) {
        Files.push_back(Path);
      }
    };
    for (std::string Name = Unit.Text(); !Name.empty() && !Unit.Bad; Name = Unit.Text()) {
      AddFile(Unit, Name);
    }
    if (Unit.Bad) {
      return false;
    }

    Unit.At = Program;
    uint64_t Address = 0;
    uint64_t FileNumber = 1;
    int64_t Line = 1;
    std::vector<Range> Sequence;
    auto Row = [&](bool EndOfSequence) {
      if (!Sequence.empty() && Sequence.back().End == 0) {
        Sequence.back().End = Address;
      }
      if (EndOfSequence) {
        for (const Range &Done : Sequence) {
          if (Done.End > Done.Start && Done.Start >= ImageBase && Done.Line != 0) {
            Ranges.push_back({Done.Start - ImageBase, Done.End - ImageBase, Done.File, Done.Line});
          }
        }
        Sequence.clear();
        return;
      }
      if (FileNumber < UnitFiles.size() && Line > 0 && Line <= UINT32_MAX) {
        Sequence.push_back({Address, 0, UnitFiles[FileNumber], (uint32_t)Line});
      } else {
        Sequence.push_back({Address, 0, 0, 0});
      }
    };
    while (Unit.At < UnitEnd && !Unit.Bad) {
      uint8_t Opcode = Unit.Fixed<uint8_t>();
      if (Opcode >= OpcodeBase) {
        uint8_t Adjusted = Opcode - OpcodeBase;
        Address += (uint64_t)(Adjusted / LineRange) * MinimumLength;
        Line = (int64_t)((uint64_t)Line + (uint64_t)(int64_t)(LineBase + Adjusted % LineRange));
        Row(false);
        continue;
      }
      switch (Opcode) {
      case 0: {
        uint64_t Length = Unit.Unsigned();
        size_t Next = Unit.At + Length;
        uint8_t Extended = Length != 0 ? Unit.Fixed<uint8_t>() : 0;
        if (Extended == 1) {
          Row(true);
          Address = 0;
          FileNumber = 1;
          Line = 1;
        } else if (Extended == 2) {
          Address = Unit.Fixed<uint64_t>();
        } else if (Extended == 3) {
          std::string Name = Unit.Text();
          AddFile(Unit, Name);
        }
        Unit.At = Next;
        break;
      }
      case 1:
        Row(false);
        break;
      case 2:
        Address += Unit.Unsigned() * MinimumLength;
        break;
      case 3: // modulo 2^64: a damaged table gives a wrong line, never an overflow
        Line = (int64_t)((uint64_t)Line + (uint64_t)Unit.Signed());
        break;
      case 4:
        FileNumber = Unit.Unsigned();
        break;
      case 8:
        Address += (uint64_t)((255 - OpcodeBase) / LineRange) * MinimumLength;
        break;
      case 9:
        Address += Unit.Fixed<uint16_t>();
        break;
      default: // column, is_stmt, basic block, prologue, epilogue, ISA: operands skipped
        for (uint8_t Operand = 0; Operand < OperandCounts[Opcode]; Operand++) {
          Unit.Unsigned();
        }
        break;
      }
    }
    if (Unit.Bad) {
      Ranges.clear();
      Files.clear();
      return false;
    }
    Section.At = UnitEnd;
  }
  std::stable_sort(Ranges.begin(), Ranges.end(),
                   [](const Range &A, const Range &B) { return A.Start < B.Start; });
  return !Ranges.empty();
}

std::string SourceLines::At(uint64_t Rva) const {
  auto It = std::upper_bound(Ranges.begin(), Ranges.end(), Rva,
                             [](uint64_t Value, const Range &R) { return Value < R.Start; });
  // The last range starting at or before Rva that still covers it (ranges of different
  // sequences do not overlap; within one they follow each other).
  while (It != Ranges.begin()) {
    --It;
    if (Rva < It->End) {
      return Files[It->File] + ":" + std::to_string(It->Line);
    }
    if (It->End <= Rva) {
      break;
    }
  }
  return {};
}

} // namespace sim
