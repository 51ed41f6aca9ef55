// Redirected import address table slots: the log of every slot written, so that the end puts
// back exactly what was there, and the walk over the loader's module list.
#include "crash/KestrumImportPatch_win.h"

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cwchar>

#include "crash/KestrumImports.h"
#include "platform/Handles_win.h"
#include "platform/Modules_win.h"
#include "platform/Trace_win.h"

namespace kestrum {

namespace {

// One redirected import slot. The module is named by base and path so that shutdown writes only
// into a module that is still the one that was patched.
struct PatchEntry {
  DWORD* slot;
  DWORD oldValue;
  DWORD newValue;
  HMODULE module;
  wchar_t modulePath[MAX_PATH];
};

// Made at install time and never freed: a thread in a wrapper or a late library load may still
// read it.
struct PatchState {
  platform::CriticalSection lock;
  PatchEntry* log = nullptr;
  std::size_t logCount = 0, logCapacity = 0;
  // The interception's thread and library hooks, then those added later (RedirectImport).
  ImportRedirect redirects[12]{};
  std::size_t redirectCount = 0;
};

PatchState* g_patch = nullptr;

bool AppendToLog(const PatchEntry& entry) {
  PatchState& s = *g_patch;
  if (s.logCount == s.logCapacity) {
    const std::size_t capacity = s.logCapacity ? s.logCapacity * 2 : 64;
    void* grown = s.log ? HeapReAlloc(GetProcessHeap(), 0, s.log, capacity * sizeof(PatchEntry))
                        : HeapAlloc(GetProcessHeap(), 0, capacity * sizeof(PatchEntry));
    if (!grown) return false;
    s.log = static_cast<PatchEntry*>(grown);
    s.logCapacity = capacity;
  }
  s.log[s.logCount++] = entry;
  return true;
}

bool WriteSlot(DWORD* slot, DWORD value) {
  // A table that shares its page with code keeps the page executable meanwhile: another thread
  // may be running there.
  MEMORY_BASIC_INFORMATION mbi{};
  if (VirtualQuery(slot, &mbi, sizeof mbi) != sizeof mbi) return false;
  const DWORD executable = PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  DWORD protection = 0;
  if (!VirtualProtect(slot, sizeof(DWORD), (mbi.Protect & executable) ? PAGE_EXECUTE_READWRITE : PAGE_READWRITE, &protection))
    return false;
  InterlockedExchange(reinterpret_cast<volatile LONG*>(slot), static_cast<LONG>(value));
  DWORD ignored;
  VirtualProtect(slot, sizeof(DWORD), protection, &ignored);
  return true;
}

std::size_t ImageSize(HMODULE module) {
  const auto* base = reinterpret_cast<const BYTE*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return 0;
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
  return nt->Signature == IMAGE_NT_SIGNATURE ? nt->OptionalHeader.SizeOfImage : 0;
}

// Call with the patch lock held.
void PatchModule(HMODULE module, const wchar_t* path, const char* fileName) {
  PatchState& s = *g_patch;
  if (IsSystemCoreLibrary(fileName)) return;
  const std::size_t size = ImageSize(module);
  if (size == 0) return;
  const auto* base = reinterpret_cast<const std::uint8_t*>(module);
  const auto tableSlots = ImportSlots({base, size});
  if (!tableSlots) {
    platform::Trace("kestrum: the import table of %s lies outside its image; its threads are not wrapped", fileName);
    return;
  }
  for (const ImportSlot& slot : *tableSlots) {
    auto* address = reinterpret_cast<DWORD*>(reinterpret_cast<std::uintptr_t>(module) + slot.slotRva);
    const DWORD value = *address;
    for (std::size_t i = 0; i < s.redirectCount; ++i) {
      const ImportRedirect& r = s.redirects[i];
      if (value != reinterpret_cast<DWORD>(r.original[0]) && value != reinterpret_cast<DWORD>(r.original[1])) continue;
      PatchEntry entry{address, value, reinterpret_cast<DWORD>(r.replacement), module, {}};
      lstrcpynW(entry.modulePath, path, MAX_PATH);
      if (AppendToLog(entry) && !WriteSlot(address, entry.newValue)) --s.logCount;
      break;
    }
  }
}

// A slot is put back only while its module is still loaded at the base it had, under the path it
// had, and the slot still holds what we wrote: an unloaded module's address may belong to
// something else by now.
bool StillOurs(const PatchEntry& entry) {
  HMODULE at = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(entry.slot), &at) ||
      at != entry.module)
    return false;
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(at, path, MAX_PATH);
  return n > 0 && lstrcmpiW(path, entry.modulePath) == 0 && *entry.slot == entry.newValue;
}

}  // namespace

