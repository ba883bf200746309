// SATA drives: what a drive handle offers (security word, IDENTIFY data, WhichIde, device path),
// the ATA security state machine behind the verify service, its contract checks and its
// failure options.
#include "board.h"
#include "guids.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace sim {
namespace {

HDD_PASSWORD_VERIFY_PROTOCOL *Verify(Board &B) {
  HDD_PASSWORD_VERIFY_PROTOCOL *Service = nullptr;
  EXPECT_EQ(B.BootServices.LocateProtocol(&HDD_PASSWORD_VERIFY_PROTOCOL_GUID, nullptr,
                                          reinterpret_cast<VOID **>(&Service)),
            EFI_SUCCESS);
  return Service;
}

template <typename T> T *On(Board &B, EFI_HANDLE Handle, const EFI_GUID &Guid) {
  VOID *Interface = nullptr;
  B.BootServices.HandleProtocol(Handle, &Guid, &Interface);
  return static_cast<T *>(Interface);
}

// Reads IDENTIFY into a pool buffer, as the unlock does, and gives its serial field.
const uint8_t *SerialField(Board &B, SataDrive &Drive) {
  auto *Info = On<EFI_DISK_INFO_PROTOCOL>(B, Drive.Handle, EFI_DISK_INFO_PROTOCOL_GUID);
  auto *Buffer = static_cast<uint8_t *>(B.AllocatePool(512, EfiBootServicesData));
  UINT32 Size = 512;
  EXPECT_EQ(Info->Identify(Info, Buffer, &Size), EFI_SUCCESS);
  return Buffer + 20;
}

std::array<uint8_t, 32> PasswordBuffer(const PasswordForm &Form) {
  std::array<uint8_t, 32> Buffer{};
  std::memcpy(Buffer.data(), Form.data(), Form.size());
  return Buffer;
}

uint16_t SecurityWord(Board &B, SataDrive &Drive) {
  auto *Security = On<HDD_SECURITY_PROTOCOL>(B, Drive.Handle, HDD_SECURITY_PROTOCOL_GUID);
  UINT16 Word = 0;
  EXPECT_EQ(Security->GetSecurityStatus(Security, &Word), EFI_SUCCESS);
  return Word;
}

// The controller function as a driver finds it: the first PCI node of the device path.
int PciFunction(const uint8_t *Path) {
  while (Path[0] != 0x7F && Path[0] != 0xFF) {
    if (Path[0] == 1 && Path[1] == 1) {
      return Path[4];
    }
    Path += Path[2] | (Path[3] << 8);
  }
  return -1;
}

TEST(SataDrives, DriveHandleOffersSecurityDiskInfoAndDevicePath) {
  Board B;
  SataDrive &Drive = B.Sata.AddLockedDrive("disk", 1, 1, 1, ModuleForm("user"));
  Drive.SetSerial("WD-WCAV12345678");
  B.Reboot(); // drives come back on new handles at every power-on
  ASSERT_EQ(B.HandlesWith(HDD_SECURITY_PROTOCOL_GUID).size(), 1u);
  EFI_HANDLE Handle = B.HandlesWith(HDD_SECURITY_PROTOCOL_GUID)[0];
  EXPECT_EQ(Handle, Drive.Handle);

  EXPECT_EQ(SecurityWord(B, Drive), 0x0001 | 0x0002 | 0x0004);

  auto *Info = On<EFI_DISK_INFO_PROTOCOL>(B, Handle, EFI_DISK_INFO_PROTOCOL_GUID);
  ASSERT_NE(Info, nullptr);
  UINT32 Channel = 9, Device = 9;
  EXPECT_EQ(Info->WhichIde(Info, &Channel, &Device), EFI_SUCCESS);
  EXPECT_EQ(Channel, 1u);
  EXPECT_EQ(Device, 1u);
  uint8_t Identify[512];
  UINT32 Size = 100;
  EXPECT_EQ(Info->Identify(Info, Identify, &Size), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Size, 512u);
  EXPECT_EQ(Info->Identify(Info, Identify, &Size), EFI_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(Identify + 20), 20), "WD-WCAV12345678     ");
  EXPECT_EQ(Identify[256] | (Identify[257] << 8), 0x0007); // word 128
  EXPECT_EQ(Drive.LastIdentifyBuffer, Identify);

