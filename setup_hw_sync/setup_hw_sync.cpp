// SetupHwSyncDxe: brings the "Setup" variable and the serial and parallel port NV records into
// line with the board straps, the discrete graphics device behind bridge 0:2.0 and the TPM.
// All work happens once, in the entry point; nothing stays behind but the variables.
#include "board_addresses.h"
#include "driver_globals.h"
#include "guids.h"
#include "hardware_io.h"
#include "pci.h"
#include "setup_variables.h"
#include "variables.h"

namespace {

constexpr CHAR16 LptNvName[] = u"PNP0400_0_NV";
constexpr CHAR16 Com1NvName[] = u"PNP0501_0_NV";
constexpr CHAR16 Com2NvName[] = u"PNP0501_1_NV";
constexpr CHAR16 Com1DetectName[] = u"SetupCom1DetectData";
constexpr CHAR16 Com2DetectName[] = u"SetupCom2DetectData";
constexpr CHAR16 SetupName[] = u"Setup";

constexpr UINT8 StrapBit = 0x80;
constexpr UINT8 ProbeBus = 0x50;
constexpr UINT16 NvidiaVendorId = 0x10DE;

constexpr UINTN Bridge020 = PcieConfigAddress(0, 2, 0, 0);

// COM1 settings for Com1Selection 1..4 and the two Com2Selection adjustments that follow.
struct Com1Choice {
  UINT8 Setting;
  UINT8 Com2IfSame; // Com2Selection equal to Com1Selection becomes this
  UINT8 Com2From;   // then a Com2Selection equal to this ...
  UINT8 Com2To;     // ... becomes this
};
constexpr Com1Choice Com1Choices[4] = {
    {1, 2, 3, 2},
    {3, 1, 4, 1},
    {4, 2, 1, 2},
    {5, 2, 2, 1},
};

// COM2 settings for Com2Selection 1..4.
constexpr UINT8 Com2Settings[4] = {2, 1, 4, 5};

// Reads a fixed-size port record; returns whether the record is to be written back. A missing
// record starts as zeros and is created; a record that cannot be read as exactly one record
// (stored with another size, or a failing read) is left as it is, so its setting is not lost.
BOOLEAN ReadPortRecord(const CHAR16 *Name, PortNvRecord *Record) {
  UINTN Size = sizeof(*Record);
  EFI_STATUS Status =
      DriverRuntimeServices->GetVariable(Name, &PNP_NV_GUID, nullptr, &Size, Record);
  if (Status == EFI_NOT_FOUND) {
    Record->Enable = 0;
    Record->Setting = 0;
    Record->Reserved = 0;
    return TRUE;
  }
  return !EFI_ERROR(Status) && Size == sizeof(*Record);
}

// Reads a 2-byte detect record; returns whether there is a record to carry through.
BOOLEAN ReadDetectRecord(const CHAR16 *Name, const EFI_GUID *Guid, UINT8 (&Record)[2]) {
  UINTN Size = sizeof(Record);
  EFI_STATUS Status = DriverRuntimeServices->GetVariable(Name, Guid, nullptr, &Size, Record);
  return !EFI_ERROR(Status) && Size == sizeof(Record);
}

EFI_STATUS WriteVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINTN Size, const VOID *Data,
                         UINT32 Attributes = EFI_VARIABLE_NV_BS_RT) {
  return DriverRuntimeServices->SetVariable(Name, Guid, Attributes, Size, Data);
}

// Gives bridge 0:2.0 the temporary bus 0x50 and reads the vendor ID of device 0 behind it.
UINT8 ProbeNvidiaDevice() {
  MmioWrite8(Bridge020 + PCI_BRIDGE_SECONDARY_BUS, ProbeBus);
  MmioWrite8(Bridge020 + PCI_BRIDGE_SUBORDINATE_BUS, ProbeBus);
  UINT8 Bus = MmioRead8(Bridge020 + PCI_BRIDGE_SUBORDINATE_BUS);
  UINT16 VendorId = MmioRead16(PcieConfigAddress(Bus, 0, 0, PCI_VENDOR_ID_OFFSET));
  MmioWrite8(Bridge020 + PCI_BRIDGE_SECONDARY_BUS, 0);
  MmioWrite8(Bridge020 + PCI_BRIDGE_SUBORDINATE_BUS, 0);
  return VendorId == NvidiaVendorId ? 1 : 0;
}

