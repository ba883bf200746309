// The two-phase start of both SMM images on the board: the first run registers the image's own
// file with the SMM base protocol, the SMM core loads a fresh copy and runs it inside SMM.
#include "support/smm_test_support.h"

namespace sim::test {
namespace {

const std::vector<uint8_t> BootVolumeNode = {0x01, 0x01, 0x06, 0x00, 0x01, 0x11};

class SmmStart : public ::testing::TestWithParam<const char *> {
protected:
  std::string Name() const { return GetParam(); }
  std::vector<uint8_t> OwnFilePath() const {
    return PathBytes({FilePathNode("\\" + Name() + ".efi"), EndNode()});
  }
  const PeImage &FirstRunImage(EFI_HANDLE Handle) { return *B.ImageRecord(Handle)->Image; }
  Board B;
};

TEST_P(SmmStart, FirstRunRegistersTheJoinedPathAndTheCopyStartsInSmm) {
  EFI_HANDLE Handle = nullptr;
  RunResult Result = StartDriverImage(B, Name(), &Handle);
  ASSERT_TRUE(Result.Returned()) << Result.Message;
  EXPECT_EQ(Result.Status, EFI_SUCCESS);
  EXPECT_TRUE(B.Problems.empty()) << B.Problems.front();
  EXPECT_EQ(B.LivePoolBlocks(), 0u) << "the joined path is freed after Register";

  // One registration: device node, file node, one end node; no source buffer, not IA-32.
  ASSERT_EQ(B.Smm.Registrations().size(), 1u);
  const SmmRegistration &Registration = B.Smm.Registrations()[0];
  EXPECT_EQ(Registration.Path,
            PathBytes({BootVolumeNode, FilePathNode("\\" + Name() + ".efi"), EndNode()}));
  EXPECT_FALSE(Registration.HadSourceBuffer);
  EXPECT_EQ(Registration.SourceSize, 0u);
  EXPECT_FALSE(Registration.LegacyIa32);
  EXPECT_EQ(Registration.Status, EFI_SUCCESS);

  // The first run stays outside SMM: only the base protocol is located.
  const PeImage &First = FirstRunImage(Handle);
  EXPECT_EQ(ImageGlobal<void *>(First, "DriverSmmBase"), B.Smm.BaseProtocol());
  EXPECT_EQ(ImageGlobal<void *>(First, "DriverSmst"), nullptr);
  EXPECT_EQ(ImageGlobal<uint8_t>(First, "DriverInSmm"), 0);
  EXPECT_EQ(ImageGlobal<uint8_t>(First, "DriverLocateClosed"), 0);
  EXPECT_EQ(ImageGlobal<void *>(First, "DriverRuntimeServices"), &B.RuntimeServices);

  // The SMM copy is another load of the same file with globals of its own.
  const SmmImageRecord *Copy = B.Smm.Image(Name());
  ASSERT_NE(Copy, nullptr);
  ASSERT_TRUE(Copy->EntryRun.How == Outcome::Returned) << Copy->EntryRun.Message;
  const PeImage &Second = *Copy->Image;
  EXPECT_NE(Second.Base, First.Base);
  EXPECT_EQ(ImageGlobal<void *>(Second, "DriverImageHandle"), Copy->Handle);
  EXPECT_EQ(ImageGlobal<void *>(Second, "DriverSmmBase"), B.Smm.BaseProtocol());
  EXPECT_EQ(ImageGlobal<void *>(Second, "DriverSmst"), B.Smm.Smst());
  EXPECT_EQ(ImageGlobal<uint8_t>(Second, "DriverInSmm"), 1);
  EXPECT_EQ(ImageGlobal<uint8_t>(Second, "DriverLocateClosed"), 1);
  EXPECT_EQ(ImageGlobal<void *>(Second, "DriverRuntimeServices"), B.Smm.SmmRuntimeServices());
  // Inside SMM the SMM status-code protocol is the one located (each on its own handle).
  EXPECT_EQ(ImageGlobal<void *>(Second, "DriverSmmStatusCode"), B.Smm.SmmStatusCodeProtocol());
  EXPECT_EQ(ImageGlobal<void *>(Second, "DriverStatusCode"), nullptr);
  EXPECT_EQ(B.Smm.StatusCodeReports, 0u);
  EXPECT_FALSE(B.Smm.InSmm());
}

TEST_P(SmmStart, FromItsFirmwareFileTheCopyComesFromTheVolume) {
  RunResult Result = B.LoadDriverFromFirmwareFile(Name());
  ASSERT_TRUE(Result.Returned()) << Result.Message;
  EXPECT_EQ(Result.Status, EFI_SUCCESS);
  EXPECT_TRUE(B.Problems.empty()) << B.Problems.front();
  EXPECT_EQ(B.LivePoolBlocks(), 0u);

  // The volume's path without its end node, the firmware-file node, one end node.
  ASSERT_EQ(B.Smm.Registrations().size(), 1u);
  const std::vector<uint8_t> &Path = B.Smm.Registrations()[0].Path;
  const auto *Volume =
      static_cast<const uint8_t *>(B.Protocol(B.Volume.Handle(), EFI_DEVICE_PATH_PROTOCOL_GUID));
  std::vector<uint8_t> VolumeNode(Volume, Volume + 20);
  const EFI_LOADED_IMAGE_PROTOCOL *First = nullptr;
  for (EFI_HANDLE Handle : B.HandlesWith(EFI_LOADED_IMAGE_PROTOCOL_GUID)) {
    if (B.ImageRecord(Handle) != nullptr) {
      First = &B.ImageRecord(Handle)->Protocol;
    }
  }
  ASSERT_NE(First, nullptr);
  std::vector<uint8_t> FileNode(reinterpret_cast<const uint8_t *>(First->FilePath),
                                reinterpret_cast<const uint8_t *>(First->FilePath) + 24);
  EXPECT_EQ(Path, PathBytes({VolumeNode, FileNode}));

  const SmmImageRecord *Copy = B.Smm.Image(Name());
  ASSERT_NE(Copy, nullptr);
  EXPECT_EQ(Copy->Protocol.DeviceHandle, B.Volume.Handle());
  EXPECT_EQ(ImageGlobal<uint8_t>(*Copy->Image, "DriverInSmm"), 1);
  EXPECT_EQ(B.Smm.Callbacks().size() + B.Smm.SwHandlers().size(),
            Name() == "FanControlSmm" ? 1u : 3u);
}

TEST_P(SmmStart, WithoutSmmRuntimeServicesTheSystemTablesServicesStay) {
  SmmOptions Options;
  Options.RuntimeServicesTable = false;
  Options.StatusCodeProtocols = false; // a failing status-code locate changes nothing
  B.Smm.Configure(Options);
  RunResult Result = StartDriverImage(B, Name());
  ASSERT_TRUE(Result.Returned()) << Result.Message;
  EXPECT_EQ(Result.Status, EFI_SUCCESS);
  const SmmImageRecord *Copy = B.Smm.Image(Name());
  ASSERT_NE(Copy, nullptr);
  EXPECT_EQ(ImageGlobal<void *>(*Copy->Image, "DriverRuntimeServices"), &B.RuntimeServices);
  EXPECT_EQ(ImageGlobal<void *>(*Copy->Image, "DriverSmmStatusCode"), nullptr);
  EXPECT_EQ(ImageGlobal<uint8_t>(*Copy->Image, "DriverLocateClosed"), 1);
  // The in-SMM entry ran all the same: it registered its handler.
  EXPECT_EQ(B.Smm.Callbacks().size() + B.Smm.SwHandlers().size(),
            Name() == "FanControlSmm" ? 1u : 3u);
}

// The globals the in-SMM entry finds when it registers its handlers: everything of the start is
// in place, the status-code locate is closed.
TEST_P(SmmStart, TheInSmmEntryFindsTheStartDoneAndTheLocateClosed) {
  std::vector<std::string> Seen;
  B.Smm.OnEntryRegistration = [&](const PeImage &Image) {
    Seen.push_back(Image.Name);
    EXPECT_EQ(ImageGlobal<uint8_t>(Image, "DriverLocateClosed"), 1);
    EXPECT_EQ(ImageGlobal<uint8_t>(Image, "DriverInSmm"), 1);
    EXPECT_EQ(ImageGlobal<void *>(Image, "DriverSmst"), B.Smm.Smst());
    EXPECT_EQ(ImageGlobal<void *>(Image, "DriverRuntimeServices"), B.Smm.SmmRuntimeServices());
    EXPECT_EQ(ImageGlobal<void *>(Image, "DriverSmmStatusCode"), B.Smm.SmmStatusCodeProtocol());
  };
  RunResult Result = StartDriverImage(B, Name());
  ASSERT_TRUE(Result.Returned()) << Result.Message;
  EXPECT_EQ(Result.Status, EFI_SUCCESS);
  EXPECT_FALSE(Seen.empty());
  for (const std::string &Image : Seen) {
    EXPECT_EQ(Image, Name());
  }
}

// The status-code locate of each copy: outside SMM it looks for the runtime protocol; inside
// SMM, once the in-SMM entry has run, it answers EFI_UNSUPPORTED without looking, even when
// the SMM protocol has appeared since.
TEST_P(SmmStart, StatusCodeLocateOfEachCopy) {
  SmmOptions Options;
  Options.SmmStatusCodeProtocol = false;
  B.Smm.Configure(Options);
  EFI_HANDLE Handle = nullptr;
  RunResult Result = StartDriverImage(B, Name(), &Handle);
  ASSERT_TRUE(Result.Returned()) << Result.Message;
  EXPECT_EQ(Result.Status, EFI_SUCCESS);
  const SmmImageRecord *Copy = B.Smm.Image(Name());
  ASSERT_NE(Copy, nullptr);
  EXPECT_EQ(ImageGlobal<void *>(*Copy->Image, "DriverSmmStatusCode"), nullptr);
  EXPECT_EQ(ImageGlobal<void *>(*Copy->Image, "DriverStatusCode"), nullptr);

  Options.SmmStatusCodeProtocol = true;
  B.Smm.Configure(Options);
  using LocateFunction = EFI_STATUS(EFIAPI *)();
  auto SmmLocate =
      reinterpret_cast<LocateFunction>(ImageSymbol(*Copy->Image, "LocateStatusCodeService"));
  ASSERT_NE(SmmLocate, nullptr);
  GuardedResult InSmm = B.Smm.RunInSmm([&] { return SmmLocate(); });
  ASSERT_TRUE(InSmm.How == Outcome::Returned) << InSmm.Message;
  EXPECT_EQ(InSmm.Value, EFI_UNSUPPORTED);
  EXPECT_EQ(ImageGlobal<void *>(*Copy->Image, "DriverSmmStatusCode"), nullptr);

  const PeImage &First = FirstRunImage(Handle);
  auto BootLocate = reinterpret_cast<LocateFunction>(ImageSymbol(First, "LocateStatusCodeService"));
  ASSERT_NE(BootLocate, nullptr);
  RunResult Outside = B.RunGuardedCall(Name(), [&] { return BootLocate(); });
  ASSERT_TRUE(Outside.Returned()) << Outside.Message;
  EXPECT_EQ(Outside.Status, EFI_SUCCESS);
  EXPECT_EQ(ImageGlobal<void *>(First, "DriverStatusCode"), B.Smm.StatusCodeProtocol());
  EXPECT_EQ(ImageGlobal<void *>(First, "DriverSmmStatusCode"), nullptr);
  EXPECT_EQ(B.Smm.StatusCodeReports, 0u);
}

// InSmm's own status is not examined: the BOOLEAN alone tells the two runs apart.
TEST_P(SmmStart, AFailingInSmmStatusChangesNothing) {
  SmmOptions Options;
  Options.InSmmStatus = EFI_DEVICE_ERROR;
  B.Smm.Configure(Options);
  RunResult Result = StartDriverImage(B, Name());
  ASSERT_TRUE(Result.Returned()) << Result.Message;
  EXPECT_EQ(Result.Status, EFI_SUCCESS);
  ASSERT_EQ(B.Smm.Registrations().size(), 1u);
  const SmmImageRecord *Copy = B.Smm.Image(Name());
  ASSERT_NE(Copy, nullptr);
  EXPECT_EQ(ImageGlobal<uint8_t>(*Copy->Image, "DriverInSmm"), 1);
  EXPECT_EQ(B.Smm.Callbacks().size() + B.Smm.SwHandlers().size(),
            Name() == "FanControlSmm" ? 1u : 3u);
  EXPECT_TRUE(B.Problems.empty()) << B.Problems.front();
}

TEST_P(SmmStart, TheFirstOfSeveralRuntimeTablesWins) {
  EFI_RUNTIME_SERVICES Decoy{};
  SmmOptions Options;
  Options.ExtraEntries = {{SMM_RUNTIME_SERVICES_TABLE_GUID, &Decoy}};
  B.Smm.Configure(Options);
  ASSERT_TRUE(StartDriverImage(B, Name()).Returned());
  const SmmImageRecord *Copy = B.Smm.Image(Name());
  ASSERT_NE(Copy, nullptr);
  EXPECT_EQ(ImageGlobal<void *>(*Copy->Image, "DriverRuntimeServices"), B.Smm.SmmRuntimeServices());
}

TEST_P(SmmStart, SmstLocationFailureEndsTheSecondRunAndIsTheEntrysResult) {
  SmmOptions Options;
  Options.GetSmstLocationStatus = EFI_DEVICE_ERROR;
  B.Smm.Configure(Options);
  RunResult Result = StartDriverImage(B, Name());
  ASSERT_TRUE(Result.Returned()) << Result.Message;
  EXPECT_EQ(Result.Status, EFI_DEVICE_ERROR);
  EXPECT_TRUE(B.Smm.Callbacks().empty());
  EXPECT_TRUE(B.Smm.SwHandlers().empty());
  EXPECT_TRUE(B.Hardware.Trace().empty()) << TraceText(B.Hardware.Trace());
  EXPECT_EQ(B.LivePoolBlocks(), 0u);
}

TEST_P(SmmStart, WithoutSmmBaseNothingIsRegistered) {
  B.UninstallEverywhere(EFI_SMM_BASE_PROTOCOL_GUID);
  RunResult Result = StartDriverImage(B, Name());
  ASSERT_TRUE(Result.Returned()) << Result.Message;
  EXPECT_EQ(Result.Status, EFI_NOT_FOUND);
  EXPECT_TRUE(B.Smm.Registrations().empty());
}

TEST_P(SmmStart, ImageHandleWithoutLoadedImageRegistersNothing) {
  RunResult Result = StartDriverImage(B, Name(), nullptr, [&](LoadedImageRecord &Record) {
    B.Uninstall(Record.Handle, EFI_LOADED_IMAGE_PROTOCOL_GUID);
  });
  ASSERT_TRUE(Result.Returned()) << Result.Message;
  EXPECT_EQ(Result.Status, EFI_UNSUPPORTED);
  EXPECT_TRUE(B.Smm.Registrations().empty());
  EXPECT_EQ(B.LivePoolBlocks(), 0u);
}

TEST_P(SmmStart, DeviceWithoutDevicePathRegistersNothing) {
  EFI_HANDLE Bare = B.NewHandle("device without a path");
  RunResult Result = StartDriverImage(
      B, Name(), nullptr, [&](LoadedImageRecord &Record) { Record.Protocol.DeviceHandle = Bare; });
  ASSERT_TRUE(Result.Returned()) << Result.Message;
  EXPECT_EQ(Result.Status, EFI_UNSUPPORTED);
  EXPECT_TRUE(B.Smm.Registrations().empty());
  EXPECT_EQ(B.LivePoolBlocks(), 0u);
}

TEST_P(SmmStart, WithoutFilePathTheDevicePathAloneIsRegistered) {
  RunResult Result = StartDriverImage(
      B, Name(), nullptr, [&](LoadedImageRecord &Record) { Record.Protocol.FilePath = nullptr; });
  ASSERT_TRUE(Result.Returned()) << Result.Message;
  ASSERT_EQ(B.Smm.Registrations().size(), 1u);
  EXPECT_EQ(B.Smm.Registrations()[0].Path, PathBytes({BootVolumeNode, EndNode()}));
  // No file to load: Register's failure is the entry's result, and the path was freed.
  EXPECT_EQ(Result.Status, EFI_NOT_FOUND);
  EXPECT_EQ(B.LivePoolBlocks(), 0u);
  EXPECT_TRUE(B.Smm.Images().empty());
}

// A device path whose walk stops at a Type 0 node has no end node: every node of it is
// registered, followed by the file node and one end node, and the copy loads from there.
TEST_P(SmmStart, DevicePathWithoutEndNodeKeepsAllItsNodes) {
  const std::vector<uint8_t> PciNode = {0x01, 0x01, 0x06, 0x00, 0x02, 0x1F};
  std::vector<uint8_t> DevicePath = PathBytes({PciNode, {0x00, 0x00, 0x04, 0x00}, EndNode()});
  EFI_HANDLE Device = B.NewHandle("device whose path has no end node");
  B.Install(&Device, EFI_DEVICE_PATH_PROTOCOL_GUID, DevicePath.data());
  RunResult Result = StartDriverImage(B, Name(), nullptr, [&](LoadedImageRecord &Record) {
    Record.Protocol.DeviceHandle = Device;
  });
  ASSERT_TRUE(Result.Returned()) << Result.Message;
  ASSERT_EQ(B.Smm.Registrations().size(), 1u);
  EXPECT_EQ(B.Smm.Registrations()[0].Path,
            PathBytes({PciNode, FilePathNode("\\" + Name() + ".efi"), EndNode()}));
  EXPECT_EQ(Result.Status, EFI_SUCCESS);
  const SmmImageRecord *Copy = B.Smm.Image(Name());
  ASSERT_NE(Copy, nullptr);
  EXPECT_EQ(Copy->Protocol.DeviceHandle, Device);
  EXPECT_EQ(B.LivePoolBlocks(), 0u);
  EXPECT_TRUE(B.Problems.empty()) << B.Problems.front();
}

TEST_P(SmmStart, WithNeitherPathTheEndOnlyPathIsRegistered) {
  EFI_HANDLE NullPathDevice = B.NewHandle("device with a null path");
  B.Install(&NullPathDevice, EFI_DEVICE_PATH_PROTOCOL_GUID, nullptr);
  RunResult Result = StartDriverImage(B, Name(), nullptr, [&](LoadedImageRecord &Record) {
    Record.Protocol.DeviceHandle = NullPathDevice;
    Record.Protocol.FilePath = nullptr;
  });
  ASSERT_TRUE(Result.Returned()) << Result.Message;
  ASSERT_EQ(B.Smm.Registrations().size(), 1u);
  EXPECT_EQ(B.Smm.Registrations()[0].Path, EndNode());
  EXPECT_EQ(B.LivePoolBlocks(), 0u);
}

TEST_P(SmmStart, ExhaustedPoolFailsWithoutCallingRegister) {
  B.FailPoolAllocations(1);
  RunResult Result = StartDriverImage(B, Name());
  ASSERT_TRUE(Result.Returned()) << Result.Message;
  EXPECT_EQ(Result.Status, EFI_OUT_OF_RESOURCES);
  EXPECT_TRUE(B.Smm.Registrations().empty());
  EXPECT_TRUE(B.Smm.Images().empty());
  EXPECT_TRUE(B.Problems.empty()) << B.Problems.front();
}

// Paths from the firmware that the start routine cannot trust: a device-path node shorter than
// its own header ends the walk as malformed (nothing behind it is read), and a file path without
// an end node still gives a registered path that ends with one.
struct MalformedPathCase {
  const char *Name;
  std::vector<uint8_t> DevicePath;  // installed on the image's device handle
  bool FileEnded;                   // the loaded image's FilePath has an end node
  std::vector<uint8_t> DeviceNodes; // the device nodes the registered path starts with
};

class MalformedPath : public ::testing::TestWithParam<MalformedPathCase> {
protected:
  Board B;
};

TEST_P(MalformedPath, RegistersAPathThatEndsWithAnEndNode) {
  const MalformedPathCase &Case = GetParam();
  const std::vector<uint8_t> File = FilePathNode("\\FanControlSmm.efi");
  std::vector<uint8_t> DevicePath = Case.DevicePath;
  std::vector<uint8_t> FilePath = Case.FileEnded
                                      ? PathBytes({File, EndNode()})
                                      : PathBytes({File, {0x00, 0x00, 0x04, 0x00}, {0xEE, 0xEE}});
  EFI_HANDLE Device = B.NewHandle("device of the image");
  B.Install(&Device, EFI_DEVICE_PATH_PROTOCOL_GUID, DevicePath.data());
  RunResult Result = StartDriverImage(B, "FanControlSmm", nullptr, [&](LoadedImageRecord &Record) {
    Record.Protocol.DeviceHandle = Device;
    Record.Protocol.FilePath = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(FilePath.data());
  });
  ASSERT_TRUE(Result.Returned()) << Result.Message;
  ASSERT_EQ(B.Smm.Registrations().size(), 1u);
  EXPECT_EQ(B.Smm.Registrations()[0].Path, PathBytes({Case.DeviceNodes, File, EndNode()}));
  EXPECT_EQ(Result.Status, EFI_SUCCESS);
  EXPECT_NE(B.Smm.Image("FanControlSmm"), nullptr);
  EXPECT_EQ(B.LivePoolBlocks(), 0u);
  EXPECT_TRUE(B.Problems.empty()) << B.Problems.front();
}

const std::vector<uint8_t> PciNode = {0x01, 0x01, 0x06, 0x00, 0x02, 0x1F};

INSTANTIATE_TEST_SUITE_P(
    Paths, MalformedPath,
    ::testing::Values(
        MalformedPathCase{"FileWithoutEndNode", PathBytes({PciNode, EndNode()}), false, PciNode},
        MalformedPathCase{
            "DeviceNodeOfLengthTwo",
            PathBytes({PciNode, {0x01, 0x01, 0x02, 0x00}, {0x01, 0x01, 0xFF, 0xFF}, EndNode()}),
            true, PciNode},
        MalformedPathCase{"BothMalformed",
                          PathBytes({PciNode, {0x02, 0x01, 0x03, 0x00, 0x00}, EndNode()}), false,
                          PciNode}),
    [](const auto &Info) { return std::string(Info.param.Name); });

INSTANTIATE_TEST_SUITE_P(Images, SmmStart,
                         ::testing::Values("FanControlSmm", "FingerprintStatusSmm"),
                         [](const auto &Info) { return std::string(Info.param); });

} // namespace
} // namespace sim::test