  auto *Path = On<uint8_t>(B, Handle, EFI_DEVICE_PATH_PROTOCOL_GUID);
  ASSERT_NE(Path, nullptr);
  EXPECT_EQ(PciFunction(Path), 1);
  EXPECT_EQ(Path[0], 0x02); // ACPI first, so the PCI node is not at the start
}

TEST(SataDrives, SecurityWordFollowsTheState) {
  Board B;
  SataDrive &Drive = B.Sata.AddDrive("plain", 0, 0);
  EXPECT_EQ(SecurityWord(B, Drive), 0x0001);
  Drive.SecurityEnabled = true;
  EXPECT_EQ(SecurityWord(B, Drive), 0x0003);
  Drive.Frozen = true;
  EXPECT_EQ(SecurityWord(B, Drive), 0x000B);
  Drive.Locked = true;
  Drive.MaximumSecurity = true;
  EXPECT_EQ(SecurityWord(B, Drive), 0x010F);
}

struct UnlockCase {
  const char *Name;
  std::function<void(SataDrive &)> Configure;
  uint8_t Type;
  const char *Password;
  EFI_STATUS Expected;
  bool LockedAfter;
};
void PrintTo(const UnlockCase &Case, std::ostream *Out) {
  *Out << Case.Name;
}

class SataUnlock : public ::testing::TestWithParam<UnlockCase> {};

