#include "report/KorbDisAsm_win.h"

#include <windows.h>

#include <vector>

#include "platform/GuardedRead_win.h"
#include "platform/Modules_win.h"

namespace report {

namespace {

constexpr DWORD kReadable =
    PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;

constexpr Addr kNeverMapped = 0x10000;

bool Query(Addr address, MEMORY_BASIC_INFORMATION& mbi) {
  return VirtualQuery(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)), &mbi, sizeof mbi) == sizeof mbi;
}

}  // namespace

ProcessCodeMemory::ProcessCodeMemory() {
  platform::InstallGuardedRead();
  ownBase_ = static_cast<Addr>(reinterpret_cast<std::uintptr_t>(platform::ModuleContaining(reinterpret_cast<const void*>(&Query))));
}

std::size_t ProcessCodeMemory::Read(Addr address, void* dest, std::size_t count) const {
  // Nothing is ever mapped there, and stacks are full of small numbers that the tracer probes as
  // return addresses: each probe would be a fault, tens of microseconds under Wine.
  if (address < kNeverMapped) return 0;
  return platform::GuardedRead(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)), dest, count);
}

bool ProcessCodeMemory::RegionAt(Addr address, Addr& begin, Addr& end) const {
  MEMORY_BASIC_INFORMATION mbi;
  if (!Query(address, mbi) || mbi.State != MEM_COMMIT || !(mbi.Protect & kReadable) || (mbi.Protect & PAGE_GUARD)) return false;
  begin = static_cast<Addr>(reinterpret_cast<std::uintptr_t>(mbi.BaseAddress));
  end = begin + static_cast<Addr>(mbi.RegionSize);
  return true;
}

bool ProcessCodeMemory::ModuleAt(Addr address, ModuleInfo& module) const {
  MEMORY_BASIC_INFORMATION mbi;
  if (!Query(address, mbi) || mbi.State != MEM_COMMIT || mbi.Type != MEM_IMAGE || !mbi.AllocationBase) return false;
  const Addr base = static_cast<Addr>(reinterpret_cast<std::uintptr_t>(mbi.AllocationBase));
  ModuleInfo m;
  if (!ModuleRangeFromHeaders(*this, base, m) || address >= m.imageEnd) return false;
  m.fileName = platform::ModuleFileName(static_cast<HMODULE>(mbi.AllocationBase));
  m.own = base == ownBase_;
  module = std::move(m);
  return true;
}

std::string ProcessCodeMemory::ExportName(Addr address) const {
  ModuleInfo m;
  if (!ModuleAt(address, m)) return std::string();
  const Addr base = m.base;
  auto u32 = [this](Addr a, bool& ok) {
    std::uint32_t v = 0;
    ok = ok && Read(a, &v, 4) == 4;
    return v;
  };
  bool ok = true;
  const Addr nt = base + u32(base + 0x3C, ok);
  const Addr directory = u32(nt + 24 + 96, ok);  // the first data directory entry of a PE32 header
  if (!ok || directory == 0) return std::string();
  const Addr exports = base + directory;
  const std::uint32_t functionCount = u32(exports + 20, ok);
  const std::uint32_t nameCount = u32(exports + 24, ok);
  const Addr functions = base + u32(exports + 28, ok);
  const Addr names = base + u32(exports + 32, ok);
  const Addr ordinals = base + u32(exports + 36, ok);
  if (!ok || functionCount > 0x10000 || nameCount > 0x10000) return std::string();
  const std::uint32_t rva = address - base;
  // The three tables in one read each: a guarded read per entry made this the costliest step of a
  // report's first trace, which asks for every function it finds in a library without debug
  // information (thousands of names in the system's libraries).
  std::vector<std::uint32_t> functionTable(functionCount), nameTable(nameCount);
  std::vector<std::uint16_t> ordinalTable(nameCount);
  if (functionCount != 0 && Read(functions, functionTable.data(), functionCount * 4) != functionCount * 4) return std::string();
  if (nameCount != 0 && (Read(names, nameTable.data(), nameCount * 4) != nameCount * 4 ||
                         Read(ordinals, ordinalTable.data(), nameCount * 2) != nameCount * 2))
    return std::string();
  for (std::uint32_t i = 0; i < nameCount; ++i) {
    const std::uint16_t ordinal = ordinalTable[i];
    if (ordinal >= functionCount || functionTable[ordinal] != rva) continue;
    char name[256];
    const std::size_t n = Read(base + nameTable[i], name, sizeof name - 1);
    name[n] = 0;
    return std::string(name);
  }
  return std::string();
}

std::string ProcessCodeMemory::SystemErrorText(std::uint32_t code) const {
  char text[512];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n')) --n;
  return n ? std::string(text, n) : CodeMemory::SystemErrorText(code);
}

}  // namespace report
