// Holding the program's threads while an exception is shown. Pausing is cooperative: the imports of
// GetMessageA/W and PeekMessageA/W run a check first, and a thread that is to be held waits there,
// at a point where it holds none of the program's locks. Held are the main thread and the threads
// that the program's own code created (their registry entry names a creation site in its image);
// the component's own threads, the reporting thread and the spared one go on.
#include "crash/KestrumPause_win.h"

#include "crash/KestrumStartup_win.h"

#include "crash/KestrumImportPatch_win.h"
#include "crash/KestrumInterception_win.h"
#include "platform/Handles_win.h"
#include "platform/Modules_win.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace kestrum {

namespace {

using GetMessageFn = decltype(&::GetMessageA);
using PeekMessageFn = decltype(&::PeekMessageA);

struct PauseState {
  platform::CriticalSection lock;
  // Manual reset, for the life of the process: a waiter never waits on a closed handle.
  platform::ScopedKernelHandle mainGo{CreateEventA(nullptr, TRUE, TRUE, nullptr)};
  platform::ScopedKernelHandle listedGo{CreateEventA(nullptr, TRUE, TRUE, nullptr)};
  volatile LONG pausing = 0;
  std::vector<DWORD> listed;
  // The thread that handles the exception: never held, and when it dies before it releases the
  // others (terminated, or ended by a fault that no guard caught), they go on by themselves.
  DWORD pauserId = 0;
  platform::ScopedKernelHandle pauser;
  GetMessageFn getMessageA = nullptr, getMessageW = nullptr;
  PeekMessageFn peekMessageA = nullptr, peekMessageW = nullptr;
};

PauseState* g_pause = nullptr;
volatile LONG g_hooked = 0;

void PauseCheck() {
  PauseState* p = g_pause;
  if (!p || p->pausing == 0) return;
  const DWORD lastError = GetLastError();
  const DWORD self = GetCurrentThreadId();
  HANDLE waits[2] = {};
  {
    platform::AutoLock lock(p->lock);
    if (p->pausing && self != p->pauserId) {
      if (self == ComponentMainThreadId())
        waits[0] = p->mainGo.Get();
      else if (std::find(p->listed.begin(), p->listed.end(), self) != p->listed.end())
        waits[0] = p->listedGo.Get();
      waits[1] = p->pauser.Get();
    }
  }
  if (waits[0]) {
    const DWORD w = waits[1] ? WaitForMultipleObjects(2, waits, FALSE, INFINITE) : WaitForSingleObject(waits[0], INFINITE);
    if (w == WAIT_OBJECT_0 + 1) ReleasePausedThreads();
  }
  SetLastError(lastError);
}

BOOL WINAPI GetMessageAHook(LPMSG m, HWND w, UINT from, UINT to) {
  PauseCheck();
  return g_pause->getMessageA(m, w, from, to);
}
BOOL WINAPI GetMessageWHook(LPMSG m, HWND w, UINT from, UINT to) {
  PauseCheck();
  return g_pause->getMessageW(m, w, from, to);
}
BOOL WINAPI PeekMessageAHook(LPMSG m, HWND w, UINT from, UINT to, UINT remove) {
  PauseCheck();
  return g_pause->peekMessageA(m, w, from, to, remove);
}
BOOL WINAPI PeekMessageWHook(LPMSG m, HWND w, UINT from, UINT to, UINT remove) {
  PauseCheck();
  return g_pause->peekMessageW(m, w, from, to, remove);
}

// The range of the image whose threads are held. Until the program carries its debug-information
// resource, that is the program's own image.
bool InHeldImage(const void* at) {
  static const auto* base = reinterpret_cast<const std::uint8_t*>(GetModuleHandleA(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
  const auto* p = static_cast<const std::uint8_t*>(at);
  return p >= base && p < base + nt->OptionalHeader.SizeOfImage;
}

// Wakes the main thread out of a GetMessage that it entered before the hooks saw it.
void WakeMainThread() { PostThreadMessageA(ComponentMainThreadId(), WM_NULL, 0, 0); }

}  // namespace

bool InstallPauseHooks() {
  if (!g_pause) g_pause = new PauseState;
  if (InterlockedExchange(&g_hooked, 1) != 0) return true;
  PauseState& p = *g_pause;
  // The originals first: a redirected slot may be called at once.
  p.getMessageA = platform::ProcAddress<GetMessageFn>(L"user32.dll", "GetMessageA");
  p.getMessageW = platform::ProcAddress<GetMessageFn>(L"user32.dll", "GetMessageW");
  p.peekMessageA = platform::ProcAddress<PeekMessageFn>(L"user32.dll", "PeekMessageA");
  p.peekMessageW = platform::ProcAddress<PeekMessageFn>(L"user32.dll", "PeekMessageW");
  if (!p.getMessageA || !p.getMessageW || !p.peekMessageA || !p.peekMessageW) return false;
  bool all = RedirectImport(L"user32.dll", "GetMessageA", reinterpret_cast<void*>(&GetMessageAHook)) != nullptr;
  all = RedirectImport(L"user32.dll", "GetMessageW", reinterpret_cast<void*>(&GetMessageWHook)) != nullptr && all;
  all = RedirectImport(L"user32.dll", "PeekMessageA", reinterpret_cast<void*>(&PeekMessageAHook)) != nullptr && all;
  all = RedirectImport(L"user32.dll", "PeekMessageW", reinterpret_cast<void*>(&PeekMessageWHook)) != nullptr && all;
  return all;
}

void PauseThreads(DWORD spared) {
  if (!InstallPauseHooks()) return;
  PauseState& p = *g_pause;
  std::vector<DWORD> ids;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot != INVALID_HANDLE_VALUE) {
    THREADENTRY32 t{};
    t.dwSize = sizeof t;
    for (BOOL more = Thread32First(snapshot, &t); more; more = Thread32Next(snapshot, &t)) {
      if (t.th32OwnerProcessID == GetCurrentProcessId()) ids.push_back(t.th32ThreadID);
    }
    CloseHandle(snapshot);
  }
  std::vector<DWORD> listed;
  const DWORD self = GetCurrentThreadId(), main = ComponentMainThreadId();
  for (DWORD id : ids) {
    if (id == self || id == main || id == spared) continue;
    const void* creator = nullptr;
    // Empty for the component's own threads, which go on.
    if (ThreadDisplayName(id, false, &creator).empty() || !creator || !InHeldImage(creator)) continue;
    listed.push_back(id);
  }
  {
    platform::AutoLock lock(p.lock);
    p.listed = std::move(listed);
    p.pauserId = self;
    HANDLE pauser = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &pauser, SYNCHRONIZE, FALSE, 0);
    p.pauser.Reset(pauser);
    ResetEvent(p.mainGo.Get());
    ResetEvent(p.listedGo.Get());
    InterlockedExchange(&p.pausing, 1);
  }
  WakeMainThread();
}

void ReleasePausedThreads() {
  if (!g_pause) return;
  PauseState& p = *g_pause;
  {
    platform::AutoLock lock(p.lock);
    if (p.pausing == 0) return;
    InterlockedExchange(&p.pausing, 0);
    p.listed.clear();
    SetEvent(p.mainGo.Get());
    SetEvent(p.listedGo.Get());
  }
  WakeMainThread();
}

}  // namespace kestrum
