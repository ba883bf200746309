// SATA hard-disk password unlock. Each locked drive gets a number from its channel, device and
// controller function, is recognised across boots by a CRC-16 of its serial number, and is
// opened with the caller's candidates, the module slots the drive map remembers for it, or a
// typed password. The map ("FpHdp2HdpMapFlag") learns which module slot opens which drive.
#include "device_path_nodes.h"
#include "driver_globals.h"
#include "fingerprint_auth.h"
#include "guids.h"
#include "hardware_io.h"
#include "memory.h"

UINT8 CurrentDrive = 0;
UINT8 *CurrentMapEntry = nullptr;
UINT8 DriveUnlocked = 0;
UINT8 SlotClaimed[3] = {0, 0, 0};

namespace {

HDD_PASSWORD_VERIFY_PROTOCOL *PasswordVerify = nullptr;

// A drive counts every refused unlock, user and master together, and once its count expires it
// refuses every password until it is powered off. So each verify the current drive refused is
// remembered (bytes and type) and never sent to it again, and the drive's status is read
// before every verify: once the count has expired, no further password is sent.
constexpr UINTN MaxRefusedPasswords = 8; // automatic tries and typed entries of one drive
struct RefusedPassword {
  UINT8 Password[PASSWORD_FORM_SIZE];
  UINT8 Types; // 1 << password type, for each type the drive refused
};
RefusedPassword Refused[MaxRefusedPasswords];
UINTN RefusedCount = 0;
UINT8 AttemptsExpired = 0; // 1 once the current drive reported its count expired

constexpr UINTN MapValidOffset = 0;
constexpr UINTN MapDirtyOffset = 1;
constexpr UINTN MapEntriesOffset = 2;
constexpr UINTN MapEntrySize = 8;
// Entry bytes: CRC at 0..1, then one byte per module slot.
constexpr UINTN EntryAdmin = 2;
constexpr UINTN EntryUser = 3;
constexpr UINTN EntryDisk1 = 4; // disk slot k at EntryDisk1 + k - 1

constexpr UINTN IdentifySize = 512;
constexpr UINTN SerialNumberOffset = 20;
constexpr UINTN SerialNumberSize = 20;
constexpr UINT8 NoDrive = 255;

UINT8 &MapValid() {
  return DriveMap[MapValidOffset];
}
UINT8 &MapDirty() {
  return DriveMap[MapDirtyOffset];
}
UINT8 *MapEntry(UINTN Drive) {
  return DriveMap + MapEntriesOffset + MapEntrySize * Drive;
}
UINT8 DriveInvalidBit() {
  return (UINT8)(1u << (CurrentDrive + 2));
}

BOOLEAN SamePassword(const UINT8 *A, const UINT8 *B) {
  return CompareBytes(A, B, PASSWORD_FORM_SIZE) == 0;
}

VOID ForgetRefusedPasswords() {
  FillBytes(Refused, sizeof(Refused), 0);
  RefusedCount = 0;
}

RefusedPassword *FindRefused(const UINT8 *Password) {
  for (UINTN Index = 0; Index < RefusedCount; Index++) {
    if (SamePassword(Refused[Index].Password, Password)) {
      return &Refused[Index];
    }
  }
  return nullptr;
}

VOID NoteRefused(const UINT8 *Password, UINT8 Type) {
  RefusedPassword *Known = FindRefused(Password);
  if (Known == nullptr) {
    if (RefusedCount == MaxRefusedPasswords) {
      return;
    }
    Known = &Refused[RefusedCount++];
    CopyBytes(Known->Password, Password, PASSWORD_FORM_SIZE);
  }
  Known->Types = (UINT8)(Known->Types | (1u << Type));
}

// One verify of the current drive. A verify the drive already refused is not sent again and
// counts as refused; a drive whose count has expired gets nothing (AttemptsExpired = 1).
EFI_STATUS VerifyOnce(const UINT8 *Password, UINT8 Type, HDD_SECURITY_PROTOCOL *Security,
                      const UINT8 *SerialNumber) {
  const RefusedPassword *Known = FindRefused(Password);
  if (Known != nullptr && (Known->Types & (1u << Type)) != 0) {
    return EFI_SECURITY_VIOLATION;
  }
  UINT16 SecurityStatus = 0;
  if (!EFI_ERROR(Security->GetSecurityStatus(Security, &SecurityStatus)) &&
      (SecurityStatus & ATA_SECURITY_COUNT_EXPIRED) != 0) {
    AttemptsExpired = 1;
    return EFI_SECURITY_VIOLATION;
  }
  UINT8 Buffer[HDD_PASSWORD_BUFFER_SIZE];
  FillBytes(Buffer, sizeof(Buffer), 0);
  CopyBytes(Buffer, Password, PASSWORD_FORM_SIZE);
  EFI_STATUS Status =
      PasswordVerify->VerifyPassword(Security, Type, SerialNumber, CurrentDrive, Buffer);
  FillBytes(Buffer, sizeof(Buffer), 0);
  if (Status != EFI_SUCCESS) {
    NoteRefused(Password, Type);
  }
  return Status;
}

// The current drive refuses passwords until the machine is powered off: tell the user and stop
// as after three wrong entries.
[[noreturn]] VOID HaltOnExpiredAttempts() {
  ForgetRefusedPasswords();
  CHAR16 Number[3] = {0, 0, 0};
  FormatDriveNumber(Number, CurrentDrive);
  const CHAR16 *const Lines[] = {
      u" Hard Disk Password attempts used up for SATA Drive: ",
      Number,
      u"\n\r",
      u" The drive refuses every password until the machine\n\r",
      u" is powered off.\n\r",
      u" Fatal Error... System Halted",
  };
  ClearConsoleToRow(2);
  OutputLines(Lines, sizeof(Lines) / sizeof(Lines[0]));
  SetSysPwdInvalidBits(DriveInvalidBit());
  DriverBootServices->RaiseTPL(TPL_HIGH_LEVEL);
  CpuDeadLoop();
}

// Whether the map entry of a drive other than the current one remembers hard-disk slot Slot.
BOOLEAN RememberedForOtherDrive(UINTN Slot) {
  for (UINTN Drive = 0; Drive < MAX_SATA_DRIVES; Drive++) {
    UINT8 *Entry = MapEntry(Drive);
    if (Entry != CurrentMapEntry && Entry[EntryDisk1 + Slot - 1] != 0) {
      return TRUE;
    }
  }
  return FALSE;
}

// The first hard-disk slot (1 to 3) that no drive has claimed and no other drive's map entry
// remembers; 0 when there is none.
UINTN FirstFreeDiskSlot() {
  for (UINTN Slot = 1; Slot <= 3; Slot++) {
    if (SlotClaimed[Slot - 1] == 0 && !RememberedForOtherDrive(Slot)) {
      return Slot;
    }
  }
  return 0;
}

// Gives hard-disk slot Slot (1 to 3) the password that opened the current drive: module store,
// claim and map entry.
VOID StoreInDiskSlot(UINTN Slot, const UINT8 *Password) {
  FP_REQUEST_BLOCK_LAYOUT *Block = RequestBlock();
  Block->SlotMask = (UINT16)(FP_SLOT_DISK1 << (Slot - 1));
  SlotClaimed[Slot - 1] = 1;
  CurrentMapEntry[EntryDisk1 + Slot - 1] = 1;
  MapDirty() = 1;
  CopyBytes(Block->DiskPassword[Slot - 1], Password, PASSWORD_FORM_SIZE);
  StorePasswordInModule();
}

// Drive number from the IDE channel and device and the controller function; NoDrive when the
// combination has none or the number is 6 or more.
UINT8 DriveNumber(UINT32 Channel, UINT32 Device, UINT8 ControllerFunction) {
  UINTN Number;
  if (Channel <= 1 && Device <= 1) {
    Number = 2 * Device + Channel;
  } else if (Channel >= 2 && Device == 0) {
    Number = Channel & 0xFF;
  } else {
    return NoDrive;
  }
  if (ControllerFunction == 1) {
    Number += 4;
  }
  return Number < MAX_SATA_DRIVES ? (UINT8)Number : NoDrive;
}

// A password just opened the current drive: remember which module slot holds it, or give it a
// free hard-disk slot of the module. EFI_ABORTED when no slot is left to learn it.
EFI_STATUS LearnOpeningPassword(const UINT8 *Password) {
  FP_REQUEST_BLOCK_LAYOUT *Block = RequestBlock();
  struct Known {
    UINT16 Slot;
    BOOLEAN Usable;
    const UINT8 *Held;
    UINTN EntryByte;
  };
  const Known Candidates[] = {
      {FP_SLOT_ADMIN, TRUE, Block->AdminPassword, EntryAdmin},
      {FP_SLOT_USER, TRUE, Block->UserPassword, EntryUser},
      {FP_SLOT_DISK1, SlotClaimed[0] == 1, Block->DiskPassword[0], EntryDisk1},
      {FP_SLOT_DISK2, SlotClaimed[1] == 1, Block->DiskPassword[1], EntryDisk1 + 1},
      {FP_SLOT_DISK3, SlotClaimed[2] == 1, Block->DiskPassword[2], EntryDisk1 + 2},
  };
  for (const Known &Candidate : Candidates) {
    if ((ModuleSlotMask & Candidate.Slot) != 0 && Candidate.Usable &&
        SamePassword(Candidate.Held, Password)) {
      CurrentMapEntry[Candidate.EntryByte] = 1;
      MapDirty() = 1;
      return EFI_SUCCESS;
    }
  }
  // A slot another drive's map entry remembers holds that drive's password, even when the
  // drive is absent this boot: it is taken only when every unclaimed slot is remembered.
  UINTN Slot = FirstFreeDiskSlot();
  for (UINTN Unclaimed = 1; Slot == 0 && Unclaimed <= 3; Unclaimed++) {
    if (SlotClaimed[Unclaimed - 1] == 0) {
      Slot = Unclaimed;
    }
  }
  if (Slot == 0) {
    return EFI_ABORTED;
  }
  StoreInDiskSlot(Slot, Password);
  return EFI_SUCCESS;
}

} // namespace

