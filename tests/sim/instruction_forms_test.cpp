// The fault handler's memory-mapped accesses by instruction form: the configuration window takes
// only a plain MOV through AL, AX or EAX and refuses every other form with a problem naming the
// instruction; the other windows take every form the board decodes. The accesses run from a
// planted code page registered as an image.
#include "board_test_support.h"

#include <cstring>

#include <sys/mman.h>

namespace sim::test {
namespace {

// One access instruction at RCX, with RAX and RDX holding the second argument before it.
class PlantedCode {
public:
  explicit PlantedCode(const std::vector<uint8_t> &Access) {
    Page = static_cast<uint8_t *>(mmap(nullptr, 4096, PROT_READ | PROT_WRITE | PROT_EXEC,
                                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    EXPECT_NE(Page, MAP_FAILED);
    std::vector<uint8_t> Code = {0x48, 0x89, 0xD0}; // mov %rdx,%rax
    Code.insert(Code.end(), Access.begin(), Access.end());
    Code.push_back(0xC3); // ret
    std::memcpy(Page, Code.data(), Code.size());
    Image.Name = "Planted";
    Image.Base = Page;
    Image.Size = 4096;
    RegisterImage(&Image);
  }
  ~PlantedCode() {
    UnregisterImage(&Image);
    munmap(Page, 4096);
  }
  GuardedResult Run(uint64_t Address, uint64_t Value) {
    using Access = uint64_t(__attribute__((ms_abi)) *)(uint64_t, uint64_t);
    auto Function = reinterpret_cast<Access>(Page);
    return RunGuarded([&] { return Function(Address, Value); });
  }

private:
  uint8_t *Page = nullptr;
  PeImage Image;
};

struct FormCase {
  const char *Name;
  std::vector<uint8_t> Bytes;
  bool Write;
  uint8_t Width;
  bool Accumulator; // AL, AX or EAX with a plain MOV
  bool ZeroExtends; // a load that fills the whole register
  const char *Text; // how a refusal names it
};

const FormCase Forms[] = {
    {"MovLoad8", {0x8A, 0x01}, false, 1, true, false, "mov (%rcx),%al (8A 01)"},
    {"MovLoad16", {0x66, 0x8B, 0x01}, false, 2, true, false, "mov (%rcx),%ax (66 8B 01)"},
    {"MovLoad32", {0x8B, 0x01}, false, 4, true, true, "mov (%rcx),%eax (8B 01)"},
    {"MovzxLoad8", {0x0F, 0xB6, 0x01}, false, 1, false, true, "movzx (%rcx),%eax (0F B6 01)"},
    {"MovzxLoad16", {0x0F, 0xB7, 0x01}, false, 2, false, true, "movzx (%rcx),%eax (0F B7 01)"},
    {"MovStoreAl", {0x88, 0x01}, true, 1, true, false, "mov %al,(%rcx) (88 01)"},
    {"MovStoreAx", {0x66, 0x89, 0x01}, true, 2, true, false, "mov %ax,(%rcx) (66 89 01)"},
    {"MovStoreEax", {0x89, 0x01}, true, 4, true, false, "mov %eax,(%rcx) (89 01)"},
    {"MovStoreDl", {0x88, 0x11}, true, 1, false, false, "mov %dl,(%rcx) (88 11)"},
    {"MovStoreDx", {0x66, 0x89, 0x11}, true, 2, false, false, "mov %dx,(%rcx) (66 89 11)"},
    {"MovStoreEdx", {0x89, 0x11}, true, 4, false, false, "mov %edx,(%rcx) (89 11)"},
};

class InstructionForm : public ::testing::TestWithParam<FormCase> {
protected:
  static uint64_t Ones(uint8_t Width) {
    return Width == 4 ? 0xFFFFFFFFull : (1ull << (8 * Width)) - 1;
  }
  Board B;
};

// Bridge 0:2.0 at its secondary bus number register: a write lands in registers 0x19.. and a
// read returns them.
TEST_P(InstructionForm, TheConfigurationWindowTakesTheAccumulatorFormOnly) {
  const FormCase &Case = GetParam();
  constexpr uint64_t Address = 0xE0010018;
  RegisterFile &Bridge = *B.Pcie.Function({0, 2, 0});
  Bridge.Set(0x18, 4, 0x00302010);
  PlantedCode Code(Case.Bytes);
  constexpr uint64_t Argument = 0xA5A5A5A5C3C2C1C0;
  GuardedResult Result = Code.Run(Address, Argument);
  ASSERT_EQ(Result.How, Outcome::Returned) << Result.Message;
  uint64_t Mask = Ones(Case.Width);
  if (Case.Accumulator) {
    EXPECT_TRUE(B.Problems.empty()) << B.Problems.front();
    ASSERT_EQ(B.Hardware.Trace().size(), 1u);
    const HardwareAccess &Seen = B.Hardware.Trace()[0];
    EXPECT_EQ(Seen.IsWrite, Case.Write);
    EXPECT_EQ(Seen.Width, Case.Width);
    EXPECT_EQ(Seen.Address, Address);
    if (Case.Write) {
      EXPECT_EQ(Bridge.Get(0x18, Case.Width), Argument & Mask);
    } else {
      uint64_t Expected = 0x00302010 & Mask;
      EXPECT_EQ(Result.Value, Case.ZeroExtends ? Expected : ((Argument & ~Mask) | Expected));
    }
  } else {
    ASSERT_EQ(B.Problems.size(), 1u);
    EXPECT_NE(B.Problems[0].find(Case.Text), std::string::npos) << B.Problems[0];
    EXPECT_NE(B.Problems[0].find("refused"), std::string::npos) << B.Problems[0];
    EXPECT_NE(B.Problems[0].find("0xe0010018"), std::string::npos) << B.Problems[0];
    EXPECT_NE(B.Problems[0].find("Planted+0x3"), std::string::npos) << B.Problems[0];
    EXPECT_TRUE(B.Hardware.Trace().empty()) << TraceText(B.Hardware.Trace());
    EXPECT_EQ(Bridge.Get(0x18, 4), 0x00302010u) << "the refused write reached the bridge";
    if (!Case.Write) {
      EXPECT_EQ(Result.Value, Mask) << "a refused read answers all ones";
    }
  }
}

// The FCH block takes every form the board decodes: the rule is the configuration window's.
TEST_P(InstructionForm, OtherWindowsTakeEveryDecodedForm) {
  const FormCase &Case = GetParam();
  constexpr uint64_t Address = 0xFED80298;
  B.Fch.SetByte(Address, 0x10);
  B.Fch.SetByte(Address + 1, 0x20);
  B.Fch.SetByte(Address + 2, 0x30);
  B.Fch.SetByte(Address + 3, 0x40);
  PlantedCode Code(Case.Bytes);
  constexpr uint64_t Argument = 0x5A5A5A5A0D0C0B0A;
  GuardedResult Result = Code.Run(Address, Argument);
  ASSERT_EQ(Result.How, Outcome::Returned) << Result.Message;
  EXPECT_TRUE(B.Problems.empty()) << B.Problems.front();
  ASSERT_EQ(B.Hardware.Trace().size(), 1u);
  uint64_t Mask = Ones(Case.Width);
  if (Case.Write) {
    EXPECT_EQ(B.Hardware.Trace()[0], MmioW(Case.Width, Address, Argument & Mask));
  } else {
    uint64_t Expected = 0x40302010 & Mask;
    EXPECT_EQ(B.Hardware.Trace()[0], MmioR(Case.Width, Address, Expected));
    EXPECT_EQ(Result.Value, Case.ZeroExtends ? Expected : ((Argument & ~Mask) | Expected));
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, InstructionForm, ::testing::ValuesIn(Forms),
                         [](const auto &Info) { return std::string(Info.param.Name); });

} // namespace
} // namespace sim::test
