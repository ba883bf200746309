// The notebook as the fingerprint authentication tests set it up: FingerprintAuthDxe loaded
// from its firmware file, a reader in the USB stack, a display controller, and the setup
// engine that calls FingerprintAuthenticate. Each test adds passwords, drives and keys.
#pragma once

#include "board_test_support.h"
#include "fingerprint_module.h"
#include "fingerprint_services.h"
#include "password_hash.h"
#include "setup_engine.h"
#include "status_names.h"

#include <array>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace sim::test {

namespace {
// A row of a table of cases prints as its name in gtest's messages. The cases live in each test
// file's unnamed namespace, where argument-dependent lookup finds this.
template <typename Case>
auto operator<<(std::ostream &Out, const Case &C) -> decltype(Out << C.Name) {
  return Out << C.Name;
}
} // namespace

// CRC-16/XMODEM of a drive's serial number (the key of its hard-disk map entry), written
// independently of the driver's.
inline uint16_t Crc16(const std::array<uint8_t, 20> &Data) {
  uint16_t Crc = 0;
  for (uint8_t Byte : Data) {
    Crc ^= (uint16_t)(Byte << 8);
    for (int Bit = 0; Bit < 8; Bit++) {
      Crc = (Crc & 0x8000) ? (uint16_t)((Crc << 1) ^ 0x1021) : (uint16_t)(Crc << 1);
    }
  }
  return Crc;
}

inline std::vector<uint8_t> Bytes(const PasswordForm &Form) {
  return std::vector<uint8_t>(Form.begin(), Form.end());
}

// The typed text as it sits in a typed line (UCS-2 little-endian), for memory searches.
inline std::vector<uint8_t> TypedBytes(const std::string &Text) {
  std::vector<uint8_t> Out;
  for (char C : Text) {
    Out.push_back((uint8_t)C);
    Out.push_back(0);
  }
  return Out;
}

struct Notebook {
  Board B;
  SetupEngine Engine{B};
  std::vector<uint8_t> WindowBefore;
  size_t PoolLiveBefore = 0;

  // ReaderEntry 0 places no reader.
  explicit Notebook(size_t ReaderEntry = 5, bool LoadDriver = true, bool Display = true) {
    if (ReaderEntry != 0) {
      B.Usb.PlaceReader(ReaderEntry, 2);
    }
    B.Pci.Add("host bridge", 0x06);
    if (Display) {
      B.Pci.AddDisplayController("display controller");
    }
    B.FingerprintModule.EnrollFinger(0x01, 0xA5);
    if (LoadDriver) {
      Load();
    }
  }

  void Load() {
    RunResult Loaded = B.LoadDriverFromFirmwareFile("FingerprintAuthDxe");
    ASSERT_TRUE(Loaded.Returned()) << Loaded.Message;
    ASSERT_EQ(Loaded.Status, EFI_SUCCESS);
  }

  void SetPasswords(const std::string &User, const std::string &Admin) {
    B.Variables.Put(u"VELTRASetup", VELTRASETUP_GUID, EFI_VARIABLE_NV_BS_RT,
                    SetupPasswordStore(User, Admin));
  }

  void PutVariable(const std::u16string &Name, uint32_t Attributes, std::vector<uint8_t> Data) {
    B.Variables.Put(Name, EFI_GLOBAL_VARIABLE, Attributes, std::move(Data));
  }

  std::vector<uint8_t> Variable(const std::u16string &Name) const {
    const sim::Variable *V = B.Variables.Find(Name, EFI_GLOBAL_VARIABLE);
    return V ? V->Data : std::vector<uint8_t>{};
  }

  // The window gets a pattern the run must give back byte for byte.
  void FillWindow() {
    auto *Window = reinterpret_cast<uint8_t *>(FP_WINDOW_BASE);
    for (size_t I = 0; I < FP_WINDOW_SIZE; I++) {
      Window[I] = (uint8_t)(I * 31 + (I >> 11));
    }
  }

  std::vector<uint8_t> Window() const {
    auto *Window = reinterpret_cast<const uint8_t *>(FP_WINDOW_BASE);
    return std::vector<uint8_t>(Window, Window + FP_WINDOW_SIZE);
  }

  // One authentication run with the window and the pool watched.
  AuthRun Run(uint32_t AuthFlags, uint32_t ControlFlags = 0) {
    FillWindow();
    WindowBefore = Window();
    PoolLiveBefore = B.LivePoolBlocks();
    B.Variables.ClearLog();
    return Engine.Authenticate(AuthFlags, ControlFlags);
  }

  // What every run that returns must leave: the window as before, no pool block or page
  // kept, no board problem.
  void ExpectCleanReturn(const AuthRun &R) {
    ASSERT_TRUE(R.Returned()) << OutcomeName(R.How) << ": " << R.Message;
    EXPECT_TRUE(Window() == WindowBefore) << "low memory not restored";
    EXPECT_EQ(B.LivePoolBlocks(), PoolLiveBefore) << "pool leak";
    for (const auto &[Address, Block] : B.Pages) {
      EXPECT_TRUE(Block.Freed) << "pages at 0x" << std::hex << Address << " kept";
    }
    EXPECT_TRUE(B.Problems.empty()) << B.Problems.front();
  }

  std::vector<uint8_t> RequestCodes() const { return B.FingerprintModule.RequestCodes(); }

  // Variable writes of this run: name, attributes, data.
  std::vector<VariableCall> Writes() const {
    std::vector<VariableCall> Out;
    for (const VariableCall &Call : B.Variables.Calls()) {
      if (Call.IsSet) {
        Out.push_back(Call);
      }
    }
    return Out;
  }

  std::vector<VariableCall> WritesOf(const std::u16string &Name) const {
    std::vector<VariableCall> Out;
    for (const VariableCall &Call : Writes()) {
      if (Call.Name == Name) {
        Out.push_back(Call);
      }
    }
    return Out;
  }

  // The screens the run showed, as plain text.
  std::vector<std::string> Screens(const AuthRun &R) const {
    std::vector<std::string> Out;
    for (size_t I = R.FirstFrame; I < B.Console.Frames().size(); I++) {
      Out.push_back(B.Console.Frames()[I].Screen.Text());
    }
    return Out;
  }

  bool AnyScreenContains(const AuthRun &R, const std::string &Text) const {
    for (const std::string &Screen : Screens(R)) {
      if (Screen.find(Text) != std::string::npos) {
        return true;
      }
    }
    return false;
  }
};

} // namespace sim::test
