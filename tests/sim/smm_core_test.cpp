// The board's SMM core and the end of boot services, driven by native stand-ins for SMM code.
#include "board_test_support.h"

namespace sim::test {
namespace {

std::vector<std::pair<EFI_HANDLE, uint64_t>> Dispatched;

VOID EFIAPI RecordDispatch(EFI_HANDLE Handle, EFI_SMM_SW_DISPATCH_CONTEXT *Context) {
  Dispatched.push_back({Handle, Context->SwSmiInputValue});
}

TEST(SmmCore, SwDispatchKeepsItsOwnCopyOfEachContext) {
  Board B;
  Dispatched.clear();
  EFI_SMM_SW_DISPATCH_PROTOCOL *Sw = B.Smm.SwDispatchProtocol();
  EFI_HANDLE First = nullptr, Second = nullptr;
  ASSERT_EQ(B.Smm
                .RunInSmm([&]() -> uint64_t {
                  EFI_SMM_SW_DISPATCH_CONTEXT Context = {0x534D8420};
                  EXPECT_EQ(Sw->Register(Sw, RecordDispatch, &Context, &First), EFI_SUCCESS);
                  Context.SwSmiInputValue = 0x534D1020; // the caller reuses its context
                  EXPECT_EQ(Sw->Register(Sw, RecordDispatch, &Context, &Second), EFI_SUCCESS);
                  Context.SwSmiInputValue = 0;
                  return 0;
                })
                .How,
            Outcome::Returned);
  B.Smm.TriggerSoftwareSmi(0x534D8420, 0);
  B.Smm.TriggerSoftwareSmi(0x534D1020, 0);
  B.Smm.TriggerSoftwareSmi(0, 0);
  std::vector<std::pair<EFI_HANDLE, uint64_t>> Expected = {{First, 0x534D8420},
                                                           {Second, 0x534D1020}};
  EXPECT_EQ(Dispatched, Expected);
  EXPECT_TRUE(B.Problems.empty());
}

TEST(SmmCore, SmmServicesRefuseCallersOutsideSmm) {
  Board B;
  EFI_SMM_BASE_PROTOCOL *Base = B.Smm.BaseProtocol();
  EFI_SMM_SYSTEM_TABLE *Smst = nullptr;
  BOOLEAN InSmm = TRUE;
  EXPECT_EQ(Base->InSmm(Base, &InSmm), EFI_SUCCESS);
  EXPECT_EQ(InSmm, FALSE);
  EXPECT_EQ(Base->GetSmstLocation(Base, &Smst), EFI_UNSUPPORTED);
  EXPECT_EQ(Smst, nullptr);
  B.Smm.RunInSmm([&]() -> uint64_t {
    EXPECT_EQ(Base->InSmm(Base, &InSmm), EFI_SUCCESS);
    EXPECT_EQ(Base->GetSmstLocation(Base, &Smst), EFI_SUCCESS);
    return 0;
  });
  EXPECT_EQ(InSmm, TRUE);
  EXPECT_EQ(Smst, B.Smm.Smst());
  EXPECT_EQ(Smst->Hdr.Signature, SMM_SMST_SIGNATURE);
  // The save-state records lie 712 bytes apart.
  EXPECT_EQ(reinterpret_cast<uint8_t *>(&Smst->CpuSaveState[1]) -
                reinterpret_cast<uint8_t *>(&Smst->CpuSaveState[0]),
            712);
}

TEST(SmmCore, ConfigurationTableFollowsTheOptions) {
  Board B;
  auto Has = [&](const EFI_GUID &Guid) {
    const EFI_SMM_SYSTEM_TABLE *Smst = B.Smm.Smst();
    int Count = 0;
    for (UINTN I = 0; I < Smst->NumberOfTableEntries; I++) {
      Count += SameGuid(Smst->SmmConfigurationTable[I].VendorGuid, Guid);
    }
    return Count;
  };
  EXPECT_EQ(Has(SMM_RUNTIME_SERVICES_TABLE_GUID), 1);
  EXPECT_EQ(Has(SMM_CPU_INDEX_TABLE_GUID), 1);
  EXPECT_EQ(Has(SMM_VARIABLE_SERVICES_TABLE_GUID), 1);
  SmmOptions Options;
  Options.RuntimeServicesTable = false;
  Options.CpuIndexTable = false;
  Options.VariableServicesTable = false;
  Options.SwDispatchProtocol = false;
  B.Smm.Configure(Options);
  EXPECT_EQ(Has(SMM_RUNTIME_SERVICES_TABLE_GUID), 0);
  EXPECT_EQ(Has(SMM_CPU_INDEX_TABLE_GUID), 0);
  EXPECT_EQ(Has(SMM_VARIABLE_SERVICES_TABLE_GUID), 0);
  EXPECT_TRUE(B.HandlesWith(EFI_SMM_SW_DISPATCH_PROTOCOL_GUID).empty());
  EXPECT_EQ(B.HandlesWith(EFI_SMM_BASE_PROTOCOL_GUID).size(), 1u);
}

TEST(SmmCore, WritesOutsideTheSaveStateRecordsAreProblems) {
  Board B;
  B.Smm.RunInSmm([&]() -> uint64_t { return 0; });
  EFI_SMM_CPU_SAVE_STATE *Records = B.Smm.Smst()->CpuSaveState;
  Records[-1].Ia32SaveState.EAX = 1;
  B.Smm.RaiseSmi();
  Records[B.Smm.Smst()->NumberOfCpus].Ia32SaveState.ECX = 1;
  B.Smm.RaiseSmi();
  // Not only the neighbouring records: every byte of the guard around the array.
  reinterpret_cast<uint8_t *>(&Records[-9])[17] = 0;
  B.Smm.RaiseSmi();
  Records[B.Smm.Smst()->NumberOfCpus + 12].Ia32SaveState.EAX = 0x5553000F;
  B.Smm.RaiseSmi();
  B.Smm.RaiseSmi(); // the guard was filled again after each finding
  EXPECT_EQ(B.Problems.size(), 4u);
}

TEST(EndOfBootServices, BootServicesStopAnsweringAndRuntimeServicesStay) {
  Board B;
  EFI_BOOT_SERVICES *Bs = B.SystemTable.BootServices;
  B.Variables.Put(u"Kept", EFI_GLOBAL_VARIABLE, EFI_VARIABLE_NV_BS_RT, {1});
  B.EndBootServices();
  EXPECT_EQ(B.SystemTable.BootServices, nullptr);
  VOID *Interface = nullptr;
  VOID *Buffer = nullptr;
  EXPECT_TRUE(EFI_ERROR(Bs->LocateProtocol(&EFI_SMM_BASE_PROTOCOL_GUID, nullptr, &Interface)));
  EXPECT_TRUE(EFI_ERROR(Bs->AllocatePool(EfiBootServicesData, 8, &Buffer)));
  EXPECT_EQ(Interface, nullptr);
  EXPECT_EQ(B.Problems.size(), 2u);
  uint8_t Value = 0;
  UINTN Size = 1;
  EXPECT_EQ(B.Smm.SmmRuntimeServices()->GetVariable(u"Kept", &EFI_GLOBAL_VARIABLE, nullptr, &Size,
                                                    &Value),
            EFI_SUCCESS);
  EXPECT_EQ(Value, 1);
  B.Reboot();
  EXPECT_EQ(B.SystemTable.BootServices, &B.BootServices);
  EXPECT_EQ(B.BootServices.LocateProtocol(&EFI_SMM_BASE_PROTOCOL_GUID, nullptr, &Interface),
            EFI_SUCCESS);
}

TEST(SmmHardware, StatusRegistersClearWhereOnesAreWritten) {
  Board B;
  B.Io.Pm.Pm1Status = 0x8501;
  B.Io.Pm.Gpe0Status = 0x00000C01;
  B.Hardware.Write(Space::Io, 0x801, 1, 0x04); // RTC_STS only
  B.Hardware.Write(Space::Io, 0x820, 4, 0x00000401);
  EXPECT_EQ(B.Io.Pm.Pm1Status, 0x8101);
  EXPECT_EQ(B.Io.Pm.Gpe0Status, 0x00000800u);
  B.Hardware.Write(Space::Io, 0x802, 2, 0x0400);
  EXPECT_EQ(B.Hardware.Read(Space::Io, 0x803, 1), 0x04u);

  B.Io.Rtc.Cmos[0x0C] = 0xC0;
  B.Hardware.Write(Space::Io, 0x70, 1, 0x8C);
  EXPECT_EQ(B.Hardware.Read(Space::Io, 0x71, 1), 0xC0u);
  EXPECT_EQ(B.Hardware.Read(Space::Io, 0x71, 1), 0x00u);

  // SMI register 0x91: bits 7:6 write-one-to-clear, the rest plain.
  B.Fch.SetSmiRegister(0x91, 0xC3);
  B.Hardware.Write(Space::Mmio, 0xFED80291, 1, 0x85);
  EXPECT_EQ(B.Fch.SmiRegister(0x91), 0x45);
  EXPECT_FALSE(B.Smm.TimerTick()) << "the timer is off at power-on";
  B.Hardware.Write(Space::Mmio, 0xFED80296, 2, 0xFD00);
  EXPECT_TRUE(B.Smm.TimerTick());
  EXPECT_EQ(B.Fch.SmiRegister(0x91), 0xC5);
  EXPECT_EQ(B.Smm.SmiCount, 1u);
}

} // namespace
} // namespace sim::test