TEST_P(SataUnlock, VerifyAnswersAsTheDriveDoes) {
  const UnlockCase &Case = GetParam();
  Board B;
  SataDrive &Drive =
      B.Sata.AddLockedDrive("disk", 0, 0, 0, ModuleForm("user pw"), ModuleForm("master pw"));
  Case.Configure(Drive);
  std::array<uint8_t, 32> Buffer = PasswordBuffer(ModuleForm(Case.Password));
  EXPECT_EQ(Verify(B)->VerifyPassword(&Drive.Security, Case.Type, SerialField(B, Drive), 2,
                                      Buffer.data()),
            Case.Expected);
  EXPECT_EQ(Drive.Locked, Case.LockedAfter);
  EXPECT_EQ((SecurityWord(B, Drive) & 0x0004) != 0, Case.LockedAfter);
  EXPECT_TRUE(B.Problems.empty()) << B.Problems.front();
  ASSERT_EQ(B.Sata.Attempts().size(), 1u);
  const VerifyAttempt &A = B.Sata.Attempts()[0];
  EXPECT_EQ(A.Drive, 0);
  EXPECT_EQ(A.Type, Case.Type);
  EXPECT_EQ(A.Password, ModuleForm(Case.Password));
  EXPECT_EQ(A.DriveNumber, 2);
  EXPECT_EQ(A.Result, Case.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SataUnlock,
    ::testing::Values(
        UnlockCase{"RightUser", [](SataDrive &) {}, 0, "user pw", EFI_SUCCESS, false},
        UnlockCase{"RightMaster", [](SataDrive &) {}, 1, "master pw", EFI_SUCCESS, false},
        UnlockCase{"UserPasswordAsMaster", [](SataDrive &) {}, 1, "user pw", EFI_SECURITY_VIOLATION,
                   true},
        UnlockCase{"MasterPasswordAsUser", [](SataDrive &) {}, 0, "master pw",
                   EFI_SECURITY_VIOLATION, true},
        UnlockCase{"Wrong", [](SataDrive &) {}, 0, "guess", EFI_SECURITY_VIOLATION, true},
        UnlockCase{"RefusalAsWarning",
                   [](SataDrive &D) { D.RefusalStatus = EFI_WARN_BUFFER_TOO_SMALL; }, 0, "guess",
                   EFI_WARN_BUFFER_TOO_SMALL, true},
        UnlockCase{"FrozenRefusesRight", [](SataDrive &D) { D.Frozen = true; }, 0, "user pw",
                   EFI_SECURITY_VIOLATION, true},
        UnlockCase{"MaximumLevelRefusesMaster", [](SataDrive &D) { D.MaximumSecurity = true; }, 1,
                   "master pw", EFI_SECURITY_VIOLATION, true},
        UnlockCase{"NoMasterPassword", [](SataDrive &D) { D.MasterPassword.reset(); }, 1,
                   "master pw", EFI_SECURITY_VIOLATION, true},
        UnlockCase{"CountExpired",
                   [](SataDrive &D) {
                     D.AttemptLimit = 5;
                     D.WrongAttempts = 5;
                   },
                   0, "user pw", EFI_SECURITY_VIOLATION, true}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST(SataDrives, AttemptLimitCountsWrongPasswordsUntilThePowerCycle) {
  Board B;
  SataDrive &Drive = B.Sata.AddLockedDrive("disk", 0, 0, 0, ModuleForm("right"));
  Drive.AttemptLimit = 2;
  HDD_PASSWORD_VERIFY_PROTOCOL *Service = Verify(B);
  std::array<uint8_t, 32> Wrong = PasswordBuffer(ModuleForm("wrong"));
  std::array<uint8_t, 32> Right = PasswordBuffer(ModuleForm("right"));
  const uint8_t *Serial = SerialField(B, Drive);
  EXPECT_NE(Service->VerifyPassword(&Drive.Security, 0, Serial, 0, Wrong.data()), EFI_SUCCESS);
  EXPECT_NE(Service->VerifyPassword(&Drive.Security, 1, Serial, 0, Wrong.data()), EFI_SUCCESS);
  EXPECT_EQ(SecurityWord(B, Drive) & 0x0010, 0x0010);
  EXPECT_NE(Service->VerifyPassword(&Drive.Security, 0, Serial, 0, Right.data()), EFI_SUCCESS);
  B.Reboot();
  Serial = SerialField(B, Drive);
  EXPECT_EQ(Verify(B)->VerifyPassword(&Drive.Security, 0, Serial, 0, Right.data()), EFI_SUCCESS);
}

TEST(SataDrives, UnlockedDriveIsLockedAgainAtTheNextPowerOn) {
  Board B;
  SataDrive &Drive = B.Sata.AddLockedDrive("disk", 0, 0, 0, ModuleForm("pw"));
  std::array<uint8_t, 32> Right = PasswordBuffer(ModuleForm("pw"));
  ASSERT_EQ(Verify(B)->VerifyPassword(&Drive.Security, 0, SerialField(B, Drive), 0, Right.data()),
            EFI_SUCCESS);
  EXPECT_FALSE(Drive.Locked);
  EXPECT_EQ(B.Timeline.back(), "hdd verify disk user accepted");
  B.Reboot();
  EXPECT_TRUE(Drive.Locked);
  EXPECT_TRUE(B.Sata.Attempts().empty());
  EXPECT_EQ(Drive.LastIdentifyBuffer, nullptr);
}

struct ContractCase {
  const char *Name;
  // Returns the serial pointer to pass; may change the password buffer or the arguments.
  std::function<const uint8_t *(Board &, SataDrive &, std::array<uint8_t, 32> &, uint8_t &,
                                HDD_SECURITY_PROTOCOL *&)>
      Arrange;
  const char *Problem;
};
void PrintTo(const ContractCase &Case, std::ostream *Out) {
  *Out << Case.Name;
}

class SataVerifyContract : public ::testing::TestWithParam<ContractCase> {};

TEST_P(SataVerifyContract, BreachIsABoardProblem) {
  const ContractCase &Case = GetParam();
  Board B;
  SataDrive &Drive = B.Sata.AddLockedDrive("disk", 0, 0, 0, ModuleForm("pw"));
  std::array<uint8_t, 32> Buffer = PasswordBuffer(ModuleForm("pw"));
  uint8_t Type = 0;
  HDD_SECURITY_PROTOCOL *Interface = &Drive.Security;
  const uint8_t *Serial = Case.Arrange(B, Drive, Buffer, Type, Interface);
  Verify(B)->VerifyPassword(Interface, Type, Serial, 0, Buffer.data());
  ASSERT_EQ(B.Problems.size(), 1u) << (B.Problems.empty() ? "" : B.Problems[1]);
  EXPECT_NE(B.Problems[0].find(Case.Problem), std::string::npos) << B.Problems[0];
  ASSERT_EQ(B.Sata.Attempts().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Breaches, SataVerifyContract,
    ::testing::Values(
        ContractCase{"SerialCopy",
                     [](Board &B, SataDrive &D, auto &, uint8_t &, auto *&) {
                       SerialField(B, D);
                       return D.Serial.data(); // the right bytes, but not the IDENTIFY field
                     },
                     "is not the serial field of the drive's IDENTIFY data"},
        ContractCase{
            "NoIdentifyRead",
            [](Board &, SataDrive &D, auto &, uint8_t &, auto *&) { return D.Serial.data(); },
            "is not the serial field"},
        ContractCase{"SerialOverwritten",
                     [](Board &B, SataDrive &D, auto &, uint8_t &, auto *&) {
                       const uint8_t *Serial = SerialField(B, D);
                       const_cast<uint8_t *>(Serial)[3] ^= 1;
                       return Serial;
                     },
                     "serial field does not hold its serial"},
        ContractCase{"IdentifyBufferFreed",
                     [](Board &B, SataDrive &D, auto &, uint8_t &, auto *&) {
                       const uint8_t *Serial = SerialField(B, D);
                       B.FreePool(const_cast<uint8_t *>(Serial - 20));
                       return Serial;
                     },
                     "lies in freed pool"},
        ContractCase{
            "TrailingBytes",
            [](Board &B, SataDrive &D, std::array<uint8_t, 32> &Buffer, uint8_t &, auto *&) {
              Buffer[31] = 1;
              return SerialField(B, D);
            },
            "password buffer byte 31 is not zero"},
        ContractCase{"PasswordType",
                     [](Board &B, SataDrive &D, auto &, uint8_t &Type, auto *&) {
                       Type = 2;
                       return SerialField(B, D);
                     },
                     "password type 2"},
        ContractCase{"ForeignInterface",
                     [](Board &B, SataDrive &D, auto &, uint8_t &, HDD_SECURITY_PROTOCOL *&I) {
                       static HDD_SECURITY_PROTOCOL Other{};
                       I = &Other;
                       return SerialField(B, D);
                     },
                     "no drive's HDD security"}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST(SataDrives, FailureOptions) {
  Board B;
  SataDrive &Drive = B.Sata.AddDrive("flaky", 2, 0);
  Drive.WhichIdeScript = {EFI_SUCCESS, EFI_DEVICE_ERROR};
  Drive.SecurityStatusResult = EFI_NOT_READY;
  Drive.IdentifyStatus = EFI_DEVICE_ERROR;
  auto *Info = On<EFI_DISK_INFO_PROTOCOL>(B, Drive.Handle, EFI_DISK_INFO_PROTOCOL_GUID);
  UINT32 Channel = 0, Device = 0;
  EXPECT_EQ(Info->WhichIde(Info, &Channel, &Device), EFI_SUCCESS);
  EXPECT_EQ(Channel, 2u);
  EXPECT_EQ(Info->WhichIde(Info, &Channel, &Device), EFI_DEVICE_ERROR);
  EXPECT_EQ(Info->WhichIde(Info, &Channel, &Device), EFI_SUCCESS); // script used up
  EXPECT_EQ(Drive.WhichIdeCalls, 3u);
  auto *Security = On<HDD_SECURITY_PROTOCOL>(B, Drive.Handle, HDD_SECURITY_PROTOCOL_GUID);
  UINT16 Word = 0x5555;
  EXPECT_EQ(Security->GetSecurityStatus(Security, &Word), EFI_NOT_READY);
  EXPECT_EQ(Word, 0x5555);
  uint8_t Identify[512];
  UINT32 Size = 512;
  EXPECT_EQ(Info->Identify(Info, Identify, &Size), EFI_DEVICE_ERROR);

  SataDrive &Bare = B.Sata.AddDrive("bare", 0, 1);
  Bare.HasDiskInfo = false;
  Bare.HasDevicePath = false;
  SataDrive &NoPci = B.Sata.AddDrive("no pci node", 1, 0);
  NoPci.CustomDevicePath = std::vector<uint8_t>{0x02, 0x01, 0x0C, 0x00, 0xD0, 0x41, 0x03, 0x0A,
                                                0x00, 0x00, 0x00, 0x00, 0x7F, 0xFF, 0x04, 0x00};
  B.Reboot();
  EXPECT_EQ(B.HandlesWith(HDD_SECURITY_PROTOCOL_GUID).size(), 3u);
  EXPECT_EQ(On<void>(B, Bare.Handle, EFI_DISK_INFO_PROTOCOL_GUID), nullptr);
  EXPECT_EQ(On<void>(B, Bare.Handle, EFI_DEVICE_PATH_PROTOCOL_GUID), nullptr);
  EXPECT_EQ(PciFunction(On<uint8_t>(B, NoPci.Handle, EFI_DEVICE_PATH_PROTOCOL_GUID)), -1);
}

TEST(SataDrives, InstallWithinABootKeepsStateAndHandlesAndAppliesTheOptions) {
  Board B;
  SataDrive &Drive = B.Sata.AddLockedDrive("disk", 0, 0, 0, ModuleForm("pw"));
  EFI_HANDLE Handle = Drive.Handle;
  Drive.Locked = false; // security enabled, not locked
  Drive.HasDiskInfo = false;
  B.Sata.Install();
  EXPECT_FALSE(Drive.Locked);
  EXPECT_EQ(Drive.Handle, Handle);
  EXPECT_EQ(B.HandlesWith(HDD_SECURITY_PROTOCOL_GUID).size(), 1u);
  EXPECT_EQ(B.HandlesWith(HDD_PASSWORD_VERIFY_PROTOCOL_GUID).size(), 1u);
  EXPECT_EQ(On<void>(B, Handle, EFI_DISK_INFO_PROTOCOL_GUID), nullptr);
  EXPECT_NE(On<void>(B, Handle, EFI_DEVICE_PATH_PROTOCOL_GUID), nullptr);
  EXPECT_EQ(SecurityWord(B, Drive), 0x0003);
  B.Reboot(); // a power-on locks it again
  EXPECT_TRUE(Drive.Locked);
}

TEST(SataDrives, VerifyServiceCanBeTakenOff) {
  Board B;
  B.Sata.AddLockedDrive("disk", 0, 0, 0, ModuleForm("pw"));
  B.Sata.SetVerifyPresent(false);
  VOID *Found = nullptr;
  EXPECT_EQ(B.BootServices.LocateProtocol(&HDD_PASSWORD_VERIFY_PROTOCOL_GUID, nullptr, &Found),
            EFI_NOT_FOUND);
  B.Reboot();
  EXPECT_TRUE(B.HandlesWith(HDD_PASSWORD_VERIFY_PROTOCOL_GUID).empty());
  EXPECT_EQ(B.HandlesWith(HDD_SECURITY_PROTOCOL_GUID).size(), 1u);
}

} // namespace
} // namespace sim
