// The record of the drivers' service calls (--calls): how a call is decoded, and which calls are
// recorded, through the shipped images on the board.
#include "board.h"
#include "guids.h"
#include "service_calls.h"

#include <gtest/gtest.h>

namespace sim {
namespace {

TEST(ServiceCalls, GuidsAreNamedByTheirConstantsAndUnknownOnesInRegistryFormat) {
  const EFI_GUID Unknown = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
  const struct {
    EFI_GUID Guid;
    const char *Name;
  } Cases[] = {
      {SETUP_GUID, "SETUP_GUID"},
      {EFI_GLOBAL_VARIABLE, "EFI_GLOBAL_VARIABLE"},
      {EFI_SMM_SW_DISPATCH_PROTOCOL_GUID, "EFI_SMM_SW_DISPATCH_PROTOCOL"},
      {SMM_VARIABLE_SERVICES_TABLE_GUID, "SMM_VARIABLE_SERVICES_TABLE_GUID"},
      {Unknown, "{12345678-1234-5678-0102-030405060708}"},
  };
  for (const auto &Case : Cases) {
    EXPECT_EQ(GuidName(Case.Guid), Case.Name);
  }
  EXPECT_EQ(GuidArgument(nullptr), "NULL");
}

TEST(ServiceCalls, ACallReadsAsServiceArgumentsStatusByNameAndResults) {
  ServiceCall Call;
  Call.Service = "GetVariable";
  Call.Arguments = {TextArgument(u"Setup"), GuidArgument(&SETUP_GUID), "size 0x0"};
  EXPECT_EQ(Call.Text(), "GetVariable(\"Setup\", SETUP_GUID, size 0x0) did not return");
  Call.Returned = true;
  Call.Value = EFI_BUFFER_TOO_SMALL;
  Call.Results = {"size 0x296"};
  EXPECT_EQ(Call.Text(), "GetVariable(\"Setup\", SETUP_GUID, size 0x0) -> EFI_BUFFER_TOO_SMALL, "
                         "size 0x296");
  Call.Value = EFI_ERROR_BIT | 0x63; // an error without a name
  Call.Results.clear();
  EXPECT_EQ(Call.Text(),
            "GetVariable(\"Setup\", SETUP_GUID, size 0x0) -> error 0x8000000000000063");
  ServiceCall Void;
  Void.Service = "RestoreTPL";
  Void.Arguments = {"TPL_APPLICATION"};
  Void.Kind = ServiceCall::Returns::Nothing;
  Void.Returned = true;
  EXPECT_EQ(Void.Text(), "RestoreTPL(TPL_APPLICATION)");
  EXPECT_EQ(TextArgument(u"a\"b\n"), "\"a\\\"b\\x0A\"");
  EXPECT_EQ(AttributesText(EFI_VARIABLE_BS_RT), "attributes 0x6 (BS|RT)");
}

std::vector<std::string> Texts() {
  std::vector<std::string> Lines;
  for (const ServiceCall &Call : CallLog::Calls()) {
    Lines.push_back(Call.Driver + ": " + Call.Text());
  }
  return Lines;
}

TEST(ServiceCalls, TheImagesCallsAreRecordedUnderItsNameTheBoardsOwnAreNot) {
  Board B; // no "Setup": PciBridgeProbeDxe gives up after its first read
  CallLog::Clear();
  CallLog::Enable(true);
  RunResult Result = B.RunDriver("PciBridgeProbeDxe");
  // The board's own code calling through the same tables is not a driver's call.
  void *Interface = nullptr;
  B.BootServices.LocateProtocol(&EFI_BOOT_SCRIPT_SAVE_PROTOCOL_GUID, nullptr, &Interface);
  UINTN Size = 0;
  B.RuntimeServices.GetVariable(u"Setup", &SETUP_GUID, nullptr, &Size, nullptr);
  CallLog::Enable(false);
  ASSERT_TRUE(Result.Returned());
  std::vector<std::string> Expected = {
      "PciBridgeProbeDxe: LocateProtocol(EFI_BOOT_SCRIPT_SAVE_PROTOCOL) -> EFI_SUCCESS",
      "PciBridgeProbeDxe: GetVariable(\"Setup\", SETUP_GUID, size 0x0) -> EFI_NOT_FOUND"};
  EXPECT_EQ(Texts(), Expected);

  // Off, nothing is recorded.
  CallLog::Clear();
  B.RunDriver("PciBridgeProbeDxe");
  EXPECT_TRUE(CallLog::Calls().empty());
}

} // namespace
} // namespace sim
