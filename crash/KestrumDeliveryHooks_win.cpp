#include "crash/KestrumDeliveryHooks_win.h"

#include <cstring>

const GUID IID_IProgressAlert = {0x45B8448C, 0x47B8, 0x4F1C, {0x88, 0x6E, 0x95, 0xED, 0x5F, 0xD4, 0x1E, 0x5F}};

namespace kestrum {

namespace {

DeliveryHooks g_hooks{.copyToClipboard = CopyTextToClipboard};

}  // namespace

void InstallDeliveryHooks(const DeliveryHooks& hooks) {
  g_hooks = hooks;
  if (!g_hooks.copyToClipboard) g_hooks.copyToClipboard = CopyTextToClipboard;
  // The settings sit below this folder and read the passwords themselves.
  SetPasswordDecoder(g_hooks.decodePassword);
}

const DeliveryHooks& DeliveryHooksInUse() { return g_hooks; }

bool CopyTextToClipboard(const std::string& text) {
  if (!OpenClipboard(nullptr)) return false;
  bool done = false;
  if (EmptyClipboard()) {
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, text.size() + 1);
    if (void* p = memory ? GlobalLock(memory) : nullptr) {
      std::memcpy(p, text.c_str(), text.size() + 1);
      GlobalUnlock(memory);
      done = SetClipboardData(CF_TEXT, memory) != nullptr;
    }
    if (!done && memory) GlobalFree(memory);
  }
  CloseClipboard();
  return done;
}

}  // namespace kestrum