VOID Crc16Xmodem(const UINT8 *Data, UINT32 Length, UINT16 *Result) {
  UINT16 Crc = 0;
  for (UINT32 Index = 0; Index < Length; Index++) {
    for (INT32 Bit = 7; Bit >= 0; Bit--) {
      UINT16 DataBit = (Data[Index] >> Bit) & 1;
      UINT16 OutBit = (Crc >> 15) & 1;
      Crc = (UINT16)(Crc << 1);
      if (OutBit != DataBit) {
        Crc ^= 0x1021;
      }
    }
  }
  *Result = Crc;
}

EFI_STATUS CollectSataDrives(HDD_SECURITY_PROTOCOL **Security, EFI_DISK_INFO_PROTOCOL **DiskInfo,
                             UINTN *Count, UINT8 *ControllerFunction) {
  EFI_STATUS Status = DriverBootServices->LocateProtocol(&HDD_PASSWORD_VERIFY_PROTOCOL_GUID,
                                                         nullptr, (VOID **)&PasswordVerify);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  UINTN HandleCount = 0;
  EFI_HANDLE *Handles = nullptr;
  Status = DriverBootServices->LocateHandleBuffer(ByProtocol, &HDD_SECURITY_PROTOCOL_GUID, nullptr,
                                                  &HandleCount, &Handles);
  if (EFI_ERROR(Status)) {
    *Count = 0;
    return Status;
  }

  UINTN Collected = 0;
  for (UINTN Index = 0; Index < HandleCount && Collected < MAX_SATA_DRIVES; Index++) {
    Security[Collected] = nullptr;
    DiskInfo[Collected] = nullptr;
    if (EFI_ERROR(DriverBootServices->HandleProtocol(Handles[Index], &HDD_SECURITY_PROTOCOL_GUID,
                                                     (VOID **)&Security[Collected]))) {
      Security[Collected] = nullptr;
      continue;
    }
    // The controller function is the function byte of the first PCI node of the drive's path.
    EFI_DEVICE_PATH_PROTOCOL *Path = nullptr;
    BOOLEAN HavePciNode = FALSE;
    if (!EFI_ERROR(DriverBootServices->HandleProtocol(
            Handles[Index], &EFI_DEVICE_PATH_PROTOCOL_GUID, (VOID **)&Path)) &&
        Path != nullptr) {
      const UINT8 *Node = (const UINT8 *)Path;
      for (;;) {
        if (Node[0] == END_DEVICE_PATH_TYPE || Node[0] == 0xFF) {
          break;
        }
        if (Node[0] == HARDWARE_DEVICE_PATH && Node[1] == HW_PCI_DP) {
          ControllerFunction[Collected] = Node[4];
          HavePciNode = TRUE;
          break;
        }
        UINT16 NodeLength = ReadUint16(Node + 2);
        if (NodeLength < sizeof(EFI_DEVICE_PATH_PROTOCOL)) {
          break; // a malformed node would never let the walk end
        }
        Node += NodeLength;
      }
    }
    if (!HavePciNode ||
        EFI_ERROR(DriverBootServices->HandleProtocol(Handles[Index], &EFI_DISK_INFO_PROTOCOL_GUID,
                                                     (VOID **)&DiskInfo[Collected]))) {
      Security[Collected] = nullptr;
      DiskInfo[Collected] = nullptr;
      continue;
    }
    Collected++;
  }
  *Count = Collected;
  DriverBootServices->FreePool(Handles);
  return EFI_SUCCESS;
}

