// A program with the crash-report component and its delivery installed as the product has them,
// for the collector's end-to-end test: it starts, clicks its own button, and the button's handler
// fails in the function the command line names ("open" or "send"). The settings (compiled in)
// save the report quietly, upload it to 127.0.0.1 and close the program; the port comes from
// KESTRUM_TEST_UPLOAD_PORT, since the test's collector takes a free one.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "crash/KestrumHandling_win.h"
#include "crash/settings/KestrumSettings_win.h"
#include "delivery/KestrumBitmap_win.h"
#include "delivery/KestrumBugReportFile_win.h"
#include "delivery/KestrumDeliver_win.h"
#include "delivery/KestrumDelivery_win.h"
#include "platform/Application_win.h"
#include "platform/Exceptions.h"
#include "platform/Forms_win.h"

namespace {

using K = TControlKind;

const TFormDesc kCrashForm{
    .Name = "CollectorCrashForm",
    .Caption = "Collector Crash",
    .ClientWidth = 240,
    .ClientHeight = 80,
    .Controls = {{.Kind = K::Button, .Name = "btRun", .Left = 8, .Top = 8, .Width = 100, .Height = 25, .Caption = "Run",
                  .OnClick = "RunClick"}},
};

std::string g_case;

__attribute__((noinline)) void OpenDevice() { throw Exception("Das Ger\xE4t antwortet nicht."); }
__attribute__((noinline)) void SendReport() { throw Exception("<script>alert('sent')</script> \"quoted\"."); }

class TCrashForm : public TForm {
 public:
  TCrashForm() {
    Handler("RunClick", [](TObject*) {
      if (g_case == "send") {
        SendReport();
      } else {
        OpenDevice();
      }
    });
    Load(kCrashForm);
  }
};

// Clicks the button once the window is there, as a user would.
void CALLBACK ClickRun(HWND, UINT, UINT_PTR timer, DWORD) {
  // By the form's class: the application's own hidden window carries the same title.
  HWND form = FindWindowA("TCollectorCrashForm", nullptr);
  HWND button = form ? FindWindowExA(form, nullptr, nullptr, "Run") : nullptr;
  if (!button) return;
  KillTimer(nullptr, timer);
  PostMessageA(button, BM_CLICK, 0, 0);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
  g_case = commandLine ? commandLine : "";
  delivery::InstallDelivery();
  kestrum::InstallKestrum();
  if (const char* port = std::getenv("KESTRUM_TEST_UPLOAD_PORT")) {
    kestrum::IZQModuleSettings* settings = kestrum::SettingsForModule(GetModuleHandleA(nullptr));
    settings->SetHttpPort(static_cast<std::uint32_t>(std::strtoul(port, nullptr, 10)));
    settings->Release();
  }

  Application->Initialize();
  Application->Title = "Collector Crash";
  TCrashForm form;
  SetTimer(nullptr, 0, 200, ClickRun);
  Application->Run();
  return 0;
}