void BeginImportPatching() {
  if (!g_patch) {
    g_patch = new PatchState;
    return;
  }
  platform::AutoLock lock(g_patch->lock);
  g_patch->redirectCount = 0;
}

bool AddImportRedirect(const ImportRedirect& redirect) {
  if (!g_patch || !redirect.replacement) return false;
  platform::AutoLock lock(g_patch->lock);
  if (g_patch->redirectCount == std::size(g_patch->redirects)) return false;
  g_patch->redirects[g_patch->redirectCount++] = redirect;
  return true;
}

// The loader's own list, walked under its lock: a snapshot through the system's tool-help
// functions costs milliseconds at every start and every library load.
void PatchLoadedModules() {
  if (!g_patch) return;
  using LockFn = LONG(NTAPI*)(ULONG, ULONG*, ULONG_PTR*);
  using UnlockFn = LONG(NTAPI*)(ULONG, ULONG_PTR);
  static const auto lockLoader = platform::ProcAddress<LockFn>(L"ntdll.dll", "LdrLockLoaderLock");
  static const auto unlockLoader = platform::ProcAddress<UnlockFn>(L"ntdll.dll", "LdrUnlockLoaderLock");
  if (!lockLoader || !unlockLoader) return;
  platform::AutoLock lock(g_patch->lock);
  ULONG_PTR cookie = 0;
  if (lockLoader(0, nullptr, &cookie) < 0) return;
  const PEB_LDR_DATA* loader = NtCurrentTeb()->ProcessEnvironmentBlock->Ldr;
  const LIST_ENTRY* head = &loader->InMemoryOrderModuleList;
  for (const LIST_ENTRY* link = head->Flink; link != head; link = link->Flink) {
    const auto* entry = CONTAINING_RECORD(link, LDR_DATA_TABLE_ENTRY, InMemoryOrderLinks);
    if (!entry->DllBase || !entry->FullDllName.Buffer) continue;
    wchar_t path[MAX_PATH];
    lstrcpynW(path, entry->FullDllName.Buffer, std::min<int>(MAX_PATH, entry->FullDllName.Length / sizeof(wchar_t) + 1));
    const wchar_t* slash = std::max(wcsrchr(path, L'\\'), wcsrchr(path, L'/'));
    char fileName[MAX_PATH];
    WideCharToMultiByte(CP_ACP, 0, slash ? slash + 1 : path, -1, fileName, MAX_PATH, nullptr, nullptr);
    PatchModule(static_cast<HMODULE>(entry->DllBase), path, fileName);
  }
  unlockLoader(0, cookie);
}

void RestoreImports() {
  PatchState& s = *g_patch;
  platform::AutoLock lock(s.lock);
  for (std::size_t i = s.logCount; i-- > 0;) {
    const PatchEntry& entry = s.log[i];
    if (StillOurs(entry)) WriteSlot(entry.slot, entry.oldValue);
  }
  s.logCount = 0;
}

void* RedirectImport(const wchar_t* library, const char* name, void* replacement) {
  if (!g_patch) return nullptr;
  PatchState& s = *g_patch;
  void* original = reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(library), name));
  if (!original) return nullptr;
  {
    platform::AutoLock lock(s.lock);
    for (std::size_t i = 0; i < s.redirectCount; ++i) {
      if (s.redirects[i].original[0] == original) return s.redirects[i].replacement == replacement ? original : nullptr;
    }
    if (s.redirectCount == std::size(s.redirects)) return nullptr;
    s.redirects[s.redirectCount++] = ImportRedirect{name, {original, nullptr}, replacement};
  }
  PatchLoadedModules();
  return original;
}

std::size_t PatchedSlotCount() {
  if (!g_patch) return 0;
  platform::AutoLock lock(g_patch->lock);
  return g_patch->logCount;
}

}  // namespace kestrum