VOID RemapDriveEntry(UINT16 Crc) {
  for (UINTN Drive = 0; Drive < MAX_SATA_DRIVES; Drive++) {
    UINT8 *Entry = MapEntry(Drive);
    if (ReadUint16(Entry) == Crc) {
      // The drive moved: its remembered slots follow it to its new number.
      UINT8 Swap[MapEntrySize];
      CopyBytes(Swap, Entry, MapEntrySize);
      CopyBytes(Entry, CurrentMapEntry, MapEntrySize);
      CopyBytes(CurrentMapEntry, Swap, MapEntrySize);
      MapDirty() = 1;
      return;
    }
  }
  WriteUint16(CurrentMapEntry, Crc);
}

VOID TryUnlockDrive(const UINT8 *Password, HDD_SECURITY_PROTOCOL *Security,
                    const UINT8 *SerialNumber) {
  DriveUnlocked = 0;
  EFI_STATUS Status = VerifyOnce(Password, HDD_PASSWORD_USER, Security, SerialNumber);
  if (Status != EFI_SUCCESS && AttemptsExpired == 0) {
    Status = VerifyOnce(Password, HDD_PASSWORD_MASTER, Security, SerialNumber);
  }
  if (Status != EFI_SUCCESS) {
    return;
  }
  DriveUnlocked = 1;
  ClearSysPwdInvalidBits(DriveInvalidBit());
}

