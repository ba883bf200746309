#include "sata_drives.h"

#include "boot_services.h"
#include "device_path_nodes.h"
#include "guids.h"
#include "service_calls.h"

#include <cstdio>
#include <cstring>

namespace sim {
namespace {

// The board's one SataDrives, for the members of the interface it publishes.
SataDrives *Active = nullptr;

constexpr size_t kIdentifySize = 512;
constexpr size_t kSerialOffset = 20;

EFI_STATUS EFIAPI GetSecurityStatusMember(HDD_SECURITY_PROTOCOL *This, UINT16 *SecurityStatus) {
  return Active->GetSecurityStatus(This, SecurityStatus);
}

EFI_STATUS EFIAPI IdentifyMember(EFI_DISK_INFO_PROTOCOL *This, VOID *Data, UINT32 *DataSize) {
  return Active->Identify(This, Data, DataSize);
}

EFI_STATUS EFIAPI WhichIdeMember(EFI_DISK_INFO_PROTOCOL *This, UINT32 *IdeChannel,
                                 UINT32 *IdeDevice) {
  return Active->WhichIde(This, IdeChannel, IdeDevice);
}

// An ATA drive behind an AHCI or IDE controller has no inquiry or sense data.
EFI_STATUS EFIAPI InquiryMember(EFI_DISK_INFO_PROTOCOL *, VOID *, UINT32 *) {
  return EFI_NOT_FOUND;
}
EFI_STATUS EFIAPI SenseDataMember(EFI_DISK_INFO_PROTOCOL *, VOID *, UINT32 *, UINT8 *) {
  return EFI_NOT_FOUND;
}

EFI_STATUS EFIAPI VerifyMember(HDD_SECURITY_PROTOCOL *Drive, UINT8 PasswordType,
                               const UINT8 *SerialNumber, UINT8 DriveNumber,
                               const UINT8 *Password) {
  return Active->VerifyPassword(Drive, PasswordType, SerialNumber, DriveNumber, Password);
}

// What --calls shows of the drive services: the drive by its label, and what the drive answered.
std::string DriveLabel(const SataDrive *Drive) {
  return Drive == nullptr ? "a foreign This pointer" : "drive \"" + Drive->Label + "\"";
}
std::string DriveArgument(const HDD_SECURITY_PROTOCOL *This) {
  return DriveLabel(Active->BySecurity(This));
}
std::string DriveArgument(const EFI_DISK_INFO_PROTOCOL *This) {
  return DriveLabel(Active->ByDiskInfo(This));
}

void DescribeGetSecurityStatus(ServiceCall &Call, HDD_SECURITY_PROTOCOL *This,
                               UINT16 *SecurityStatus) {
  if (!Call.Returned) {
    Call.Service = "HddSecurity->GetSecurityStatus";
    Call.Arguments = {DriveArgument(This)};
  } else if (Call.Value == EFI_SUCCESS && SecurityStatus != nullptr) {
    Call.Results.push_back("security status " + HexNumber(*SecurityStatus));
  }
}

void DescribeIdentify(ServiceCall &Call, EFI_DISK_INFO_PROTOCOL *This, VOID *, UINT32 *DataSize) {
  if (!Call.Returned) {
    Call.Service = "DiskInfo->Identify";
    Call.Arguments = {DriveArgument(This),
                      DataSize == nullptr ? "size NULL" : "size " + HexNumber(*DataSize)};
  } else if (DataSize != nullptr) {
    Call.Results.push_back("size " + HexNumber(*DataSize));
  }
}

void DescribeWhichIde(ServiceCall &Call, EFI_DISK_INFO_PROTOCOL *This, UINT32 *Channel,
                      UINT32 *Device) {
  if (!Call.Returned) {
    Call.Service = "DiskInfo->WhichIde";
    Call.Arguments = {DriveArgument(This)};
  } else if (Call.Value == EFI_SUCCESS && Channel != nullptr && Device != nullptr) {
    Call.Results.push_back("channel " + std::to_string(*Channel) + ", device " +
                           std::to_string(*Device));
  }
}

void DescribeInquiry(ServiceCall &Call, EFI_DISK_INFO_PROTOCOL *This, VOID *, UINT32 *) {
  Call.Service = "DiskInfo->Inquiry";
  Call.Arguments = {DriveArgument(This)};
}

void DescribeSenseData(ServiceCall &Call, EFI_DISK_INFO_PROTOCOL *This, VOID *, UINT32 *, UINT8 *) {
  Call.Service = "DiskInfo->SenseData";
  Call.Arguments = {DriveArgument(This)};
}

// The password itself stays out of the report: only its length up to the first zero byte.
void DescribeVerifyPassword(ServiceCall &Call, HDD_SECURITY_PROTOCOL *Drive, UINT8 PasswordType,
                            const UINT8 *, UINT8 DriveNumber, const UINT8 *Password) {
  Call.Service = "HddPasswordVerify->VerifyPassword";
  if (Call.Returned) {
    return;
  }
  size_t Length = 0;
  while (Password != nullptr && Length < HDD_PASSWORD_BUFFER_SIZE && Password[Length] != 0) {
    Length++;
  }
  Call.Arguments = {DriveArgument(Drive),
                    PasswordType == HDD_PASSWORD_USER ? "user password"
                    : PasswordType == HDD_PASSWORD_MASTER
                        ? "master password"
                        : "password type " + std::to_string(PasswordType),
                    "drive number " + std::to_string(DriveNumber),
                    Password == nullptr ? "password NULL"
                                        : "a password of " + std::to_string(Length) + " byte(s)"};
}

void Put16(std::array<uint8_t, kIdentifySize> &Data, size_t Word, uint16_t Value) {
  Data[2 * Word] = (uint8_t)Value;
  Data[2 * Word + 1] = (uint8_t)(Value >> 8);
}

// ATA strings: two characters per word, the first in the high byte.
void PutString(std::array<uint8_t, kIdentifySize> &Data, size_t Word, size_t Words,
               const char *Text) {
  size_t Length = std::strlen(Text);
  for (size_t I = 0; I < 2 * Words; I++) {
    char C = I < Length ? Text[I] : ' ';
    Data[2 * Word + (I ^ 1)] = (uint8_t)C;
  }
}

std::string Hex(uint64_t Value) {
  char Text[32];
  std::snprintf(Text, sizeof(Text), "0x%llX", (unsigned long long)Value);
  return Text;
}

} // namespace

// ---- a drive ----------------------------------------------------------------------------------
void SataDrive::SetSerial(const std::string &Text) {
  for (size_t I = 0; I < Serial.size(); I++) {
    Serial[I] = I < Text.size() ? (uint8_t)Text[I] : (uint8_t)' ';
  }
}

void SataDrive::SetPasswords(const PasswordForm &User, std::optional<PasswordForm> Master) {
  UserPassword = User;
  MasterPassword = Master;
  SecurityEnabled = true;
  Locked = true;
}

uint16_t SataDrive::SecurityWord() const {
  uint16_t Word = 0x0001; // security feature set supported
  Word |= SecurityEnabled ? ATA_SECURITY_ENABLED : 0;
  Word |= Locked ? ATA_SECURITY_LOCKED : 0;
  Word |= Frozen ? ATA_SECURITY_FROZEN : 0;
  Word |= Expired() ? 0x0010 : 0;
  Word |= MaximumSecurity ? 0x0100 : 0;
  return Word;
}

std::array<uint8_t, 512> SataDrive::IdentifyData() const {
  std::array<uint8_t, kIdentifySize> Data{};
  Put16(Data, 0, 0x0040); // fixed device
  std::memcpy(Data.data() + kSerialOffset, Serial.data(), Serial.size());
  PutString(Data, 23, 4, "1.0");
  PutString(Data, 27, 20, "SIMULATED SATA DISK");
  Put16(Data, 82, 0x0002);                       // security feature set supported
  Put16(Data, 85, SecurityEnabled ? 0x0002 : 0); // and enabled
  Put16(Data, 128, SecurityWord());
  return Data;
}

std::vector<uint8_t> SataDevicePath(const SataDrive &Drive) {
  if (Drive.CustomDevicePath) {
    return *Drive.CustomDevicePath;
  }
  std::vector<uint8_t> Path = {ACPI_DEVICE_PATH,
                               0x01,
                               0x0C,
                               0x00,
                               0xD0,
                               0x41,
                               0x03,
                               0x0A, // EISA "PNP0A03"
                               0x00,
                               0x00,
                               0x00,
                               0x00};
  std::vector<uint8_t> Pci = {
      HARDWARE_DEVICE_PATH,  HW_PCI_DP, 0x06, 0x00, Drive.ControllerFunction,
      Drive.ControllerDevice};
  std::vector<uint8_t> Sata = {MESSAGING_DEVICE_PATH,
                               0x12,
                               0x0A,
                               0x00,
                               (uint8_t)Drive.Channel,
                               (uint8_t)(Drive.Channel >> 8),
                               (uint8_t)Drive.Device,
                               (uint8_t)(Drive.Device >> 8),
                               0x00,
                               0x00};
  std::vector<uint8_t> End = EndNode();
  Path.insert(Path.end(), Pci.begin(), Pci.end());
  Path.insert(Path.end(), Sata.begin(), Sata.end());
  Path.insert(Path.end(), End.begin(), End.end());
  return Path;
}

// ---- the drives --------------------------------------------------------------------------------
SataDrives::SataDrives(BootServices &Owner) : Owner(Owner) {
  Active = this;
  VerifyInterface.VerifyPassword = OffImageStack<Recorded<VerifyMember, DescribeVerifyPassword>>;
}

void SataDrives::Prepare(SataDrive &Drive) {
  Drive.Security.GetSecurityStatus =
      OffImageStack<Recorded<GetSecurityStatusMember, DescribeGetSecurityStatus>>;
  Drive.DiskInfo.Interface = EFI_DISK_INFO_IDE_INTERFACE_GUID;
  Drive.DiskInfo.Inquiry = OffImageStack<Recorded<InquiryMember, DescribeInquiry>>;
  Drive.DiskInfo.Identify = OffImageStack<Recorded<IdentifyMember, DescribeIdentify>>;
  Drive.DiskInfo.SenseData = OffImageStack<Recorded<SenseDataMember, DescribeSenseData>>;
  Drive.DiskInfo.WhichIde = OffImageStack<Recorded<WhichIdeMember, DescribeWhichIde>>;
}

bool SataDrives::Published(const SataDrive &Drive) const {
  return Drive.Handle != nullptr &&
         Owner.Protocol(Drive.Handle, HDD_SECURITY_PROTOCOL_GUID) == &Drive.Security;
}

void SataDrives::Install() {
  Installed = true;
  const bool VerifyPublished =
      VerifyHandle != nullptr &&
      Owner.Protocol(VerifyHandle, HDD_PASSWORD_VERIFY_PROTOCOL_GUID) == &VerifyInterface;
  bool AnyPublished = VerifyPublished;
  for (auto &Drive : List) {
    AnyPublished = AnyPublished || Published(*Drive);
  }
  if (!AnyPublished) {
    AttemptLog.clear(); // a new boot
  }
  for (auto &Drive : List) {
    if (Published(*Drive)) {
      // Called again in the same boot: the drive keeps its handle and its state; what it
      // offers follows its options now.
      Owner.Uninstall(Drive->Handle, EFI_DISK_INFO_PROTOCOL_GUID);
      Owner.Uninstall(Drive->Handle, EFI_DEVICE_PATH_PROTOCOL_GUID);
      Publish(*Drive);
      continue;
    }
    Drive->Locked = Drive->SecurityEnabled;
    Drive->WrongAttempts = 0;
    Drive->WhichIdeCalls = 0;
    Drive->SecurityStatusCalls = 0;
    Drive->IdentifyCalls = 0;
    Drive->VerifyCalls = 0;
    Drive->LastIdentifyBuffer = nullptr;
    Drive->Handle = nullptr;
    Publish(*Drive);
  }
  if (VerifyIsPresent && !VerifyPublished) {
    PublishVerify();
  }
}

void SataDrives::Publish(SataDrive &Drive) {
  if (!Published(Drive)) {
    Drive.Handle = Owner.NewHandle(Drive.Label);
    Owner.Install(&Drive.Handle, HDD_SECURITY_PROTOCOL_GUID, &Drive.Security);
  }
  if (Drive.HasDiskInfo) {
    Owner.Install(&Drive.Handle, EFI_DISK_INFO_PROTOCOL_GUID, &Drive.DiskInfo);
  }
  Drive.DevicePathBytes = SataDevicePath(Drive);
  if (Drive.HasDevicePath) {
    Owner.Install(&Drive.Handle, EFI_DEVICE_PATH_PROTOCOL_GUID, Drive.DevicePathBytes.data());
  }
}

void SataDrives::PublishVerify() {
  VerifyHandle = Owner.NewHandle("HDD password verify");
  Owner.Install(&VerifyHandle, HDD_PASSWORD_VERIFY_PROTOCOL_GUID, &VerifyInterface);
}

void SataDrives::SetVerifyPresent(bool Present) {
  if (Present == VerifyIsPresent) {
    return;
  }
  VerifyIsPresent = Present;
  if (!Installed) {
    return;
  }
  if (Present) {
    PublishVerify();
  } else {
    Owner.UninstallEverywhere(HDD_PASSWORD_VERIFY_PROTOCOL_GUID);
    VerifyHandle = nullptr;
  }
}

SataDrive &SataDrives::AddDrive(const std::string &Label, uint32_t Channel, uint32_t Device,
                                uint8_t ControllerFunction) {
  auto New = std::make_unique<SataDrive>();
  Prepare(*New);
  New->Label = Label;
  New->Channel = Channel;
  New->Device = Device;
  New->ControllerFunction = ControllerFunction;
  New->SetSerial("SIMSATA" + std::to_string(1000 + List.size()));
  List.push_back(std::move(New));
  SataDrive &Added = *List.back();
  if (Installed) {
    Publish(Added);
  }
  return Added;
}

SataDrive &SataDrives::AddLockedDrive(const std::string &Label, uint32_t Channel, uint32_t Device,
                                      uint8_t ControllerFunction, const PasswordForm &User,
                                      std::optional<PasswordForm> Master) {
  SataDrive &Drive = AddDrive(Label, Channel, Device, ControllerFunction);
  Drive.SetPasswords(User, Master);
  return Drive;
}

SataDrive *SataDrives::Find(const std::string &Label) {
  for (auto &Drive : List) {
    if (Drive->Label == Label) {
      return Drive.get();
    }
  }
  return nullptr;
}

SataDrive *SataDrives::BySecurity(const HDD_SECURITY_PROTOCOL *This) {
  for (auto &Drive : List) {
    if (&Drive->Security == This) {
      return Drive.get();
    }
  }
  return nullptr;
}

SataDrive *SataDrives::ByDiskInfo(const EFI_DISK_INFO_PROTOCOL *This) {
  for (auto &Drive : List) {
    if (&Drive->DiskInfo == This) {
      return Drive.get();
    }
  }
  return nullptr;
}

EFI_STATUS SataDrives::GetSecurityStatus(HDD_SECURITY_PROTOCOL *This, UINT16 *SecurityStatus) {
  SataDrive *Drive = BySecurity(This);
  if (Drive == nullptr) {
    Owner.Problem("HDD security status asked through a foreign interface pointer");
    return EFI_INVALID_PARAMETER;
  }
  Drive->SecurityStatusCalls++;
  if (SecurityStatus == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (Drive->SecurityStatusResult != EFI_SUCCESS) {
    return Drive->SecurityStatusResult;
  }
  *SecurityStatus = Drive->SecurityWord();
  return EFI_SUCCESS;
}

EFI_STATUS SataDrives::Identify(EFI_DISK_INFO_PROTOCOL *This, VOID *Data, UINT32 *DataSize) {
  SataDrive *Drive = ByDiskInfo(This);
  if (Drive == nullptr) {
    Owner.Problem("disk info Identify called through a foreign interface pointer");
    return EFI_INVALID_PARAMETER;
  }
  Drive->IdentifyCalls++;
  if (DataSize == nullptr || (Data == nullptr && *DataSize != 0)) {
    return EFI_INVALID_PARAMETER;
  }
  if (Drive->IdentifyStatus != EFI_SUCCESS) {
    return Drive->IdentifyStatus;
  }
  if (*DataSize < kIdentifySize) {
    *DataSize = kIdentifySize;
    return EFI_BUFFER_TOO_SMALL;
  }
  std::array<uint8_t, kIdentifySize> Identify = Drive->IdentifyData();
  std::memcpy(Data, Identify.data(), Identify.size());
  *DataSize = kIdentifySize;
  Drive->LastIdentifyBuffer = static_cast<const uint8_t *>(Data);
  return EFI_SUCCESS;
}

EFI_STATUS SataDrives::WhichIde(EFI_DISK_INFO_PROTOCOL *This, UINT32 *IdeChannel,
                                UINT32 *IdeDevice) {
  SataDrive *Drive = ByDiskInfo(This);
  if (Drive == nullptr) {
    Owner.Problem("disk info WhichIde called through a foreign interface pointer");
    return EFI_INVALID_PARAMETER;
  }
  Drive->WhichIdeCalls++;
  EFI_STATUS Status = Drive->WhichIdeStatus;
  if (!Drive->WhichIdeScript.empty()) {
    Status = Drive->WhichIdeScript.front();
    Drive->WhichIdeScript.pop_front();
  }
  if (Status != EFI_SUCCESS) {
    return Status;
  }
  if (IdeChannel == nullptr || IdeDevice == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  *IdeChannel = Drive->Channel;
  *IdeDevice = Drive->Device;
  return EFI_SUCCESS;
}

EFI_STATUS SataDrives::VerifyPassword(HDD_SECURITY_PROTOCOL *Interface, UINT8 PasswordType,
                                      const UINT8 *SerialNumber, UINT8 DriveNumber,
                                      const UINT8 *Password) {
  VerifyAttempt Attempt;
  Attempt.Type = PasswordType;
  Attempt.DriveNumber = DriveNumber;
  SataDrive *Drive = BySecurity(Interface);
  for (size_t I = 0; I < List.size(); I++) {
    Attempt.Drive = List[I].get() == Drive ? (int)I : Attempt.Drive;
  }
  bool Reached = true; // false for a failure on the way to the drive
  auto Done = [&](EFI_STATUS Status) {
    Attempt.Result = Status;
    std::string Name = Drive != nullptr ? Drive->Label : "unknown drive";
    Attempt.Timeline = Owner.Note("hdd verify " + Name +
                                  (PasswordType == HDD_PASSWORD_MASTER ? " master" : " user") +
                                  (Status == EFI_SUCCESS ? " accepted"
                                   : Reached             ? " refused"
                                                         : " failed before the drive"));
    AttemptLog.push_back(Attempt);
    return Status;
  };
  const std::string Where = "HDD password verify";
  if (Drive == nullptr) {
    Owner.Problem(Where + " called with an interface that is no drive's HDD security");
    return Done(EFI_INVALID_PARAMETER);
  }
  Drive->VerifyCalls++;
  if (PasswordType != HDD_PASSWORD_USER && PasswordType != HDD_PASSWORD_MASTER) {
    Owner.Problem(Where + " called with password type " + std::to_string(PasswordType));
    return Done(EFI_INVALID_PARAMETER);
  }
  if (Password == nullptr) {
    Owner.Problem(Where + " called without a password buffer");
    return Done(EFI_INVALID_PARAMETER);
  }
  std::memcpy(Attempt.Password.data(), Password, Attempt.Password.size());
  for (size_t I = PASSWORD_FORM_SIZE; I < HDD_PASSWORD_BUFFER_SIZE; I++) {
    if (Password[I] != 0) {
      Owner.Problem(Where + " for " + Drive->Label + ": password buffer byte " + std::to_string(I) +
                    " is not zero (12 bytes, then 20 zeros)");
      break;
    }
  }
  // The serial number must be the drive's own IDENTIFY serial field, still alive.
  if (Drive->LastIdentifyBuffer == nullptr ||
      SerialNumber != Drive->LastIdentifyBuffer + kSerialOffset) {
    Owner.Problem(Where + " for " + Drive->Label +
                  ": serial-number pointer is not the serial field of the drive's IDENTIFY data");
  } else if (std::memcmp(SerialNumber, Drive->Serial.data(), Drive->Serial.size()) != 0) {
    Owner.Problem(Where + " for " + Drive->Label + ": serial field does not hold its serial");
  }
  for (const auto &[At, Block] : Owner.PoolBlocks()) {
    const auto *From = static_cast<const uint8_t *>(At);
    if (Block.Freed && SerialNumber >= From && SerialNumber < From + Block.Size) {
      Owner.Problem(Where + " for " + Drive->Label + ": serial field at " +
                    Hex(reinterpret_cast<uint64_t>(SerialNumber)) + " lies in freed pool");
    }
  }

  if (!Drive->VerifyFailures.empty()) {
    EFI_STATUS Failure = Drive->VerifyFailures.front();
    Drive->VerifyFailures.pop_front();
    Reached = false;
    return Done(Failure);
  }
  if (!Drive->SecurityEnabled || Drive->Frozen || Drive->Expired()) {
    return Done(Drive->RefusalStatus);
  }
  const std::optional<PasswordForm> &Stored =
      PasswordType == HDD_PASSWORD_USER ? Drive->UserPassword : Drive->MasterPassword;
  bool Right = Stored && *Stored == Attempt.Password &&
               !(PasswordType == HDD_PASSWORD_MASTER && Drive->MaximumSecurity);
  if (!Right) {
    Drive->WrongAttempts++;
    return Done(Drive->RefusalStatus);
  }
  Drive->Locked = false;
  return Done(EFI_SUCCESS);
}

SataDrives::~SataDrives() {
  Active = nullptr;
}

} // namespace sim
