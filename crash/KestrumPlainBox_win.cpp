// The small look of Show: a message box with the exception's message, captioned with TitleBar and
// the exception's class. The box of a freeze report asks the main thread to answer to it and closes itself
// when the answer comes: the program is no longer frozen then.
#include "crash/KestrumPlainBox_win.h"

#include "crash/KestrumWatchdog_win.h"

namespace kestrum {

namespace {

const char kBoxProp[] = "KestrumPlainBox";

// One per thread that shows a box (the reporting thread, or a thread that handles its own request).
struct BoxState {
  HHOOK hook = nullptr;
  HWND box = nullptr;
  WNDPROC oldProc = nullptr;
  bool frozen = false;
};

DWORD g_boxSlot = TLS_OUT_OF_INDEXES;

LRESULT CALLBACK BoxProc(HWND w, UINT message, WPARAM wp, LPARAM lp) {
  auto* state = static_cast<BoxState*>(GetPropA(w, kBoxProp));
  if (!state) return DefWindowProcA(w, message, wp, lp);
  if (IsAnswerMessage(message, wp, lp)) {
    PostMessageA(w, WM_COMMAND, IDOK, 0);
    return 0;
  }
  if (message == WM_NCDESTROY) {
    RemovePropA(w, kBoxProp);
    SetWindowLongPtrA(w, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(state->oldProc));
  }
  return CallWindowProcA(state->oldProc, w, message, wp, lp);
}

LRESULT CALLBACK CbtProc(int code, WPARAM wp, LPARAM lp) {
  auto* state = g_boxSlot == TLS_OUT_OF_INDEXES ? nullptr : static_cast<BoxState*>(TlsGetValue(g_boxSlot));
  if (state && code == HCBT_ACTIVATE && !state->box) {
    state->box = reinterpret_cast<HWND>(wp);
    SetPropA(state->box, kBoxProp, state);
    state->oldProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(state->box, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(BoxProc)));
    if (state->frozen) AskMainThreadToAnswer(state->box);
  }
  return CallNextHookEx(state ? state->hook : nullptr, code, wp, lp);
}

}  // namespace

void ShowPlainBox(TIZQException* exception) {
  if (g_boxSlot == TLS_OUT_OF_INDEXES) g_boxSlot = TlsAlloc();
  const std::string caption = exception->ShowCaption();
  const std::string text = exception->ShowText();
  BoxState state;
  state.frozen = exception->GetExceptType() == etFrozen;
  if (g_boxSlot != TLS_OUT_OF_INDEXES) {
    TlsSetValue(g_boxSlot, &state);
    state.hook = SetWindowsHookExA(WH_CBT, CbtProc, nullptr, GetCurrentThreadId());
  }
  MessageBeep(MB_ICONHAND);
  MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR | MB_TASKMODAL | MB_SETFOREGROUND | MB_TOPMOST);
  if (state.hook) UnhookWindowsHookEx(state.hook);
  if (g_boxSlot != TLS_OUT_OF_INDEXES) TlsSetValue(g_boxSlot, nullptr);
}

}  // namespace kestrum