VOID UnlockWithCallerPasswords(HDD_SECURITY_PROTOCOL *Security, const UINT8 *SerialNumber) {
  const UINT8 *Candidates = CallerAnswer + CALLER_ANSWER_DISK_CANDIDATES;
  for (UINTN Index = 0; Index < 4; Index++) {
    const UINT8 *Candidate = Candidates + PASSWORD_FORM_SIZE * Index;
    if (IsAllZero(Candidate, PASSWORD_FORM_SIZE)) {
      continue;
    }
    TryUnlockDrive(Candidate, Security, SerialNumber);
    if (AttemptsExpired != 0) {
      return;
    }
    if (DriveUnlocked == 0) {
      continue;
    }
    if (Index < 3) {
      // Candidate i belongs to hard-disk slot i + 1 of the module, unless that slot already
      // holds the different password of a drive opened earlier: then it takes a free slot, and
      // with none free the drive is open but nothing learns the candidate.
      UINTN Slot = Index + 1;
      if (SlotClaimed[Index] == 1 &&
          !SamePassword(RequestBlock()->DiskPassword[Index], Candidate)) {
        Slot = FirstFreeDiskSlot();
        if (Slot == 0) {
          return;
        }
      }
      StoreInDiskSlot(Slot, Candidate);
      return;
    }
    for (UINTN Other = 0; Other < 3; Other++) {
      if (SamePassword(Candidate, Candidates + PASSWORD_FORM_SIZE * Other)) {
        CurrentMapEntry[EntryDisk1 + Other] = 1;
        MapDirty() = 1;
        return;
      }
    }
    // The fourth candidate is new: learn it as a typed password is learned.
    LearnOpeningPassword(Candidate);
    return;
  }
}

