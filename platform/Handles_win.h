#pragma once
// Owners of Win32 handles, and a critical section and a mutex with their guards.
//
// One owner type per kind of handle, because the kinds differ in the value that means "none"
// and in how they are released: a file handle (CreateFile, CreateNamedPipe, CreateMailslot) is
// invalid at INVALID_HANDLE_VALUE, while every other kernel handle (events, mutexes, threads,
// processes, file mappings) is invalid at null - and INVALID_HANDLE_VALUE is a real handle there,
// the current process. Mixing the two up either leaks or closes the wrong object.
//
// Every type here is one handle wide, header-only and never allocates, so that the crash path
// and the test doubles (which link no library of ours) can use them. They close in their
// destructor, so do not give one static storage on the crash path: a destructor run while the
// process exits would close what another thread still uses. Keep such handles in memory that
// is allocated at install time and never freed.

#include <windows.h>

namespace platform {

// The common owner; Traits gives the handle type, its invalid value and how it is released.
template <class Traits>
class ScopedHandle {
 public:
  using Handle = typename Traits::Handle;

  ScopedHandle() noexcept : handle_(Traits::Invalid()) {}
  explicit ScopedHandle(Handle handle) noexcept : handle_(handle) {}
  ~ScopedHandle() { Close(); }
  ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.Release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  Handle Get() const noexcept { return handle_; }
  bool IsValid() const noexcept { return handle_ != Traits::Invalid(); }
  explicit operator bool() const noexcept { return IsValid(); }

  // Gives up ownership without closing.
  Handle Release() noexcept {
    const Handle h = handle_;
    handle_ = Traits::Invalid();
    return h;
  }
  // Closes what it holds and takes handle instead.
  void Reset(Handle handle = Traits::Invalid()) noexcept {
    if (handle == handle_) return;
    Close();
    handle_ = handle;
  }

 private:
  void Close() noexcept {
    if (IsValid()) Traits::Close(handle_);
    handle_ = Traits::Invalid();
  }

  Handle handle_;
};

struct FileHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(Handle h) noexcept { CloseHandle(h); }
};

struct KernelHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { CloseHandle(h); }
};

struct ModuleTraits {
  using Handle = HMODULE;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { FreeLibrary(h); }
};

struct MenuTraits {
  using Handle = HMENU;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { DestroyMenu(h); }
};

using ScopedFileHandle = ScopedHandle<FileHandleTraits>;
using ScopedKernelHandle = ScopedHandle<KernelHandleTraits>;
// A module loaded with LoadLibrary; not for GetModuleHandle results, which hold no reference.
using ScopedModule = ScopedHandle<ModuleTraits>;
// A menu of our own making (CreatePopupMenu); not for a window's menu bar, which goes with the window.
using ScopedMenu = ScopedHandle<MenuTraits>;

static_assert(sizeof(ScopedFileHandle) == sizeof(HANDLE) && sizeof(ScopedModule) == sizeof(HMODULE));

// A critical section that lives as long as the object. Recursive, as the system's is.
class CriticalSection {
 public:
  CriticalSection() noexcept { InitializeCriticalSection(&section_); }
  ~CriticalSection() { DeleteCriticalSection(&section_); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter() noexcept { EnterCriticalSection(&section_); }
  bool TryEnter() noexcept { return TryEnterCriticalSection(&section_) != FALSE; }
  void Leave() noexcept { LeaveCriticalSection(&section_); }
  CRITICAL_SECTION& Native() noexcept { return section_; }

 private:
  CRITICAL_SECTION section_;
};

// Holds a critical section for the guard's scope. Also takes a bare CRITICAL_SECTION, for one
// that lives in memory shared with other modules and is set up by hand.
class AutoLock {
 public:
  explicit AutoLock(CriticalSection& section) noexcept : AutoLock(section.Native()) {}
  explicit AutoLock(CRITICAL_SECTION& section) noexcept : section_(&section) { EnterCriticalSection(section_); }
  ~AutoLock() { LeaveCriticalSection(section_); }
  AutoLock(const AutoLock&) = delete;
  AutoLock& operator=(const AutoLock&) = delete;

 private:
  CRITICAL_SECTION* section_;
};

// Owns a mutex for the guard's scope; a null handle (a mutex that could not be made) holds
// nothing. A mutex abandoned by a thread that ended while owning it counts as taken, as the
// system hands it over.
class MutexGuard {
 public:
  explicit MutexGuard(HANDLE mutex) noexcept : mutex_(mutex) {
    if (mutex_) WaitForSingleObject(mutex_, INFINITE);
  }
  ~MutexGuard() {
    if (mutex_) ReleaseMutex(mutex_);
  }
  MutexGuard(const MutexGuard&) = delete;
  MutexGuard& operator=(const MutexGuard&) = delete;

 private:
  HANDLE mutex_;
};

}  // namespace platform