// Compares the TPM identity bytes with Expected, reading one byte at a time and stopping at
// the first byte that differs.
BOOLEAN TpmIdentityIs(const UINT8 (&Expected)[4]) {
  for (UINTN Index = 0; Index < 4; Index++) {
    if (MmioRead8(TPM_DID_VID + Index) != Expected[Index]) {
      return FALSE;
    }
  }
  return TRUE;
}

UINT8 ProbeTpm() {
  static constexpr UINT8 NoTpmIdentity[4] = {0x4A, 0x10, 0x00, 0x00};
  static constexpr UINT8 FloatingBus[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  if (TpmIdentityIs(NoTpmIdentity)) {
    return 0;
  }
  if (TpmIdentityIs(FloatingBus)) {
    return 0;
  }
  return 1;
}

} // namespace

extern "C" EFI_STATUS EFIAPI SetupHwSyncEntryPoint(EFI_HANDLE ImageHandle,
                                                   EFI_SYSTEM_TABLE *SystemTable) {
  InitializeDriverGlobals(ImageHandle, SystemTable);

  PortNvRecord LptRecord;
  PortNvRecord Com1Record;
  PortNvRecord Com2Record;
  UINT8 Com1Detect[2];
  UINT8 Com2Detect[2];
  BOOLEAN HaveLptRecord = ReadPortRecord(LptNvName, &LptRecord);
  BOOLEAN HaveCom1Record = ReadPortRecord(Com1NvName, &Com1Record);
  BOOLEAN HaveCom1Detect = ReadDetectRecord(Com1DetectName, &SETUP_COM1_DETECT_GUID, Com1Detect);

  // Without a 662-byte Setup image there is nothing to work on, and writing 662 bytes would
  // read past a smaller buffer or truncate a larger store: change no variable at all. "Setup" is
  // written back with the attributes it is stored with; other ones would be refused.
  UINT8 *Setup = nullptr;
  UINTN SetupSize = 0;
  UINT32 SetupAttributes = 0;
  EFI_STATUS Status =
      ReadVariableGrowBuffer(SetupName, &SETUP_GUID, &SetupAttributes, &SetupSize, (VOID **)&Setup);
  if (EFI_ERROR(Status) || SetupSize != SETUP_VARIABLE_SIZE) {
    if (Setup != nullptr) {
      DriverBootServices->FreePool(Setup);
    }
    return EFI_ERROR(Status) ? Status : EFI_BAD_BUFFER_SIZE;
  }

  UINT8 Com1Selection = Setup[SetupField::Com1Selection];
  UINT8 Com2Selection = Setup[SetupField::Com2Selection];

  // Linked options follow their switch: 0 clears, 1 sets, anything else leaves them.
  UINT8 LinkedSwitch = Setup[SetupField::LinkedOptionsSwitch];
  if (LinkedSwitch == 0 || LinkedSwitch == 1) {
    Setup[SetupField::LinkedOption2] = LinkedSwitch;
    Setup[SetupField::LinkedOption3] = LinkedSwitch;
    Setup[SetupField::LinkedOption1] = LinkedSwitch;
  }

  // COM2 strap: while active COM2 is off; on the first boot after release it comes back at 2.
  UINT8 Com2Latch;
  if ((MmioRead8(FCH_COM2_STRAP) & StrapBit) != 0) {
    Com2Latch = 1;
    Com2Selection = 0;
  } else {
    if (Setup[SetupField::Com2StrapLatch] == 1) {
      Com2Selection = 2;
    }
    Com2Latch = 0;
  }

  // Option strap: while active both gated options are off; on release they come back on.
  UINT8 OptionLatch;
  UINT8 GatedOption1 = Setup[SetupField::StrapGatedOption1];
  UINT8 GatedOption2 = Setup[SetupField::StrapGatedOption2];
  if ((MmioRead8(FCH_OPTION_STRAP) & StrapBit) != 0) {
    OptionLatch = 1;
    GatedOption1 = 0;
    GatedOption2 = 0;
  } else {
    if (Setup[SetupField::OptionStrapLatch] == 1) {
      GatedOption1 = 1;
      GatedOption2 = 1;
    }
    OptionLatch = 0;
  }

  UINT8 NvidiaPresent = ProbeNvidiaDevice();
  UINT8 TpmPresent = ProbeTpm();

  UINT8 LptStrapActive = (MmioRead8(FCH_LPT_STRAP) & StrapBit) != 0 ? 1 : 0;
  LptRecord.Enable = (LptStrapActive == 0 && Setup[SetupField::LptEnable] != 0) ? 1 : 0;

  if (Com1Selection == 0) {
    Com1Record.Enable = 0;
  } else if (Com1Selection <= 4) {
    const Com1Choice &Choice = Com1Choices[Com1Selection - 1];
    Com1Record.Enable = 1;
    Com1Record.Setting = Choice.Setting;
    if (Com2Selection == Com1Selection) {
      Com2Selection = Choice.Com2IfSame;
    }
    if (Com2Selection == Choice.Com2From) {
      Com2Selection = Choice.Com2To;
    }
  }

  if (HaveCom1Record) {
    WriteVariable(Com1NvName, &PNP_NV_GUID, sizeof(Com1Record), &Com1Record);
  }
  if (HaveCom1Detect) {
    WriteVariable(Com1DetectName, &SETUP_COM1_DETECT_GUID, sizeof(Com1Detect), Com1Detect);
  }

  BOOLEAN HaveCom2Record = ReadPortRecord(Com2NvName, &Com2Record);
  BOOLEAN HaveCom2Detect = ReadDetectRecord(Com2DetectName, &SETUP_COM2_DETECT_GUID, Com2Detect);

  if (Com2Selection == 0) {
    Com2Record.Enable = 0;
  } else if (Com2Selection <= 4) {
    Com2Record.Enable = 1;
    Com2Record.Setting = Com2Settings[Com2Selection - 1];
  }

  if (HaveCom2Record) {
    WriteVariable(Com2NvName, &PNP_NV_GUID, sizeof(Com2Record), &Com2Record);
  }
  if (HaveCom2Detect) {
    WriteVariable(Com2DetectName, &SETUP_COM2_DETECT_GUID, sizeof(Com2Detect), Com2Detect);
  }

  Setup[SetupField::Com1Selection] = Com1Selection;
  Setup[SetupField::Com2Selection] = Com2Selection;
  Setup[SetupField::Com2StrapLatch] = Com2Latch;
  Setup[SetupField::OptionStrapLatch] = OptionLatch;
  Setup[SetupField::StrapGatedOption1] = GatedOption1;
  Setup[SetupField::StrapGatedOption2] = GatedOption2;
  Setup[SetupField::NvidiaDevicePresent] = NvidiaPresent;
  Setup[SetupField::LptStrapActive] = LptStrapActive;
  Setup[SetupField::TpmPresent] = TpmPresent;
  Status = WriteVariable(SetupName, &SETUP_GUID, SETUP_VARIABLE_SIZE, Setup, SetupAttributes);
  DriverBootServices->FreePool(Setup);

  // The parallel record follows the strap whatever became of "Setup"; a failed "Setup" write is
  // the entry's result, so that the platform sees the settings were not stored.
  if (HaveLptRecord) {
    EFI_STATUS LptStatus = WriteVariable(LptNvName, &PNP_NV_GUID, sizeof(LptRecord), &LptRecord);
    if (!EFI_ERROR(Status)) {
      Status = LptStatus;
    }
  }
  return Status;
}
