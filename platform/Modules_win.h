#pragma once
// Modules: libraries loaded at run time with their entries bound from one table of names, typed
// look-ups of single entries, and the file names of loaded modules.
//
// A library that the program can do without is bound at run time from a table, all or nothing:
//
//   struct MapiEntries { decltype(&::MAPISendMail) pMAPISendMail; ... } g_mapi;
//   const EntrySlot kMapiSlots[] = {{"MAPISendMail", "MAPISendMail", SlotOf(g_mapi.pMAPISendMail)}, ...};
//   HMODULE mapi = LoadAndBind(L"mapi32.dll", kMapiSlots);  // null: not loaded, every slot null
//
// The slots take their types from the platform's declarations (decltype), so a call through a
// slot is checked like a direct call.

#include <windows.h>

#include <span>
#include <string>
#include <type_traits>

namespace platform {

// Loads a library by name without the system's "cannot find" box (as a service would) and takes
// a reference that FreeLibrary gives back; null when it cannot be loaded.
HMODULE LoadModule(const wchar_t* fileName);

// One entry of a binding table: the slot's own name, the export it is bound to (the same name,
// or the older entry a second slot shares) and the slot.
struct EntrySlot {
  const char* Name;
  const char* Export;
  void** Slot;
};

// The slot of a typed entry pointer, for a table.
template <class Fn>
void** SlotOf(Fn*& entry) {
  static_assert(std::is_function_v<Fn>, "a slot holds a function pointer");
  return reinterpret_cast<void**>(&entry);
}

// Binds every slot to its export of module. All or nothing: when module is null or lacks an
// export, every slot of the table is null afterwards and the result is false.
bool BindEntries(HMODULE module, std::span<const EntrySlot> slots);
// Sets every slot of the table to null.
void ClearEntries(std::span<const EntrySlot> slots);
// LoadModule, then BindEntries; when either fails the reference is given back again and the
// result is null.
HMODULE LoadAndBind(const wchar_t* fileName, std::span<const EntrySlot> slots);

// GetProcAddress with the entry's own type, for single entries that may be missing, e.g.
//   ProcAddress<decltype(&::CancelIo)>(kernel32, "CancelIo")
// Null when module is null or lacks the entry.
template <class Fn>
Fn ProcAddress(HMODULE module, const char* name) {
  static_assert(std::is_pointer_v<Fn> && std::is_function_v<std::remove_pointer_t<Fn>>, "Fn is a function pointer type");
  if (!module) return nullptr;
  // Through void*: a direct cast between unrelated function pointer types draws -Wcast-function-type.
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
// The same in a module that is already loaded (a system library), without taking a reference.
template <class Fn>
Fn ProcAddress(const wchar_t* loadedModule, const char* name) {
  return ProcAddress<Fn>(GetModuleHandleW(loadedModule), name);
}

// The full path of a loaded module (null: the program); "" when the module is not loaded.
std::string ModulePath(HMODULE module = nullptr);
// The same in UTF-16, for paths that the system code page cannot spell.
std::wstring ModulePathW(HMODULE module = nullptr);
// Its file name without the folder ("Kelvane.exe").
std::string ModuleFileName(HMODULE module = nullptr);
// Its folder with the closing separator ("C:\\Programs\\Kelvane\\").
std::string ModuleFolder(HMODULE module = nullptr);
// The loaded module that contains address, without taking a reference; null when none does.
HMODULE ModuleContaining(const void* address);

// The threads that hold the process's loader lock and environment lock, 0 for a free one. A thread
// that opens a window or loads a library while another holds them may wait for good.
struct ProcessLockOwners {
  DWORD loader;
  DWORD environment;
};
ProcessLockOwners CurrentProcessLockOwners();

}  // namespace platform
