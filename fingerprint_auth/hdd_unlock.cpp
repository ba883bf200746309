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
// refuses every password until it is powered off. The driver keeps its own count of the
// refusals each drive gave in this boot and spends it so that the owner always keeps the
// prompt's three typed tries:
//  - automatic passwords (the caller's candidates, the remembered slots) get only what the typed
//    tries can spare: a verify is sent only while more than TypedTries attempts are left;
//  - the master verify of an automatic password is dropped while the room it would take is
//    wanted by a later automatic password's user verify;
//  - a typed entry's master verify is dropped where it would take a later typed try's room.
// A verify the current drive refused is remembered (bytes and type) and never sent to it again;
// only a refusal counts (RefusedStatus): any other failure condemns nothing and costs nothing.
// The drive's status is read before every verify: once it reports its count expired, nothing
// more is sent.
constexpr UINT8 DriveAttemptLimit = 5; // ATA: refused unlocks until power-off
constexpr UINTN TypedTries = 3;
constexpr UINTN MaxRefusedPasswords = 8; // automatic tries and typed entries of one drive
struct RefusedPassword {
  UINT8 Password[PASSWORD_FORM_SIZE];
  UINT8 Types; // 1 << password type, for each type the drive refused
};
RefusedPassword Refused[MaxRefusedPasswords];
UINTN RefusedCount = 0;
UINT8 AttemptsExpired = 0; // 1 once the current drive reported its count expired

// Refusals each drive number gave in this boot, for the drive whose serial has Crc.
struct DriveRefusals {
  UINT16 Crc;
  UINT8 Known;
  UINT8 Count;
};
DriveRefusals RefusalsInBoot[MAX_SATA_DRIVES];

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

