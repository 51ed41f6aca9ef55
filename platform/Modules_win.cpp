#include "platform/Modules_win.h"

#include <cstring>

namespace platform {

HMODULE LoadModule(const wchar_t* fileName) {
  const UINT oldMode = SetErrorMode(SEM_NOOPENFILEERRORBOX);
  const HMODULE module = LoadLibraryW(fileName);
  SetErrorMode(oldMode);
  return module;
}

bool BindEntries(HMODULE module, std::span<const EntrySlot> slots) {
  bool allFound = module != nullptr;
  for (const EntrySlot& s : slots) {
    *s.Slot = module ? reinterpret_cast<void*>(GetProcAddress(module, s.Export)) : nullptr;
    if (!*s.Slot) allFound = false;
  }
  if (!allFound) ClearEntries(slots);
  return allFound;
}

void ClearEntries(std::span<const EntrySlot> slots) {
  for (const EntrySlot& s : slots) *s.Slot = nullptr;
}

HMODULE LoadAndBind(const wchar_t* fileName, std::span<const EntrySlot> slots) {
  const HMODULE module = LoadModule(fileName);
  if (!BindEntries(module, slots)) {
    if (module) FreeLibrary(module);
    return nullptr;
  }
  return module;
}

namespace {

// Paths may exceed MAX_PATH; the result is cut (and not terminated on older systems) when the
// buffer is too short, so it grows until the path fits.
template <class String, class GetName>
String GrownModulePath(HMODULE module, GetName getName) {
  String path(MAX_PATH, 0);
  for (;;) {
    const DWORD n = getName(module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
}

}  // namespace

std::string ModulePath(HMODULE module) { return GrownModulePath<std::string>(module, GetModuleFileNameA); }

std::wstring ModulePathW(HMODULE module) { return GrownModulePath<std::wstring>(module, GetModuleFileNameW); }

std::string ModuleFileName(HMODULE module) {
  const std::string path = ModulePath(module);
  return path.substr(path.find_last_of("\\/") + 1);
}

std::string ModuleFolder(HMODULE module) {
  const std::string path = ModulePath(module);
  return path.substr(0, path.find_last_of("\\/") + 1);
}

HMODULE ModuleContaining(const void* address) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCSTR>(address), &module))
    return nullptr;
  return module;
}

ProcessLockOwners CurrentProcessLockOwners() {
  // Both locks are named by the process block: the environment lock at 0x1C, the loader lock at 0xA0.
  const BYTE* peb;
  asm("movl %%fs:0x30, %0" : "=r"(peb));
  const auto owner = [peb](std::size_t offset) -> DWORD {
    const RTL_CRITICAL_SECTION* lock;
    std::memcpy(&lock, peb + offset, sizeof lock);
    return lock ? static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(lock->OwningThread)) : 0;
  };
  return {owner(0xA0), owner(0x1C)};
}

}  // namespace platform
