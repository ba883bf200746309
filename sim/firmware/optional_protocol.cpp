#include "optional_protocol.h"

#include "boot_services.h"

namespace sim {

bool OptionalProtocol::Installed() const {
  return Handle != nullptr && Owner.Protocol(Handle, Guid) == Interface;
}

void OptionalProtocol::Publish() {
  Handle = nullptr;
  if (IsPresent) {
    Put();
  }
}

void OptionalProtocol::SetPresent(bool Present) {
  if (Present == IsPresent) {
    return;
  }
  IsPresent = Present;
  if (Present) {
    Put();
  } else {
    Owner.UninstallEverywhere(Guid);
    Handle = nullptr;
  }
}

void OptionalProtocol::Put() {
  Handle = Owner.NewHandle(Label);
  Owner.Install(&Handle, Guid, Interface);
}

} // namespace sim