VOID UnlockWithRememberedMapping(HDD_SECURITY_PROTOCOL *Security, const UINT8 *SerialNumber) {
  FP_REQUEST_BLOCK_LAYOUT *Block = RequestBlock();
  for (UINTN Slot = 1; Slot <= 3; Slot++) {
    UINT8 &Remembered = CurrentMapEntry[EntryDisk1 + Slot - 1];
    const UINT8 *Password = Block->DiskPassword[Slot - 1];
    if ((ModuleSlotMask & (FP_SLOT_DISK1 << (Slot - 1))) == 0 || Remembered == 0 ||
        IsAllZero(Password, PASSWORD_FORM_SIZE)) {
      continue;
    }
    TryUnlockDrive(Password, Security, SerialNumber);
    if (AttemptsExpired != 0) {
      return;
    }
    if (DriveUnlocked != 0) {
      SlotClaimed[Slot - 1] = 1;
      return;
    }
    Remembered = 0; // the slot no longer opens this drive
    MapDirty() = 1;
  }

  if ((ModuleSlotMask & FP_SLOT_USER) != 0 && CurrentMapEntry[EntryUser] != 0 &&
      !IsAllZero(Block->UserPassword, PASSWORD_FORM_SIZE)) {
    TryUnlockDrive(Block->UserPassword, Security, SerialNumber);
    if (DriveUnlocked == 0 && AttemptsExpired == 0) {
      CurrentMapEntry[EntryUser] = 0;
      MapDirty() = 1;
    }
    return;
  }

  if ((ModuleSlotMask & FP_SLOT_ADMIN) != 0 && CurrentMapEntry[EntryAdmin] != 0) {
    TryUnlockDrive(Block->AdminPassword, Security, SerialNumber);
    if (DriveUnlocked == 0 && AttemptsExpired == 0) {
      CurrentMapEntry[EntryAdmin] = 0;
      MapDirty() = 1;
    }
  }
}

EFI_STATUS PromptHardDiskPassword(HDD_SECURITY_PROTOCOL *Security, const UINT8 *SerialNumber) {
  CHAR16 Typed[TYPED_LINE_LENGTH + 1];
  UINT8 ModuleForm[32];
  EFI_STATUS Status = EFI_SUCCESS;

  ClearConsoleToRow(3);
  for (UINT16 Tries = 0;;) {
    CHAR16 Number[3] = {0, 0, 0};
    FormatDriveNumber(Number, CurrentDrive);
    const CHAR16 *const Lines[] = {
        u" Fingerprint reader has an either incorrect or\n\r",
        u" missing Hard Disk Password for SATA Drive: ",
        Number,
        u"\n\r ",
        u" Type the Hard Disk Password followed by the\n\r",
        u" <Enter> key. If you do not know the Hard Disk Password\n\r",
        u" press the <Enter> key.\n\n\r ",
    };
    OutputLines(Lines, sizeof(Lines) / sizeof(Lines[0]));

    FillBytes(Typed, sizeof(Typed), 0);
    if (!ReadMaskedLine(Typed)) {
      break; // Enter alone: the drive stays locked, no verdict
    }
    // A failing hash entry gives no password: the entry counts as a wrong one, and no verify
    // (which the drive would count) is spent on whatever the entry left in its output.
    FillBytes(ModuleForm, sizeof(ModuleForm), 0);
    EFI_STATUS HashStatus = PasswordHash->Entry[PASSWORD_HASH_TYPED_TO_MODULE_FORM](
        Typed, TYPED_LINE_LENGTH, ModuleForm, sizeof(ModuleForm));
    FillBytes(Typed, sizeof(Typed), 0);
    DriveUnlocked = 0;
    if (!EFI_ERROR(HashStatus)) {
      TryUnlockDrive(ModuleForm, Security, SerialNumber);
    }
    if (AttemptsExpired != 0) {
      FillBytes(ModuleForm, sizeof(ModuleForm), 0);
      HaltOnExpiredAttempts();
    }
    if (DriveUnlocked != 0) {
      Status = LearnOpeningPassword(ModuleForm);
      break;
    }
    ShowPasswordIncorrect();
    if (++Tries == 3) {
      FillBytes(ModuleForm, sizeof(ModuleForm), 0);
      ForgetRefusedPasswords();
      HaltAfterWrongPasswords(DriveInvalidBit(), FALSE);
    }
  }
  FillBytes(Typed, sizeof(Typed), 0);
  FillBytes(ModuleForm, sizeof(ModuleForm), 0);
  return Status;
}

