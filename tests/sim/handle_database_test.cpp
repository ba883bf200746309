// The board's HandleProtocol, OpenProtocol and CloseProtocol answer as EDK II's DXE core does,
// above all in what they leave in the caller's interface pointer: the interface on success,
// NULL on EFI_UNSUPPORTED, and the caller's own value for an invalid handle or parameter.
#include "board.h"
#include "guids.h"

#include <gtest/gtest.h>

#include <ostream>

namespace sim {
namespace {

const EFI_GUID kThing = {0x1A2B3C4D, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
const EFI_GUID kOther = {0x5E6F7081, 0x3333, 0x4444, {8, 7, 6, 5, 4, 3, 2, 1}};
int Stale;     // what the caller's pointer held before the call
int Published; // the interface on the handle
void *const kStale = &Stale;

struct PointerCase {
  const char *Name;
  bool ValidHandle;
  const EFI_GUID *Guid;
  bool InterfaceArgument; // false: Interface is NULL
  UINT32 Attributes;      // 0: HandleProtocol
  EFI_STATUS Status;
  void *After; // the pointer afterwards; kStale: unchanged
};
void PrintTo(const PointerCase &Case, std::ostream *Out) {
  *Out << Case.Name;
}

class InterfacePointer : public ::testing::TestWithParam<PointerCase> {};

TEST_P(InterfacePointer, IsWrittenOnlyAsTheDxeCoreWritesIt) {
  const PointerCase &Case = GetParam();
  Board B;
  EFI_HANDLE Handle = nullptr;
  ASSERT_EQ(B.Install(&Handle, kThing, &Published), EFI_SUCCESS);
  EFI_HANDLE Agent = B.NewHandle("agent");
  EFI_HANDLE Target = Case.ValidHandle ? Handle : reinterpret_cast<EFI_HANDLE>(&Stale);
  void *Pointer = kStale;
  VOID **Argument = Case.InterfaceArgument ? &Pointer : nullptr;
  EFI_STATUS Status = Case.Attributes == 0
                          ? B.BootServices.HandleProtocol(Target, Case.Guid, Argument)
                          : B.BootServices.OpenProtocol(Target, Case.Guid, Argument, Agent, nullptr,
                                                        Case.Attributes);
  EXPECT_EQ(Status, Case.Status);
  EXPECT_EQ(Pointer, Case.After);
  EXPECT_TRUE(B.Problems.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, InterfacePointer,
    ::testing::Values(
        PointerCase{"HandleProtocolFound", true, &kThing, true, 0, EFI_SUCCESS, &Published},
        PointerCase{"HandleProtocolNotOnTheHandle", true, &kOther, true, 0, EFI_UNSUPPORTED,
                    nullptr},
        PointerCase{"HandleProtocolInvalidHandle", false, &kThing, true, 0, EFI_INVALID_PARAMETER,
                    kStale},
        PointerCase{"HandleProtocolNullGuid", true, nullptr, true, 0, EFI_INVALID_PARAMETER,
                    kStale},
        PointerCase{"GetProtocolFound", true, &kThing, true, EFI_OPEN_PROTOCOL_GET_PROTOCOL,
                    EFI_SUCCESS, &Published},
        PointerCase{"GetProtocolNotOnTheHandle", true, &kOther, true,
                    EFI_OPEN_PROTOCOL_GET_PROTOCOL, EFI_UNSUPPORTED, nullptr},
        PointerCase{"GetProtocolInvalidHandle", false, &kThing, true,
                    EFI_OPEN_PROTOCOL_GET_PROTOCOL, EFI_INVALID_PARAMETER, kStale},
        PointerCase{"UnknownAttributes", true, &kThing, true, 0x40, EFI_INVALID_PARAMETER, kStale},
        // BY_DRIVER needs a valid controller handle; none is given here.
        PointerCase{"ByDriverWithoutController", true, &kThing, true, EFI_OPEN_PROTOCOL_BY_DRIVER,
                    EFI_INVALID_PARAMETER, kStale},
        PointerCase{"TestProtocolLeavesThePointer", true, &kThing, true,
                    EFI_OPEN_PROTOCOL_TEST_PROTOCOL, EFI_SUCCESS, kStale},
        PointerCase{"TestProtocolNotOnTheHandle", true, &kOther, false,
                    EFI_OPEN_PROTOCOL_TEST_PROTOCOL, EFI_UNSUPPORTED, kStale}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST(OpenProtocol, HandleProtocolWithoutAnInterfaceArgumentIsRefused) {
  Board B;
  EFI_HANDLE Handle = nullptr;
  ASSERT_EQ(B.Install(&Handle, kThing, &Published), EFI_SUCCESS);
  EXPECT_EQ(B.BootServices.HandleProtocol(Handle, &kThing, nullptr), EFI_INVALID_PARAMETER);
}

// A driver that manages a controller keeps others out until it closes the protocol.
TEST(OpenProtocol, ByDriverOpensExcludeOtherDriversUntilClosed) {
  Board B;
  EFI_HANDLE Handle = nullptr;
  ASSERT_EQ(B.Install(&Handle, kThing, &Published), EFI_SUCCESS);
  EFI_HANDLE First = B.NewHandle("first driver");
  EFI_HANDLE Second = B.NewHandle("second driver");
  EFI_BOOT_SERVICES &Bs = B.BootServices;

  void *Pointer = nullptr;
  ASSERT_EQ(Bs.OpenProtocol(Handle, &kThing, &Pointer, First, Handle, EFI_OPEN_PROTOCOL_BY_DRIVER),
            EFI_SUCCESS);
  EXPECT_EQ(Pointer, &Published);

  // The same open again: already started, the interface is handed out.
  Pointer = kStale;
  EXPECT_EQ(Bs.OpenProtocol(Handle, &kThing, &Pointer, First, Handle, EFI_OPEN_PROTOCOL_BY_DRIVER),
            EFI_ALREADY_STARTED);
  EXPECT_EQ(Pointer, &Published);

  // Another driver, by driver or exclusive: denied, the pointer left alone.
  for (UINT32 Attributes :
       {EFI_OPEN_PROTOCOL_BY_DRIVER, EFI_OPEN_PROTOCOL_BY_DRIVER | EFI_OPEN_PROTOCOL_EXCLUSIVE,
        EFI_OPEN_PROTOCOL_EXCLUSIVE}) {
    Pointer = kStale;
    EXPECT_EQ(Bs.OpenProtocol(Handle, &kThing, &Pointer, Second, Handle, Attributes),
              EFI_ACCESS_DENIED)
        << Attributes;
    EXPECT_EQ(Pointer, kStale);
  }
  // Looking at it is still allowed.
  EXPECT_EQ(
      Bs.OpenProtocol(Handle, &kThing, &Pointer, Second, nullptr, EFI_OPEN_PROTOCOL_GET_PROTOCOL),
      EFI_SUCCESS);

  EXPECT_EQ(Bs.CloseProtocol(Handle, &kThing, Second, Handle), EFI_NOT_FOUND);
  EXPECT_EQ(Bs.CloseProtocol(Handle, &kThing, First, Handle), EFI_SUCCESS);
  EXPECT_EQ(Bs.CloseProtocol(Handle, &kThing, First, Handle), EFI_NOT_FOUND);
  EXPECT_EQ(Bs.CloseProtocol(Handle, &kOther, First, Handle), EFI_NOT_FOUND);
  EXPECT_EQ(Bs.CloseProtocol(Handle, &kThing, nullptr, Handle), EFI_INVALID_PARAMETER);
  Pointer = nullptr;
  EXPECT_EQ(Bs.OpenProtocol(Handle, &kThing, &Pointer, Second, Handle, EFI_OPEN_PROTOCOL_BY_DRIVER),
            EFI_SUCCESS);
  EXPECT_EQ(Pointer, &Published);
  EXPECT_TRUE(B.Problems.empty());
}

} // namespace
} // namespace sim
