// A model of the legacy fingerprint module: what FarCall86 at 4000:0003 runs on this board.
//
// Every call checks the host's side of the contract and records each violation as a board
// problem ("fingerprint module: ..."): the call address and registers (AX 0, DS:BX at the
// block, every other register 0), the module image at 0x40000, the reader descriptor at
// 0x30000, the USB copy at 0x32000, the request block at 0x31000, the work buffer and the zeros
// everywhere else in the window. Then it answers in AX
// as configured: scripted answers per request code first (busy 0xFFFF or anything else), then a
// fixed answer if one is set, else the module's own answer (request 0: 0 when a finger is
// enrolled and accepted, else kNoMatch; requests 1, 3, 4 and 5: 0; any other code:
// kUnknownRequest).
//
// Answer 0 to request 0 fills the block with the reply: state byte, slot mask, the stored
// passwords of the slots in the mask (the other slots zero) and the echo byte. Answer 0 to
// request 1 stores the slot named in the block; the reader keeps its slots across reboots, so a
// later run's request 0 delivers it.
#pragma once

#include "../../platform/legacy_bios.h" // the published protocol, not the board's sim/components/legacy_bios.h
#include "fingerprint_module_interface.h"
#include "password_hash.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sim {

class BootServices;
class UsbStack;

using RequestBlockBytes = std::array<uint8_t, module_interface::RequestBlockLength>;

struct ModuleRequestRecord {
  uint8_t Code = 0;
  // The block as the host handed it over and when the module returned, aligned as the block is
  // in memory so that the block layout can be laid over the bytes.
  alignas(8) RequestBlockBytes Sent{};
  alignas(8) RequestBlockBytes Reply{};
  uint16_t Answer = 0; // AX
  uint32_t WorkBuffer = 0;
  size_t Timeline = 0; // index of the request in the board's timeline
};

struct ModuleStoreRecord {
  uint16_t Slot = 0;       // the slot bit the block named
  PasswordForm Password{}; // the slot's 12 bytes in the block
  uint8_t StateByte = 0;   // block byte 0x05
  uint16_t Answer = 0;
  bool Stored = false; // answer 0: the reader keeps it now
};

class FingerprintModuleModel {
public:
  static constexpr uint16_t kNoMatch = 0x0001;        // request 0 without an accepted finger
  static constexpr uint16_t kUnknownRequest = 0x0002; // a code the module does not know

  // Usb: the stack whose data area the module reads the reader's state from.
  FingerprintModuleModel(BootServices &Owner, UsbStack &Usb);
  FingerprintModuleModel(const FingerprintModuleModel &) = delete;
  FingerprintModuleModel &operator=(const FingerprintModuleModel &) = delete;

  // A new boot: forgets the requests and the host state it tracked (echo byte, work buffers).
  // The reader's finger, slots and the configured answers stay.
  void Install();
  // A fresh copy of the host driver was loaded: its echo byte starts at 0 again.
  void DriverLoaded();

  // ---- the reader ----
  bool FingerEnrolled = false;
  bool FingerAccepted = true; // the finger put on the reader matches the enrolled one
  uint8_t StateByte = 0x01;
  uint8_t EchoByte = 0xA5;
  void EnrollFinger(uint8_t State = 0x01, uint8_t Echo = 0xA5);
  // Slots by their bit: 0x01 user, 0x02 administrator, 0x04/0x08/0x10 hard-disk 1/2/3.
  void SetSlot(uint16_t SlotBit, const PasswordForm &Password);
  void ClearSlot(uint16_t SlotBit);
  std::optional<PasswordForm> Slot(uint16_t SlotBit) const;
  uint16_t SlotMask() const;

  // ---- answers ----
  // The next Times calls with this code answer 0xFFFF (after answers queued before).
  void AnswerBusy(uint8_t Code, unsigned Times);
  void QueueAnswer(uint8_t Code, uint16_t Answer);
  // Once the queue of the code is empty: this answer instead of the module's own.
  void SetAnswer(uint8_t Code, uint16_t Answer);
  void ClearAnswers();
  // After a store (answer not busy) the module overwrites the block's state, mask and slots, so
  // a test can prove that the host puts the block back.
  bool ScribbleOnStore = false;
  // The word 0x06 of a request-0 reply: this mask instead of the mask of the slots held (the
  // slot fields still carry every held password), so a test can show whose mask the host uses.
  std::optional<uint16_t> ReplySlotMask;
  // The module uses the work buffer as scratch: a reply or a stored password leaves a copy of
  // the block there (the host must clear the work buffer before it frees it).
  bool ScratchInWorkBuffer = true;

  // ---- the image the host must have placed at 0x40000 ----
  void SetExpectedImage(std::vector<uint8_t> Image);
  void ForgetExpectedImage();
  bool ImageKnown() const { return ExpectedImageKnown; }
  const std::vector<uint8_t> &ExpectedImage() const { return Image; }

  // ---- what happened ----
  const std::vector<ModuleRequestRecord> &Requests() const { return RequestLog; }
  std::vector<uint8_t> RequestCodes() const;
  size_t CountOf(uint8_t Code) const;
  const std::vector<ModuleStoreRecord> &Stores() const { return StoreLog; }
  // The echo byte the host must send now (0 until a request 0 was answered 0).
  uint8_t ExpectedEcho() const { return HostEcho; }

  // FarCall86's hand-over: checks the contract, writes the answer into AX and hands back the
  // other registers as the module's code leaves them (flags, ES, CX, SI changed).
  void FarCall(uint16_t Segment, uint16_t Offset, EFI_IA32_REGISTER_SET *Regs, VOID *Stack,
               UINTN StackSize);

private:
  struct HostLoad {
    std::optional<uint8_t> DeliveredState; // state byte of an answered request 0 of this load
  };

  void Check(bool Condition, const std::string &Text);
  void CheckWindow();
  void CheckUsbCopy();
  void CheckBlockHeader(const module_interface::RequestBlockLayout &Block);
  bool CheckWorkBuffer(uint32_t Address);
  uint16_t NextAnswer(uint8_t Code);
  void Reply(module_interface::RequestBlockLayout &Block);
  void Store(module_interface::RequestBlockLayout &Block, uint16_t Answer);
  static int SlotIndex(uint16_t SlotBit);

  BootServices &Owner;
  UsbStack &Usb;
  std::array<std::optional<PasswordForm>, 5> Slots;
  std::map<uint8_t, std::deque<uint16_t>> Queued;
  std::map<uint8_t, uint16_t> Fixed;
  std::vector<uint8_t> Image;
  bool ExpectedImageKnown = false;
  uint8_t HostEcho = 0;
  std::map<uint32_t, HostLoad> Loads; // by work buffer address
  std::vector<ModuleRequestRecord> RequestLog;
  std::vector<ModuleStoreRecord> StoreLog;
};

} // namespace sim
