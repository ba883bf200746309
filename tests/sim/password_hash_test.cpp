// The password hash service: the chained encodings the authentication relies on, the test
// helpers that must compute what the entries compute, and the contract checks.
#include "board.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace sim {
namespace {

PASSWORD_HASH_PROTOCOL *Located(Board &B) {
  PASSWORD_HASH_PROTOCOL *Hash = nullptr;
  EXPECT_EQ(B.BootServices.LocateProtocol(&PASSWORD_HASH_PROTOCOL_GUID, nullptr,
                                          reinterpret_cast<VOID **>(&Hash)),
            EFI_SUCCESS);
  return Hash;
}

class PasswordHashEncodings : public ::testing::TestWithParam<std::string> {};

TEST_P(PasswordHashEncodings, ModuleFormThroughEntryFiveIsTheSetupForm) {
  Board B;
  PASSWORD_HASH_PROTOCOL *Hash = Located(B);
  ASSERT_NE(Hash, nullptr);
  TypedLineBuffer Line = TypedLine(GetParam());
  uint8_t Encoded[32];
  uint8_t Setup[12];
  uint8_t Chained[12];
  std::memset(Encoded, 0xEE, sizeof(Encoded));
  EXPECT_EQ(Hash->Entry[1](Line.data(), 64, Encoded, 32), EFI_SUCCESS);
  EXPECT_EQ(Hash->Entry[2](Line.data(), 64, Setup, 12), EFI_SUCCESS);
  EXPECT_EQ(Hash->Entry[5](Encoded, 12, Chained, 12), EFI_SUCCESS);
  EXPECT_EQ(std::memcmp(Chained, Setup, 12), 0);
  EXPECT_NE(std::memcmp(Encoded, Setup, 12), 0);
  // The helpers give what the entries give.
  EXPECT_EQ(std::memcmp(Encoded, ModuleForm(GetParam()).data(), 12), 0);
  EXPECT_EQ(std::memcmp(Setup, SetupForm(GetParam()).data(), 12), 0);
  // The module form is never all zero (it would read as "no password").
  const uint8_t Zero[12] = {};
  EXPECT_NE(std::memcmp(Encoded, Zero, 12), 0);
  EXPECT_TRUE(B.Problems.empty());
  ASSERT_EQ(B.Hash.Calls().size(), 3u);
  EXPECT_EQ(B.Hash.Calls()[0].Entry, 1u);
  EXPECT_EQ(B.Hash.Calls()[0].Input.size(), 128u);
  EXPECT_EQ(B.Hash.Calls()[0].Output, std::vector<uint8_t>(Encoded, Encoded + 32));
}

// A case is named after its text: letters and digits as they are, anything else as '_', a long
// run of one character as the character and its count.
std::string TextName(const std::string &Text) {
  if (Text.empty()) {
    return "Empty";
  }
  if (Text.size() > 16 && Text.find_first_not_of(Text[0]) == std::string::npos) {
    return std::string(1, Text[0]) + "Times" + std::to_string(Text.size());
  }
  std::string Name = Text;
  for (char &C : Name) {
    if (!std::isalnum((unsigned char)C)) {
      C = '_';
    }
  }
  return Name;
}

INSTANTIATE_TEST_SUITE_P(Texts, PasswordHashEncodings,
                         ::testing::Values("", "a", "secret", "Pa55-word!", std::string(63, 'x'),
                                           std::string(64, 'x')),
                         [](const auto &Info) { return TextName(Info.param); });

TEST(PasswordHash, AFailingEntryReportsItsStatusWithOrWithoutOutput) {
  Board B;
  PASSWORD_HASH_PROTOCOL *Hash = Located(B);
  ASSERT_NE(Hash, nullptr);
  TypedLineBuffer Line = TypedLine("secret");
  uint8_t Setup[12];
  for (bool Writes : {true, false}) {
    SCOPED_TRACE(Writes);
    B.Hash.FailEntry(2, EFI_DEVICE_ERROR, Writes);
    std::memset(Setup, 0xEE, sizeof(Setup));
    EXPECT_EQ(Hash->Entry[2](Line.data(), 64, Setup, 12), EFI_DEVICE_ERROR);
    PasswordForm Expected = SetupForm("secret");
    if (Writes) {
      EXPECT_EQ(std::memcmp(Setup, Expected.data(), 12), 0);
    } else {
      EXPECT_EQ(std::vector<uint8_t>(Setup, Setup + 12), std::vector<uint8_t>(12, 0xEE));
    }
    EXPECT_EQ(B.Hash.Calls().back().Status, EFI_DEVICE_ERROR);
  }
  // Other entries keep working, and the failure can be taken back.
  uint8_t Encoded[32];
  EXPECT_EQ(Hash->Entry[1](Line.data(), 64, Encoded, 32), EFI_SUCCESS);
  B.Hash.FailEntry(2, EFI_SUCCESS, false);
  EXPECT_EQ(Hash->Entry[2](Line.data(), 64, Setup, 12), EFI_SUCCESS);
  EXPECT_TRUE(B.Problems.empty());
}

TEST(PasswordHash, DifferentLinesGiveDifferentForms) {
  const std::vector<std::string> Texts = {
      "a", "b", "ab", "ba", "A", "aa", "abc", "acb", std::string(63, 'z'), std::string(64, 'z')};
  std::set<PasswordForm> Modules;
  std::set<PasswordForm> Setups;
  for (const std::string &Text : Texts) {
    Modules.insert(ModuleForm(Text));
    Setups.insert(SetupForm(Text));
  }
  EXPECT_EQ(Modules.size(), Texts.size());
  EXPECT_EQ(Setups.size(), Texts.size());
  // Only 64 characters are typed: a longer text is the same line.
  EXPECT_EQ(ModuleForm(std::string(64, 'q')), ModuleForm(std::string(70, 'q')));
}

TEST(PasswordHash, SetupStoreHoldsTheSetupForms) {
  std::vector<uint8_t> Store = SetupPasswordStore("user", "");
  ASSERT_EQ(Store.size(), 257u);
  PasswordForm User = SetupForm("user");
  EXPECT_TRUE(std::equal(User.begin(), User.end(), Store.begin()));
  EXPECT_TRUE(std::all_of(Store.begin() + 12, Store.end(), [](uint8_t V) { return V == 0; }));
  Store = SetupPasswordStore("", "admin");
  PasswordForm Admin = SetupForm("admin");
  EXPECT_TRUE(std::all_of(Store.begin(), Store.begin() + 128, [](uint8_t V) { return V == 0; }));
  EXPECT_TRUE(std::equal(Admin.begin(), Admin.end(), Store.begin() + 128));
}

struct MisuseCase {
  const char *Name;
  size_t Entry;
  UINTN InputLength;
  UINTN OutputLength;
  const char *Problem;
  EFI_STATUS Status;
};
void PrintTo(const MisuseCase &Case, std::ostream *Out) {
  *Out << Case.Name;
}

class PasswordHashMisuse : public ::testing::TestWithParam<MisuseCase> {};

TEST_P(PasswordHashMisuse, IsABoardProblem) {
  const MisuseCase &Case = GetParam();
  Board B;
  PASSWORD_HASH_PROTOCOL *Hash = Located(B);
  TypedLineBuffer Line = TypedLine("pw");
  uint8_t Out[64] = {};
  EXPECT_EQ(Hash->Entry[Case.Entry](Line.data(), Case.InputLength, Out, Case.OutputLength),
            Case.Status);
  ASSERT_EQ(B.Problems.size(), 1u);
  EXPECT_NE(B.Problems[0].find(Case.Problem), std::string::npos) << B.Problems[0];
  const uint8_t Zero[64] = {};
  EXPECT_EQ(std::memcmp(Out, Zero, sizeof(Out)), 0); // nothing written
}

INSTANTIATE_TEST_SUITE_P(
    Misuse, PasswordHashMisuse,
    ::testing::Values(
        MisuseCase{"EntryZero", 0, 64, 32, "entry 0 called", EFI_UNSUPPORTED},
        MisuseCase{"EntryThree", 3, 64, 12, "entry 3 called", EFI_UNSUPPORTED},
        MisuseCase{"EntryFour", 4, 12, 12, "entry 4 called", EFI_UNSUPPORTED},
        MisuseCase{"LineInBytes", 1, 128, 32, "input length 128", EFI_INVALID_PARAMETER},
        MisuseCase{"ShortModuleOutput", 1, 64, 12, "output length 12", EFI_INVALID_PARAMETER},
        MisuseCase{"LongSetupOutput", 2, 64, 32, "output length 32", EFI_INVALID_PARAMETER},
        MisuseCase{"ModuleFormLength", 5, 64, 12, "input length 64", EFI_INVALID_PARAMETER}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST(PasswordHash, LineWithCharactersAfterItsEndIsAProblem) {
  Board B;
  PASSWORD_HASH_PROTOCOL *Hash = Located(B);
  TypedLineBuffer Line = TypedLine("abc");
  Line[10] = u'x'; // left over from an earlier, longer line
  uint8_t Out[32];
  Hash->Entry[1](Line.data(), 64, Out, 32);
  ASSERT_EQ(B.Problems.size(), 1u);
  EXPECT_NE(B.Problems[0].find("not zero-filled"), std::string::npos);
  // And the stale character changes the form: a driver that leaves it cannot pass.
  EXPECT_NE(std::memcmp(Out, ModuleForm("abc").data(), 12), 0);
}

TEST(PasswordHash, CanBeTakenOffTheBoardAcrossReboots) {
  Board B;
  B.Hash.SetPresent(false);
  VOID *Found = nullptr;
  EXPECT_EQ(B.BootServices.LocateProtocol(&PASSWORD_HASH_PROTOCOL_GUID, nullptr, &Found),
            EFI_NOT_FOUND);
  B.Reboot();
  EXPECT_EQ(B.BootServices.LocateProtocol(&PASSWORD_HASH_PROTOCOL_GUID, nullptr, &Found),
            EFI_NOT_FOUND);
  B.Hash.SetPresent(true);
  EXPECT_EQ(B.BootServices.LocateProtocol(&PASSWORD_HASH_PROTOCOL_GUID, nullptr, &Found),
            EFI_SUCCESS);
}

} // namespace
} // namespace sim