// Stores the map when something in it changed; every exit of the unlock, the halts included,
// passes here, so that what was learned or forgotten outlives the run.
VOID StoreDriveMap() {
  if (MapDirty() == 1) {
    MapValid() = 1;
    MapDirty() = 0;
    SetGlobalVariable(DRIVE_MAP_NAME, EFI_VARIABLE_NV_BS_RT, DRIVE_MAP_SIZE, DriveMap);
  }
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

// The drive's refusal: EFI_SECURITY_VIOLATION, EFI_ACCESS_DENIED, or a warning (not EFI_SUCCESS,
// so no unlock, and no failure of the service either). Every other error is a failure of the
// path to the drive, which did not judge the password.
BOOLEAN RefusedStatus(EFI_STATUS Status) {
  return Status == EFI_SECURITY_VIOLATION || Status == EFI_ACCESS_DENIED ||
         (Status != EFI_SUCCESS && !EFI_ERROR(Status));
}

// The current drive's count of this boot, started afresh for a drive not met before at its
// number.
DriveRefusals &CurrentRefusals(UINT16 Crc) {
  DriveRefusals &Count = RefusalsInBoot[CurrentDrive];
  if (Count.Known == 0 || Count.Crc != Crc) {
    Count.Crc = Crc;
    Count.Known = 1;
    Count.Count = 0;
  }
  return Count;
}

DriveRefusals *Refusals = nullptr; // the current drive's

// Attempts the current drive has left in this boot.
UINTN AttemptsLeft() {
  if (AttemptsExpired != 0 || Refusals->Count >= DriveAttemptLimit) {
    return 0;
  }
  return DriveAttemptLimit - Refusals->Count;
}

// Reads the drive's status word; TRUE (and AttemptsExpired = 1) when it reports its count
// expired.
BOOLEAN ReadExpiredBit(HDD_SECURITY_PROTOCOL *Security) {
  UINT16 SecurityStatus = 0;
  if (!EFI_ERROR(Security->GetSecurityStatus(Security, &SecurityStatus)) &&
      (SecurityStatus & ATA_SECURITY_COUNT_EXPIRED) != 0) {
    AttemptsExpired = 1;
  }
  return AttemptsExpired != 0;
}

// What became of one verify.
enum class VerifyResult : UINT8 {
  Accepted,
  Refused, // now, or earlier in this run (then not sent again)
  NotSent, // the attempts left are the reserve's, or the drive reports its count expired
  Failed,  // failed on the way to the drive, without its judgement
};

// One verify of the current drive, sent only while more than Reserve attempts are left. A
// verify the drive already refused is not sent again and counts as refused; a drive whose count
// has expired gets nothing (AttemptsExpired = 1).
VerifyResult VerifyOnce(const UINT8 *Password, UINT8 Type, UINTN Reserve,
                        HDD_SECURITY_PROTOCOL *Security, const UINT8 *SerialNumber) {
  const RefusedPassword *Known = FindRefused(Password);
  if (Known != nullptr && (Known->Types & (1u << Type)) != 0) {
    return VerifyResult::Refused;
  }
  if (AttemptsLeft() <= Reserve) {
    return VerifyResult::NotSent;
  }
  if (ReadExpiredBit(Security)) {
    return VerifyResult::NotSent;
  }
  UINT8 Buffer[HDD_PASSWORD_BUFFER_SIZE];
  FillBytes(Buffer, sizeof(Buffer), 0);
  CopyBytes(Buffer, Password, PASSWORD_FORM_SIZE);
  EFI_STATUS Status =
      PasswordVerify->VerifyPassword(Security, Type, SerialNumber, CurrentDrive, Buffer);
  FillBytes(Buffer, sizeof(Buffer), 0);
  if (Status == EFI_SUCCESS) {
    return VerifyResult::Accepted;
  }
  if (!RefusedStatus(Status)) {
    return VerifyResult::Failed;
  }
  NoteRefused(Password, Type);
  Refusals->Count++;
  return VerifyResult::Refused;
}

// The current drive refuses passwords until the machine is powered off: tell the user and stop
// as after three wrong entries.
[[noreturn]] VOID HaltOnExpiredAttempts() {
  ForgetRefusedPasswords();
  StoreDriveMap();
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

// Whether the module holds Password in hard-disk slot Slot (1 to 3).
BOOLEAN DiskSlotHolds(UINTN Slot, const UINT8 *Password) {
  return (ModuleSlotMask & (FP_SLOT_DISK1 << (Slot - 1))) != 0 &&
         SamePassword(RequestBlock()->DiskPassword[Slot - 1], Password);
}

// A password just opened the current drive: remember which module slot holds it, or give it a
// free hard-disk slot of the module. A typed password (TakeRemembered) may take a slot that an
// absent drive's entry remembers when no other is free; the caller's candidates never do.
// EFI_ABORTED when no slot is left to learn it.
EFI_STATUS LearnOpeningPassword(const UINT8 *Password, BOOLEAN TakeRemembered) {
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
  for (UINTN Unclaimed = 1; TakeRemembered && Slot == 0 && Unclaimed <= 3; Unclaimed++) {
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

UnlockOutcome TryUnlockDrive(const UINT8 *Password, UINTN UserReserve, UINTN MasterReserve,
                             HDD_SECURITY_PROTOCOL *Security, const UINT8 *SerialNumber) {
  DriveUnlocked = 0;
  VerifyResult User = VerifyOnce(Password, HDD_PASSWORD_USER, UserReserve, Security, SerialNumber);
  VerifyResult Master = User;
  if (User != VerifyResult::Accepted) {
    Master = VerifyOnce(Password, HDD_PASSWORD_MASTER, MasterReserve, Security, SerialNumber);
  }
  if (Master != VerifyResult::Accepted) {
    // Refused as user, and not accepted as master where the drive was asked.
    return User == VerifyResult::Refused && Master != VerifyResult::Failed
               ? UnlockOutcome::Refused
               : UnlockOutcome::Unsettled;
  }
  DriveUnlocked = 1;
  ClearSysPwdInvalidBits(DriveInvalidBit());
  return UnlockOutcome::Opened;
}

namespace {

// An automatic password followed by Later other automatic passwords: its user verify leaves the
// typed tries their room, its master verify also the later passwords' user verifies.
UnlockOutcome TryAutomaticPassword(const UINT8 *Password, UINTN Later,
                                   HDD_SECURITY_PROTOCOL *Security, const UINT8 *SerialNumber) {
  return TryUnlockDrive(Password, TypedTries, TypedTries + Later, Security, SerialNumber);
}

} // namespace

VOID UnlockWithCallerPasswords(HDD_SECURITY_PROTOCOL *Security, const UINT8 *SerialNumber) {
  const UINT8 *Candidates = CallerAnswer + CALLER_ANSWER_DISK_CANDIDATES;
  UINTN Given = 0;
  for (UINTN Index = 0; Index < 4; Index++) {
    Given += IsAllZero(Candidates + PASSWORD_FORM_SIZE * Index, PASSWORD_FORM_SIZE) ? 0 : 1;
  }
  for (UINTN Index = 0; Index < 4; Index++) {
    const UINT8 *Candidate = Candidates + PASSWORD_FORM_SIZE * Index;
    if (IsAllZero(Candidate, PASSWORD_FORM_SIZE)) {
      continue;
    }
    Given--;
    if (TryAutomaticPassword(Candidate, Given, Security, SerialNumber) != UnlockOutcome::Opened) {
      continue;
    }
    if (Index < 3) {
      // Candidate i belongs to hard-disk slot i + 1 of the module, unless that slot holds
      // another password that a drive claimed in this run or that another drive's entry
      // remembers: then it takes a free slot, and with none free the drive is open but nothing
      // learns the candidate.
      UINTN Slot = Index + 1;
      if ((SlotClaimed[Index] == 1 || RememberedForOtherDrive(Slot)) &&
          !DiskSlotHolds(Slot, Candidate)) {
        Slot = FirstFreeDiskSlot();
        if (Slot == 0) {
          return;
        }
      }
      StoreInDiskSlot(Slot, Candidate);
      return;
    }
    // The fourth candidate names the slot of an equal earlier candidate when the module holds
    // it there; otherwise it is new and learned as the others are.
    for (UINTN Other = 0; Other < 3; Other++) {
      if (SamePassword(Candidate, Candidates + PASSWORD_FORM_SIZE * Other) &&
          DiskSlotHolds(Other + 1, Candidate)) {
        CurrentMapEntry[EntryDisk1 + Other] = 1;
        MapDirty() = 1;
        return;
      }
    }
    LearnOpeningPassword(Candidate, FALSE);
    return;
  }
}

VOID UnlockWithRememberedMapping(HDD_SECURITY_PROTOCOL *Security, const UINT8 *SerialNumber) {
  FP_REQUEST_BLOCK_LAYOUT *Block = RequestBlock();
  // The remembered slots the reply carries, in the order they are tried: hard-disk slots 1 to 3
  // (not all zero), then the user password (not all zero) or, only when that is not tried, the
  // administrator password (zeros too).
  struct Remembered {
    UINT16 Slot;
    UINTN EntryByte;
    const UINT8 *Password;
  };
  Remembered Tries[4];
  UINTN Count = 0;
  for (UINTN Slot = 1; Slot <= 3; Slot++) {
    Remembered Try = {(UINT16)(FP_SLOT_DISK1 << (Slot - 1)), EntryDisk1 + Slot - 1,
                      Block->DiskPassword[Slot - 1]};
    if ((ModuleSlotMask & Try.Slot) != 0 && CurrentMapEntry[Try.EntryByte] != 0 &&
        !IsAllZero(Try.Password, PASSWORD_FORM_SIZE)) {
      Tries[Count++] = Try;
    }
  }
  if ((ModuleSlotMask & FP_SLOT_USER) != 0 && CurrentMapEntry[EntryUser] != 0 &&
      !IsAllZero(Block->UserPassword, PASSWORD_FORM_SIZE)) {
    Tries[Count++] = {FP_SLOT_USER, EntryUser, Block->UserPassword};
  } else if ((ModuleSlotMask & FP_SLOT_ADMIN) != 0 && CurrentMapEntry[EntryAdmin] != 0) {
    Tries[Count++] = {FP_SLOT_ADMIN, EntryAdmin, Block->AdminPassword};
  }

  for (UINTN Index = 0; Index < Count; Index++) {
    const Remembered &Try = Tries[Index];
    UnlockOutcome Outcome =
        TryAutomaticPassword(Try.Password, Count - Index - 1, Security, SerialNumber);
    if (Outcome == UnlockOutcome::Opened) {
      if (Try.EntryByte >= EntryDisk1) {
        SlotClaimed[Try.EntryByte - EntryDisk1] = 1;
      }
      return;
    }
    // Forgotten once the drive refused it as user password (and, where asked, as master
    // password); one whose user verify the budget did not allow, or whose verify failed on the
    // way to the drive, stays remembered.
    if (Outcome == UnlockOutcome::Refused) {
      CurrentMapEntry[Try.EntryByte] = 0;
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
      // The user verify may take the last attempt; the master verify leaves one for each
      // later try.
      TryUnlockDrive(ModuleForm, 0, TypedTries - 1 - Tries, Security, SerialNumber);
    }
    if (DriveUnlocked != 0) {
      Status = LearnOpeningPassword(ModuleForm, TRUE);
      break;
    }
    // With no attempt left, or after the last try, the drive's own word tells whether its
    // count expired; with attempts spent but tries left the prompt can do nothing more.
    BOOLEAN LastTry = Tries + 1 == TypedTries;
    if (AttemptsLeft() == 0 || LastTry) {
      ReadExpiredBit(Security);
    }
    if (AttemptsExpired != 0 || (AttemptsLeft() == 0 && !LastTry)) {
      FillBytes(ModuleForm, sizeof(ModuleForm), 0);
      HaltOnExpiredAttempts();
    }
    ShowPasswordIncorrect();
    if (++Tries == TypedTries) {
      FillBytes(ModuleForm, sizeof(ModuleForm), 0);
      ForgetRefusedPasswords();
      StoreDriveMap();
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
    Refusals = &CurrentRefusals(Crc);
    // A drive that refuses everything until power-off can be opened by nothing in this boot.
    AttemptsExpired = (SecurityStatus & ATA_SECURITY_COUNT_EXPIRED) != 0 ? 1 : 0;
    if (AttemptsLeft() == 0) {
      HaltOnExpiredAttempts();
    }
    if (CallerAnswer[CALLER_ANSWER_FLAG] != 0) {
      UnlockWithCallerPasswords(Security[Index], Serial);
    } else if (MapValid() != 0) {
      UnlockWithRememberedMapping(Security[Index], Serial);
    }
    // Every drive still locked gets its prompt, also when no hard-disk slot is left to learn
    // its password.
    if (DriveUnlocked == 0) {
      PromptHardDiskPassword(Security[Index], Serial);
    }
  }

  ForgetRefusedPasswords();
  StoreDriveMap();
  if (Identify != nullptr) {
    DriverBootServices->FreePool(Identify);
  }
  return Result;
}
