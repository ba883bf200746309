// The runtime services of the board's firmware: the EFI_RUNTIME_SERVICES table, whose variable
// services answer from the board's variable store. They keep working after the end of boot
// services. The board owns one.
#pragma once

#include "efi_system_table.h"
#include "variable_store.h"

#include <string>
#include <vector>

namespace sim {

class RuntimeServices {
public:
  // A call of a service the board does not offer goes to Problems. One instance at a time.
  RuntimeServices(VariableStore &Variables, std::vector<std::string> &Problems);
  ~RuntimeServices();
  RuntimeServices(const RuntimeServices &) = delete;
  RuntimeServices &operator=(const RuntimeServices &) = delete;

  EFI_RUNTIME_SERVICES Table{};
  void BuildTable();

  VariableStore &Variables;
  std::vector<std::string> &Problems;
};

} // namespace sim
