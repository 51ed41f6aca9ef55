// A program with the component and its delivery installed as the product has them, whose report
// takes as long as the test wants: its one section of its own ("SlowSection") waits for the
// named event that KESTRUM_TEST_RELEASE names, and first creates the file KESTRUM_TEST_ENTERED.
// It clicks its own button, whose handler fails; the settings (compiled in) show no box, save the
// report and close the program, so the report is waited for at the end, under the please-wait
// window when the settings show one.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "crash/KestrumHandling_win.h"
#include "delivery/KestrumDelivery_win.h"
#include "platform/Application_win.h"
#include "platform/Exceptions.h"
#include "platform/Forms_win.h"
#include "report/KestrumSystemLists.h"

namespace {

using K = TControlKind;

const TFormDesc kCrashForm{
    .Name = "PleaseWaitCrashForm",
    .Caption = "Please Wait Crash",
    .ClientWidth = 240,
    .ClientHeight = 80,
    .Controls = {{.Kind = K::Button, .Name = "btRun", .Left = 8, .Top = 8, .Width = 100, .Height = 25, .Caption = "Run",
                  .OnClick = "RunClick"}},
};

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string SlowSection() {
  const std::string entered = Env("KESTRUM_TEST_ENTERED");
  if (!entered.empty()) CloseHandle(CreateFileA(entered.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, Env("KESTRUM_TEST_RELEASE").c_str());
  const DWORD waited = release ? WaitForSingleObject(release, 120000) : WAIT_FAILED;
  if (release) CloseHandle(release);
  return waited == WAIT_OBJECT_0 ? "released" : "not released";
}

class TCrashForm : public TForm {
 public:
  TCrashForm() {
    Handler("RunClick", [](TObject*) { throw Exception("A slow report."); });
    Load(kCrashForm);
  }
};

void CALLBACK ClickRun(HWND, UINT, UINT_PTR timer, DWORD) {
  // By the form's class: the application's own hidden window carries the same title.
  HWND form = FindWindowA("TPleaseWaitCrashForm", nullptr);
  HWND button = form ? FindWindowExA(form, nullptr, nullptr, "Run") : nullptr;
  if (!button) return;
  KillTimer(nullptr, timer);
  PostMessageA(button, BM_CLICK, 0, 0);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  delivery::InstallDelivery();
  AddReportPlugin("SlowSection", "waits for the test", SlowSection, true);
  kestrum::InstallKestrum();
  Application->Initialize();
  Application->Title = "Please Wait Crash";
  TCrashForm form;
  SetTimer(nullptr, 0, 200, ClickRun);
  Application->Run();
  return 0;
}
