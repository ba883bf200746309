// The board's hardware in a scenario: straps, devices behind the bridges, TPM identity, at the
// top level and in each entry of "boots".
#include "scenario_fields.h"

namespace boardsim {

using nlohmann::json;

namespace {

int Vendor(const json &Value, const std::string &Path) {
  if (Value.is_null()) {
    return -1;
  }
  return (int)Number(Value, Path, 0xFFFF);
}

} // namespace

HardwareSpec ParseHardware(const json &Value, const std::string &Path) {
  HardwareSpec H;
  if (Value.contains("straps")) {
    std::string Where = Join(Path, "straps");
    const json &Straps = Object(Value["straps"], Where);
    CheckKeys(Straps, Where, {"com2", "lpt", "option"});
    if (Straps.contains("com2"))
      H.Com2Strap = Flag(Straps["com2"], Join(Where, "com2"));
    if (Straps.contains("lpt"))
      H.LptStrap = Flag(Straps["lpt"], Join(Where, "lpt"));
    if (Straps.contains("option"))
      H.OptionStrap = Flag(Straps["option"], Join(Where, "option"));
  }
  if (Value.contains("gpu_vendor")) {
    H.GpuVendor = Vendor(Value["gpu_vendor"], Join(Path, "gpu_vendor"));
  }
  if (Value.contains("bridge_device_vendor")) {
    H.BridgeDeviceVendor =
        Vendor(Value["bridge_device_vendor"], Join(Path, "bridge_device_vendor"));
  }
  if (Value.contains("bridge_control")) {
    H.BridgeControl = (uint8_t)Number(Value["bridge_control"], Join(Path, "bridge_control"), 0xFF);
  }
  if (Value.contains("tpm")) {
    std::string Where = Join(Path, "tpm");
    const json &Tpm = Value["tpm"];
    if (!Tpm.is_array() || Tpm.size() != 4) {
      Fail(Where, "expected the four TPM_DID_VID bytes, e.g. [\"0xD1\", \"0x15\", 0, 0]");
    }
    std::array<uint8_t, 4> Bytes{};
    for (size_t I = 0; I < 4; I++) {
      Bytes[I] = (uint8_t)Number(Tpm[I], Join(Where, I), 0xFF);
    }
    H.Tpm = Bytes;
  }
  return H;
}

const std::vector<std::string> HardwareKeys = {"straps", "gpu_vendor", "bridge_device_vendor",
                                               "bridge_control", "tpm"};

void ApplyHardware(sim::Board &Board, const HardwareSpec &H) {
  if (H.Com2Strap)
    Board.Fch.SetStrap(0xFED80134, *H.Com2Strap);
  if (H.LptStrap)
    Board.Fch.SetStrap(0xFED80135, *H.LptStrap);
  if (H.OptionStrap)
    Board.Fch.SetStrap(0xFED801E0, *H.OptionStrap);
  if (H.GpuVendor) {
    if (*H.GpuVendor < 0) {
      Board.Pcie.DetachBehind({0, 2, 0});
    } else {
      Board.Pcie.AttachBehind({0, 2, 0}, 0, 0, (uint16_t)*H.GpuVendor, 0x1C20);
    }
  }
  if (H.BridgeDeviceVendor) {
    if (*H.BridgeDeviceVendor < 0) {
      Board.Pcie.DetachBehind({0, 0x14, 4});
    } else {
      Board.Pcie.AttachBehind({0, 0x14, 4}, 5, 0, (uint16_t)*H.BridgeDeviceVendor, 0x4727);
    }
  }
  if (H.BridgeControl) {
    (*Board.Pcie.Function({0, 0x14, 4}))[0x42] = *H.BridgeControl;
  }
  if (H.Tpm)
    Board.Tpm.Identity = *H.Tpm;
}

} // namespace boardsim