EFI_STATUS UnlockHardDisks() {
  HDD_SECURITY_PROTOCOL *Security[MAX_SATA_DRIVES] = {};
  EFI_DISK_INFO_PROTOCOL *DiskInfo[MAX_SATA_DRIVES] = {};
  UINT8 ControllerFunction[MAX_SATA_DRIVES] = {};
  UINTN Count = 0;
  CollectSataDrives(Security, DiskInfo, &Count, ControllerFunction);

  // The result is the status of the last drive probe; with no probe at all there is nothing
  // that failed.
  EFI_STATUS Result = EFI_SUCCESS;
  UINT8 *Identify = nullptr;
  for (UINTN Index = 0; Index < Count; Index++) {
    DriveUnlocked = 0;
    if (Security[Index] == nullptr || DiskInfo[Index] == nullptr || ControllerFunction[Index] > 1) {
      continue;
    }
    EFI_DISK_INFO_PROTOCOL *Info = DiskInfo[Index];
    UINT32 Channel = 0;
    UINT32 Device = 0;
    Result = Info->WhichIde(Info, &Channel, &Device);
    if (EFI_ERROR(Result)) {
      continue;
    }
    CurrentDrive = NoDrive;
    UINT8 Number = DriveNumber(Channel, Device, ControllerFunction[Index]);
    if (Number == NoDrive) {
      continue;
    }
    CurrentDrive = Number;
    Result = Info->WhichIde(Info, &Channel, &Device);
    if (EFI_ERROR(Result)) {
      continue;
    }
    UINT16 SecurityStatus = 0;
    Result = Security[Index]->GetSecurityStatus(Security[Index], &SecurityStatus);
    if (EFI_ERROR(Result)) {
      continue;
    }
    if (Identify != nullptr) {
      DriverBootServices->FreePool(Identify);
      Identify = nullptr;
    }
    Result =
        DriverBootServices->AllocatePool(EfiBootServicesData, IdentifySize, (VOID **)&Identify);
    if (EFI_ERROR(Result) || Identify == nullptr) {
      Identify = nullptr;
      continue;
    }
    FillBytes(Identify, IdentifySize, 0);
    UINT32 Size = IdentifySize;
    Result = Info->Identify(Info, Identify, &Size);
    if (EFI_ERROR(Result)) {
      continue;
    }
    if ((SecurityStatus & (ATA_SECURITY_ENABLED | ATA_SECURITY_LOCKED)) !=
            (ATA_SECURITY_ENABLED | ATA_SECURITY_LOCKED) ||
        (SecurityStatus & ATA_SECURITY_FROZEN) != 0) {
      continue;
    }

    CurrentMapEntry = MapEntry(CurrentDrive);
    const UINT8 *Serial = Identify + SerialNumberOffset;
    UINT16 Crc = 0;
    Crc16Xmodem(Serial, SerialNumberSize, &Crc);
    if (ReadUint16(CurrentMapEntry) != Crc) {
      RemapDriveEntry(Crc);
    }
    ForgetRefusedPasswords();
    AttemptsExpired = 0;
    if (CallerAnswer[CALLER_ANSWER_FLAG] != 0) {
      UnlockWithCallerPasswords(Security[Index], Serial);
    } else if (MapValid() != 0) {
      UnlockWithRememberedMapping(Security[Index], Serial);
    }
    if (AttemptsExpired != 0) {
      HaltOnExpiredAttempts();
    }
    if (DriveUnlocked == 0 && (SlotClaimed[0] == 0 || SlotClaimed[1] == 0 || SlotClaimed[2] == 0)) {
      PromptHardDiskPassword(Security[Index], Serial);
    }
  }

  ForgetRefusedPasswords();
  if (MapDirty() == 1) {
    MapValid() = 1;
    MapDirty() = 0;
    SetGlobalVariable(DRIVE_MAP_NAME, EFI_VARIABLE_NV_BS_RT, DRIVE_MAP_SIZE, DriveMap);
  }
  if (Identify != nullptr) {
    DriverBootServices->FreePool(Identify);
  }
  return Result;
}
