// An outside component's protocol on a handle of its own, which a test can take off the board
// (and put back) for this boot and the boots that follow.
#pragma once

#include "efi_types.h"

#include <string>

namespace sim {

class BootServices;

class OptionalProtocol {
public:
  OptionalProtocol(BootServices &Owner, std::string Label, const EFI_GUID &Guid, void *Interface)
      : Owner(Owner), Label(std::move(Label)), Guid(Guid), Interface(Interface) {}

  // The protocol is on the board in this boot already.
  bool Installed() const;
  // Puts it on a new handle when it is present (at power-on and after a reboot).
  void Publish();
  void SetPresent(bool Present);
  bool Present() const { return IsPresent; }

private:
  void Put();

  BootServices &Owner;
  std::string Label;
  EFI_GUID Guid;
  void *Interface;
  EFI_HANDLE Handle = nullptr;
  bool IsPresent = true;
};

} // namespace sim
