#include "platform/Application_win.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdlib>
#include <typeinfo>
#include <vector>

#include "platform/Exceptions.h"
#include "platform/Exceptions_win.h"
#include "platform/Forms_win.h"
#include "platform/Modules_win.h"
#include "platform/Thread_win.h"

namespace {
TApplication g_application;
std::vector<TForm*> g_forms;
}  // namespace

TApplication* Application = &g_application;

TApplication::TApplication() : uiThread_(GetCurrentThreadId()) {}

void TApplication::Initialize() {
  if (initialized_ && uiThread_ == GetCurrentThreadId()) return;
  initialized_ = true;
  uiThread_ = GetCurrentThreadId();
  InitUIThread();
  InstallFaultConversion();
  // Positions are given at 96 DPI and scaled here; without this the system would stretch the
  // finished bitmap and blur it. The manifest says the same for systems that read it.
  // Looked up: systems before NT 6.0 lack it.
  if (auto setAware = platform::ProcAddress<BOOL(WINAPI*)()>(L"user32.dll", "SetProcessDPIAware")) setAware();
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_BAR_CLASSES | ICC_WIN95_CLASSES};
  InitCommonControlsEx(&icc);
  HDC screen = GetDC(nullptr);
  dpi_ = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  if (dpi_ <= 0) dpi_ = 96;
  if (Title.empty()) Title = ProgramTitle();
}

void TApplication::RegisterForm(TForm* form) {
  if (std::find(g_forms.begin(), g_forms.end(), form) == g_forms.end()) g_forms.push_back(form);
  if (!mainForm_) mainForm_ = form;
}

void TApplication::UnregisterForm(TForm* form) {
  g_forms.erase(std::remove(g_forms.begin(), g_forms.end(), form), g_forms.end());
  if (mainForm_ == form) mainForm_ = nullptr;
}

bool TApplication::ProcessMessage(MSG& m) {
  if (m.message == WM_QUIT) {
    terminated_ = true;
    return true;
  }
  if (m.message >= WM_KEYFIRST && m.message <= WM_KEYLAST && m.hwnd) {
    HWND root = GetAncestor(m.hwnd, GA_ROOT);
    for (TForm* f : g_forms)
      if (f->Handle() == root) {
        if (IsDialogMessageA(root, &m)) return true;
        break;
      }
  }
  TranslateMessage(&m);
  DispatchMessageA(&m);
  return true;
}

void TApplication::Run() {
  Initialize();
  try {
    if (mainForm_) mainForm_->Show();
  } catch (...) {
    HandleException(this);
  }
  while (!terminated_) {
    try {
      MSG m;
      const BOOL r = GetMessageA(&m, nullptr, 0, 0);
      if (r == 0 || r == -1) {
        terminated_ = true;
        break;
      }
      ProcessMessage(m);
      CheckSynchronize();
    } catch (...) {
      HandleException(this);
    }
  }
}

void TApplication::ProcessMessages() {
  MSG m;
  while (!terminated_ && PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
    try {
      ProcessMessage(m);
    } catch (...) {
      HandleException(this);
    }
  }
  CheckSynchronize();
}

void TApplication::Terminate() {
  if (GetCurrentThreadId() == uiThread_)
    PostQuitMessage(0);
  else
    PostThreadMessageA(uiThread_, WM_QUIT, 0, 0);
}

void TApplication::HandleException(TObject* sender, std::exception_ptr e) {
  try {
    // A control that holds the mouse would otherwise keep it through the error box.
    if (HWND capture = GetCapture()) SendMessageA(capture, WM_CANCELMODE, 0, 0);
    if (ApplicationHandleExceptionHook) {
      ApplicationHandleExceptionHook(sender, e);
      return;
    }
    if (ExceptionInheritsFrom(e, "EAbort")) return;
    ShowException(e);
  } catch (...) {
    // Nothing may escape the handler of last resort of a window procedure.
  }
}

void TApplication::ShowException(std::exception_ptr e) {
  if (ApplicationShowExceptionHook) {
    ApplicationShowExceptionHook(e);
    return;
  }
  const std::string caption = Title.empty() ? ProgramTitle() : Title;
  MessageBoxA(GetActiveWindow(), ExceptionDisplayText(e).c_str(), caption.c_str(), MB_OK | MB_ICONSTOP);
}
