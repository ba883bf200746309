#include "password_hash.h"

#include "boot_services.h"
#include "service_calls.h"

#include <cstring>

namespace sim {
namespace {

// The board's one PasswordHash, for the members of the interface it publishes.
PasswordHash *Active = nullptr;

constexpr UINTN kModuleEncodingSize = 32;

uint64_t Mix(uint64_t Value) {
  Value += 0x9E3779B97F4A7C15ull;
  Value = (Value ^ (Value >> 30)) * 0xBF58476D1CE4E5B9ull;
  Value = (Value ^ (Value >> 27)) * 0x94D049BB133111EBull;
  return Value ^ (Value >> 31);
}

// Entries 0, 3 and 4: not offered on this board.
template <size_t Entry> EFI_STATUS EFIAPI Absent(const VOID *, UINTN, VOID *, UINTN) {
  BootServices::Current().Problem("password hash entry " + std::to_string(Entry) +
                                  " called: the board offers only entries 1, 2 and 5");
  return EFI_UNSUPPORTED;
}

template <size_t Entry>
EFI_STATUS EFIAPI Offered(const VOID *Input, UINTN InputLength, VOID *Output, UINTN OutputLength) {
  return Active->Call(Entry, Input, InputLength, Output, OutputLength);
}

// What --calls shows of an entry: its number and the lengths (the input is a password: its
// bytes stay out of the report).
template <size_t Entry>
void DescribeHashEntry(ServiceCall &Call, const VOID *Input, UINTN InputLength, VOID *,
                       UINTN OutputLength) {
  Call.Service = "PasswordHash->Entry[" + std::to_string(Entry) + "]";
  Call.Arguments = {Input == nullptr ? "input NULL"
                                     : "input of " + std::to_string(InputLength) + " byte(s)",
                    "output of " + std::to_string(OutputLength) + " byte(s)"};
}

} // namespace

TypedLineBuffer TypedLine(const std::string &Text) {
  TypedLineBuffer Line{};
  for (size_t I = 0; I < Text.size() && I < TYPED_LINE_LENGTH; I++) {
    Line[I] = (CHAR16)(uint8_t)Text[I];
  }
  return Line;
}

std::array<uint8_t, 32> ModuleEncoding(const CHAR16 *Line64) {
  // Two running sums over all 64 characters (the zeros after the text included), then a
  // stream of mixed words. Any change of a character changes every output byte.
  uint64_t A = 0xCBF29CE484222325ull;
  uint64_t B = 0x84222325CBF29CE4ull;
  for (UINTN I = 0; I < TYPED_LINE_LENGTH; I++) {
    A = (A ^ Line64[I]) * 0x100000001B3ull;
    B = Mix(B ^ ((uint64_t)Line64[I] << (I % 48)));
  }
  std::array<uint8_t, 32> Out{};
  uint64_t State = A ^ Mix(B);
  for (size_t Word = 0; Word < 4; Word++) {
    State = Mix(State + Word);
    for (size_t Byte = 0; Byte < 8; Byte++) {
      Out[Word * 8 + Byte] = (uint8_t)(State >> (8 * Byte));
    }
  }
  // A password form of all zeros would read as "no password": never produce one.
  bool AllZero = true;
  for (size_t I = 0; I < PASSWORD_FORM_SIZE; I++) {
    AllZero = AllZero && Out[I] == 0;
  }
  if (AllZero) {
    Out[0] = 1;
  }
  return Out;
}

PasswordForm SetupFormOfModuleForm(const PasswordForm &Module) {
  // A byte permutation with a position-dependent key: a different form from the module's,
  // never all zero because the key makes at least one byte differ from its source.
  PasswordForm Setup{};
  bool AllZero = true;
  for (size_t I = 0; I < PASSWORD_FORM_SIZE; I++) {
    Setup[I] = (uint8_t)(Module[(I * 5 + 3) % PASSWORD_FORM_SIZE] ^ (0x5A + 29 * I));
    AllZero = AllZero && Setup[I] == 0;
  }
  if (AllZero) {
    Setup[0] = 1;
  }
  return Setup;
}

PasswordForm SetupFormOfLine(const CHAR16 *Line64) {
  std::array<uint8_t, 32> Encoded = ModuleEncoding(Line64);
  PasswordForm Module{};
  std::memcpy(Module.data(), Encoded.data(), Module.size());
  return SetupFormOfModuleForm(Module);
}

PasswordForm ModuleForm(const std::string &Text) {
  TypedLineBuffer Line = TypedLine(Text);
  std::array<uint8_t, 32> Encoded = ModuleEncoding(Line.data());
  PasswordForm Form{};
  std::memcpy(Form.data(), Encoded.data(), Form.size());
  return Form;
}

PasswordForm SetupForm(const std::string &Text) {
  TypedLineBuffer Line = TypedLine(Text);
  return SetupFormOfLine(Line.data());
}

std::vector<uint8_t> SetupPasswordStore(const std::string &User, const std::string &Admin) {
  std::vector<uint8_t> Store(257, 0);
  if (!User.empty()) {
    PasswordForm Form = SetupForm(User);
    std::memcpy(Store.data(), Form.data(), Form.size());
  }
  if (!Admin.empty()) {
    PasswordForm Form = SetupForm(Admin);
    std::memcpy(Store.data() + 128, Form.data(), Form.size());
  }
  return Store;
}

// ---- the service -------------------------------------------------------------------------------
PasswordHash::PasswordHash(BootServices &Owner) : Owner(Owner) {
  Active = this;
  Table.Entry[0] = Recorded<Absent<0>, DescribeHashEntry<0>>;
  Table.Entry[1] = OffImageStack<Recorded<Offered<1>, DescribeHashEntry<1>>>;
  Table.Entry[2] = OffImageStack<Recorded<Offered<2>, DescribeHashEntry<2>>>;
  Table.Entry[3] = Recorded<Absent<3>, DescribeHashEntry<3>>;
  Table.Entry[4] = Recorded<Absent<4>, DescribeHashEntry<4>>;
  Table.Entry[5] = OffImageStack<Recorded<Offered<5>, DescribeHashEntry<5>>>;
}

void PasswordHash::Install() {
  if (Published.Installed()) {
    return; // already on the board in this boot
  }
  CallLog.clear();
  Published.Publish();
}

size_t PasswordHash::CallsOf(size_t Entry) const {
  size_t Count = 0;
  for (const HashCall &Call : CallLog) {
    Count += Call.Entry == Entry ? 1 : 0;
  }
  return Count;
}

EFI_STATUS PasswordHash::Call(size_t Entry, const VOID *Input, UINTN InputLength, VOID *Output,
                              UINTN OutputLength) {
  HashCall Record;
  Record.Entry = Entry;
  Record.InputLength = InputLength;
  Record.OutputLength = OutputLength;

  // What each entry takes and gives, in bytes: a typed line is 64 CHAR16.
  const bool TypedInput = Entry != PASSWORD_HASH_MODULE_TO_SETUP_FORM;
  const UINTN WantInput = TypedInput ? TYPED_LINE_LENGTH : PASSWORD_FORM_SIZE;
  const UINTN WantOutput =
      Entry == PASSWORD_HASH_TYPED_TO_MODULE_FORM ? kModuleEncodingSize : PASSWORD_FORM_SIZE;
  const std::string Name = "password hash entry " + std::to_string(Entry);
  if (Input == nullptr || Output == nullptr || InputLength != WantInput ||
      OutputLength != WantOutput) {
    Owner.Problem(Name + " called with input length " + std::to_string(InputLength) +
                  ", output length " + std::to_string(OutputLength) +
                  (Input == nullptr || Output == nullptr ? " and a null buffer" : "") +
                  " (expects " + std::to_string(WantInput) + " and " + std::to_string(WantOutput) +
                  ")");
    Record.Status = EFI_INVALID_PARAMETER;
    CallLog.push_back(std::move(Record));
    return EFI_INVALID_PARAMETER;
  }

  const size_t InputBytes = TypedInput ? WantInput * sizeof(CHAR16) : WantInput;
  const auto *In = static_cast<const uint8_t *>(Input);
  Record.Input.assign(In, In + InputBytes);

  std::vector<uint8_t> Out;
  if (TypedInput) {
    const auto *Line = static_cast<const CHAR16 *>(Input);
    // The line is the typed characters followed by zeros only.
    bool Ended = false;
    for (UINTN I = 0; I < TYPED_LINE_LENGTH; I++) {
      if (Line[I] == 0) {
        Ended = true;
      } else if (Ended) {
        Owner.Problem(Name + ": typed line holds a character after its end (not zero-filled)");
        break;
      }
    }
    if (Entry == PASSWORD_HASH_TYPED_TO_MODULE_FORM) {
      std::array<uint8_t, 32> Encoded = ModuleEncoding(Line);
      Out.assign(Encoded.begin(), Encoded.end());
    } else {
      PasswordForm Setup = SetupFormOfLine(Line);
      Out.assign(Setup.begin(), Setup.end());
    }
  } else {
    PasswordForm Module{};
    std::memcpy(Module.data(), In, Module.size());
    PasswordForm Setup = SetupFormOfModuleForm(Module);
    Out.assign(Setup.begin(), Setup.end());
  }
  auto Failing = Failures.find(Entry);
  if (Failing != Failures.end()) {
    Record.Status = Failing->second.Status;
    if (Failing->second.WritesOutput) {
      std::memcpy(Output, Out.data(), Out.size());
      Record.Output = std::move(Out);
    }
    CallLog.push_back(std::move(Record));
    return Failing->second.Status;
  }
  std::memcpy(Output, Out.data(), Out.size());
  Record.Output = std::move(Out);
  CallLog.push_back(std::move(Record));
  return EFI_SUCCESS;
}

void PasswordHash::FailEntry(size_t Entry, EFI_STATUS Status, bool WritesOutput) {
  if (Status == EFI_SUCCESS) {
    Failures.erase(Entry);
  } else {
    Failures[Entry] = {Status, WritesOutput};
  }
}

PasswordHash::~PasswordHash() {
  Active = nullptr;
}

} // namespace sim
