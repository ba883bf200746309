// The board's SMM core and the end of boot services, driven by native stand-ins for SMM code.
#include "support/smm_test_support.h"

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

TEST(SmmCore, SwUnRegisterRemovesTheHandlerInsideSmmOnly) {
  Board B;
  Dispatched.clear();
  EFI_SMM_SW_DISPATCH_PROTOCOL *Sw = B.Smm.SwDispatchProtocol();
  EFI_HANDLE Kept = nullptr, Dropped = nullptr;
  B.Smm.RunInSmm([&]() -> uint64_t {
    EFI_SMM_SW_DISPATCH_CONTEXT Context = {0x534D8420};
    EXPECT_EQ(Sw->Register(Sw, RecordDispatch, &Context, &Kept), EFI_SUCCESS);
    Context.SwSmiInputValue = 0x534D1020;
    EXPECT_EQ(Sw->Register(Sw, RecordDispatch, &Context, &Dropped), EFI_SUCCESS);
    return 0;
  });
  // Outside SMM the dispatcher is out of reach: refused, and a problem.
  EXPECT_EQ(Sw->UnRegister(Sw, Dropped), EFI_UNSUPPORTED);
  EXPECT_EQ(B.Problems.size(), 1u);
  B.Problems.clear();
  B.Smm.RunInSmm([&]() -> uint64_t {
    EXPECT_EQ(Sw->UnRegister(Sw, Dropped), EFI_SUCCESS);
    EXPECT_EQ(Sw->UnRegister(Sw, Dropped), EFI_INVALID_PARAMETER) << "already gone";
    return 0;
  });
  B.Smm.TriggerSoftwareSmi(0x534D1020, 0);
  B.Smm.TriggerSoftwareSmi(0x534D8420, 0);
  std::vector<std::pair<EFI_HANDLE, uint64_t>> Expected = {{Kept, 0x534D8420}};
  EXPECT_EQ(Dispatched, Expected);
  EXPECT_TRUE(B.Problems.empty()) << B.Problems.front();
}

// A copy whose in-SMM entry fails is unloaded; a handler it left registered is not forgotten by
// the dispatcher, and the next SMI that reaches it crashes in the unloaded code. Planted: while
// FanControlSmm's copy registers its callback, a software-SMI handler pointing into the copy is
// registered beside it, and the callback registration fails.
TEST(SmmCore, AnSmiReachingAnUnloadedCopyCrashes) {
  Board B;
  SmmOptions Options;
  Options.RegisterCallbackStatus = EFI_DEVICE_ERROR;
  B.Smm.Configure(Options);
  bool Planted = false;
  B.Smm.OnEntryRegistration = [&](const PeImage &Image) {
    if (Planted) {
      return;
    }
    Planted = true;
    EFI_SMM_SW_DISPATCH_PROTOCOL *Sw = B.Smm.SwDispatchProtocol();
    EFI_SMM_SW_DISPATCH_CONTEXT Context = {0x534D8420};
    EFI_HANDLE Handle = nullptr;
    auto IntoTheCopy =
        reinterpret_cast<EFI_SMM_SW_DISPATCH>(ImageSymbol(Image, "FanTimerCallback"));
    EXPECT_EQ(Sw->Register(Sw, IntoTheCopy, &Context, &Handle), EFI_SUCCESS);
  };
  RunResult Result = StartDriverImage(B, "FanControlSmm");
  ASSERT_TRUE(Result.Returned()) << Result.Message;
  EXPECT_EQ(Result.Status, EFI_DEVICE_ERROR);
  const SmmImageRecord *Copy = B.Smm.Image("FanControlSmm");
  ASSERT_NE(Copy, nullptr);
  EXPECT_TRUE(Copy->Unloaded);
  EXPECT_EQ(B.Protocol(Copy->Handle, EFI_LOADED_IMAGE_PROTOCOL_GUID), nullptr);
  EXPECT_TRUE(B.Problems.empty()) << B.Problems.front();

  B.Smm.TriggerSoftwareSmi(0x534D8420, 0x8400);
  ASSERT_EQ(B.Problems.size(), 1u);
  EXPECT_NE(B.Problems[0].find("did not return"), std::string::npos) << B.Problems[0];
  EXPECT_NE(B.Problems[0].find("unloaded image FanControlSmm+"), std::string::npos)
      << B.Problems[0];
  EXPECT_NE(B.Problems[0].find("FanTimerCallback"), std::string::npos) << B.Problems[0];
}

