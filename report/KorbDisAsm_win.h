#pragma once
// The analyser's view of the running process: code is read directly under the platform's read
// guard, modules and regions come from the system's memory queries.

#include "report/KorbDisAsm.h"

namespace report {

class ProcessCodeMemory : public CodeMemory {
 public:
  // Installs the read guard (a no-op when start-up did so already).
  ProcessCodeMemory();

  std::size_t Read(Addr address, void* dest, std::size_t count) const override;
  bool ModuleAt(Addr address, ModuleInfo& module) const override;
  bool RegionAt(Addr address, Addr& begin, Addr& end) const override;
  std::string ExportName(Addr address) const override;
  std::string SystemErrorText(std::uint32_t code) const override;

 private:
  Addr ownBase_ = 0;
};

}  // namespace report
