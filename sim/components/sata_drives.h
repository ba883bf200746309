// SATA drives with ATA security, as the fingerprint authentication meets them: one handle per
// drive with HDD_SECURITY_PROTOCOL (the ATA security status word), EFI_DISK_INFO_PROTOCOL
// (WhichIde channel and device, 512-byte IDENTIFY data with the serial number at bytes 20..39)
// and a device path whose PCI node carries the SATA controller's function; and the one
// HDD_PASSWORD_VERIFY_PROTOCOL through which a password unlocks a drive.
//
// The security state follows ATA: a drive with a user password has security enabled and is
// locked at every power-on; the right user password (type 0), or the right master password
// (type 1, high security level), unlocks it; a frozen drive refuses; the attempt limit (ATA's
// 5 by default, user and master refusals counted together; 0 for none) makes the drive report
// the count expired (IDENTIFY word 128 bit 4) and refuse everything after that many wrong
// passwords until the next power-on; a verify can be made to fail on the way to the drive
// without reaching it (VerifyFailures). Every verify call is recorded, and a call that breaks the
// contract (a serial-number pointer that is not the drive's IDENTIFY serial field, a buffer whose
// 20 bytes after the password are not zero) is a board problem.
#pragma once

#include "disk_info.h"
#include "fingerprint_services.h"
#include "password_hash.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class BootServices;

struct SataDrive {
  // The interfaces come first: their addresses find the drive.
  HDD_SECURITY_PROTOCOL Security{};
  EFI_DISK_INFO_PROTOCOL DiskInfo{};

  std::string Label;
  // Where the drive sits: WhichIde's answer and the SATA controller's PCI function and device.
  uint32_t Channel = 0;
  uint32_t Device = 0;
  uint8_t ControllerFunction = 0;
  uint8_t ControllerDevice = 0x11;
  std::array<uint8_t, 20> Serial{};        // raw IDENTIFY bytes 20..39
  void SetSerial(const std::string &Text); // padded with blanks to 20 bytes

  // ---- ATA security ----
  bool SecurityEnabled = false; // a user password is set
  bool Locked = false;
  bool Frozen = false;
  bool MaximumSecurity = false; // maximum level: the master password does not unlock
  std::optional<PasswordForm> UserPassword;
  std::optional<PasswordForm> MasterPassword;
  unsigned AttemptLimit = 5; // refused unlocks until the count expires; 0: no limit
  unsigned WrongAttempts = 0;
  EFI_STATUS RefusalStatus = EFI_SECURITY_VIOLATION; // what a refused verify returns
  // Statuses of the next verify calls that fail on the way to the drive (a transient link or
  // controller error): the drive sees no password, stays as it is and counts nothing.
  std::deque<EFI_STATUS> VerifyFailures;
  // User password (security enabled, locked) and master password in module form.
  void SetPasswords(const PasswordForm &User, std::optional<PasswordForm> Master = std::nullopt);
  bool Expired() const { return AttemptLimit != 0 && WrongAttempts >= AttemptLimit; }
  uint16_t SecurityWord() const; // IDENTIFY word 128
  std::array<uint8_t, 512> IdentifyData() const;

  // ---- what the drive offers, and failures ----
  bool HasDiskInfo = true;
  bool HasDevicePath = true;
  std::optional<std::vector<uint8_t>> CustomDevicePath; // replaces the built path
  EFI_STATUS WhichIdeStatus = EFI_SUCCESS;
  std::deque<EFI_STATUS> WhichIdeScript; // statuses of the next calls, before WhichIdeStatus
  EFI_STATUS SecurityStatusResult = EFI_SUCCESS;
  EFI_STATUS IdentifyStatus = EFI_SUCCESS;

  // ---- records of this boot ----
  EFI_HANDLE Handle = nullptr;
  std::vector<uint8_t> DevicePathBytes;
  unsigned WhichIdeCalls = 0;
  unsigned SecurityStatusCalls = 0;
  unsigned IdentifyCalls = 0;
  unsigned VerifyCalls = 0;                    // password verify calls naming this drive
  const uint8_t *LastIdentifyBuffer = nullptr; // where Identify last wrote its data
};

struct VerifyAttempt {
  int Drive = -1; // index in SataDrives::Drives(), -1 for an interface the board does not know
  uint8_t Type = 0;
  PasswordForm Password{};
  uint8_t DriveNumber = 0;
  EFI_STATUS Result = EFI_SUCCESS;
  size_t Timeline = 0;
};

class SataDrives {
public:
  explicit SataDrives(BootServices &Owner);
  ~SataDrives();
  SataDrives(const SataDrives &) = delete;
  SataDrives &operator=(const SataDrives &) = delete;

  // Power-on (construction and every reboot): drives with security enabled are locked again,
  // attempt counters and records are cleared, and every drive and the verify service are put
  // on new handles, drives in the order they were added. Called again within a boot it changes
  // no state: a drive keeps its handle, and its disk-info and device-path protocols follow
  // HasDiskInfo, HasDevicePath and CustomDevicePath as they are now. (AddDrive publishes a
  // drive at once; nothing else needs this call.)
  void Install();

  SataDrive &AddDrive(const std::string &Label, uint32_t Channel, uint32_t Device,
                      uint8_t ControllerFunction = 0);
  // A drive with security enabled and locked, opened by User (type 0) or Master (type 1).
  SataDrive &AddLockedDrive(const std::string &Label, uint32_t Channel, uint32_t Device,
                            uint8_t ControllerFunction, const PasswordForm &User,
                            std::optional<PasswordForm> Master = std::nullopt);
  std::vector<std::unique_ptr<SataDrive>> &Drives() { return List; }
  SataDrive *Find(const std::string &Label);

  // The verify service: published unless taken off.
  void SetVerifyPresent(bool Present);
  bool VerifyPresent() const { return VerifyIsPresent; }
  HDD_PASSWORD_VERIFY_PROTOCOL *Verify() { return &VerifyInterface; }
  const std::vector<VerifyAttempt> &Attempts() const { return AttemptLog; }

  // Used by the protocol functions.
  SataDrive *BySecurity(const HDD_SECURITY_PROTOCOL *This);
  SataDrive *ByDiskInfo(const EFI_DISK_INFO_PROTOCOL *This);
  EFI_STATUS GetSecurityStatus(HDD_SECURITY_PROTOCOL *This, UINT16 *SecurityStatus);
  EFI_STATUS Identify(EFI_DISK_INFO_PROTOCOL *This, VOID *Data, UINT32 *DataSize);
  EFI_STATUS WhichIde(EFI_DISK_INFO_PROTOCOL *This, UINT32 *IdeChannel, UINT32 *IdeDevice);
  EFI_STATUS VerifyPassword(HDD_SECURITY_PROTOCOL *Drive, UINT8 PasswordType,
                            const UINT8 *SerialNumber, UINT8 DriveNumber, const UINT8 *Password);

private:
  bool Published(const SataDrive &Drive) const;
  void Publish(SataDrive &Drive);
  void PublishVerify();
  static void Prepare(SataDrive &Drive);

  BootServices &Owner;
  std::vector<std::unique_ptr<SataDrive>> List;
  HDD_PASSWORD_VERIFY_PROTOCOL VerifyInterface{};
  EFI_HANDLE VerifyHandle = nullptr;
  bool VerifyIsPresent = true;
  bool Installed = false;
  std::vector<VerifyAttempt> AttemptLog;
};

// The device path of a drive: ACPI PNP0A03, PCI (function, device), SATA (port = channel,
// port multiplier = device), end.
std::vector<uint8_t> SataDevicePath(const SataDrive &Drive);

} // namespace sim