// The SMI timer's status stays pending until a handler writes a one to it; while the timer is
// armed a pending status raises the SMI again. Nobody clearing it is a storm.
unsigned TimerCallbacks = 0;
unsigned ClearOnCall = 0; // the call that clears the status (0: never)
EFI_STATUS EFIAPI TimerHandler(EFI_HANDLE, VOID *, UINTN *) {
  TimerCallbacks++;
  if (TimerCallbacks == ClearOnCall) {
    Board::Current().Hardware.Write(Space::Mmio, 0xFED80291, 1, 0x80);
  }
  return EFI_HANDLER_SUCCESS;
}

TEST(SmmCore, AnArmedTimerWhoseStatusNobodyClearsIsAStorm) {
  struct Case {
    bool Handler;
    unsigned ClearOn;
    unsigned Smis;
    bool Storm;
  };
  for (Case C : {Case{true, 1, 1, false}, Case{true, 3, 3, false}, Case{true, 0, 17, true},
                 Case{false, 0, 17, true}}) {
    SCOPED_TRACE(testing::Message() << C.Handler << "/" << C.ClearOn);
    Board B;
    TimerCallbacks = 0;
    ClearOnCall = C.ClearOn;
    if (C.Handler) {
      B.Smm.RunInSmm([&]() -> uint64_t {
        EFI_SMM_BASE_PROTOCOL *Base = B.Smm.BaseProtocol();
        return Base->RegisterCallback(Base, nullptr, TimerHandler, FALSE, FALSE);
      });
    }
    B.Hardware.Write(Space::Mmio, 0xFED80296, 2, 0xFD00); // armed
    EXPECT_TRUE(B.Smm.TimerTick());
    EXPECT_EQ(B.Smm.SmiCount, C.Smis);
    EXPECT_EQ(B.Fch.SmiTimerPending(), C.Storm);
    if (C.Storm) {
      ASSERT_EQ(B.Problems.size(), 1u);
      EXPECT_NE(B.Problems[0].find("SMI storm"), std::string::npos) << B.Problems[0];
    } else {
      EXPECT_TRUE(B.Problems.empty()) << B.Problems.front();
    }
  }
  // A disarmed timer raises nothing, pending status or not.
  Board B;
  B.Fch.SetSmiRegister(0x91, 0x80);
  B.Smm.RaiseSmi();
  EXPECT_EQ(B.Smm.SmiCount, 1u);
  EXPECT_TRUE(B.Problems.empty()) << B.Problems.front();
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
  // The index port reads back the index and the NMI mask bit as written last.
  EXPECT_EQ(B.Hardware.Read(Space::Io, 0x70, 1), 0x8Cu);
  B.Hardware.Write(Space::Io, 0x70, 1, 0x0A);
  EXPECT_EQ(B.Hardware.Read(Space::Io, 0x70, 1), 0x0Au);
  EXPECT_FALSE(B.Io.Rtc.NmiMasked);

  // SMI register 0x91: bits 7:6 write-one-to-clear, the rest plain.
  B.Fch.SetSmiRegister(0x91, 0xC3);
  B.Hardware.Write(Space::Mmio, 0xFED80291, 1, 0x85);
  EXPECT_EQ(B.Fch.SmiRegister(0x91), 0x45);
  EXPECT_FALSE(B.Smm.TimerTick()) << "the timer is off at power-on";
  B.Hardware.Write(Space::Mmio, 0xFED80296, 2, 0xFD00);
  EXPECT_TRUE(B.Smm.TimerTick());
  EXPECT_EQ(B.Fch.SmiRegister(0x91), 0xC5) << "pending until a one is written to it";
  B.Hardware.Write(Space::Mmio, 0xFED80291, 1, 0x85);
  EXPECT_EQ(B.Fch.SmiRegister(0x91), 0x45);
  EXPECT_FALSE(B.Fch.SmiTimerPending());
}

} // namespace
} // namespace sim::test
