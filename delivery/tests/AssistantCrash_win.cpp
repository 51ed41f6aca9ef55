// A program with the crash-report component and its assistants installed as the product does,
// for the assistant tests on the test display. Its one button throws; the component stores
// reports through the bug report file, and every send becomes a line of the file named by
// KESTRUM_TEST_RESULT, written from a send seam that stands in for the mail:
//
//   sent from=<the exception's mail sender> append=<1 when the screenshot goes along>
#include <windows.h>

#include "crash/KestrumException_win.h"
#include "crash/KestrumHandling_win.h"
#include "delivery/KestrumAssistant_win.h"
#include "delivery/KestrumBitmap_win.h"
#include "delivery/KestrumBugReportFile_win.h"
#include "delivery/KestrumDelivery_win.h"
#include "platform/Application_win.h"
#include "platform/Exceptions.h"
#include "platform/Forms_win.h"

#include <string>

namespace {

using K = TControlKind;

const TFormDesc kCrashForm{
    .Name = "CrashForm",
    .Caption = "Assistant Crash",
    .ClientWidth = 240,
    .ClientHeight = 80,
    .Controls = {{.Kind = K::Button, .Name = "btRun", .Left = 8, .Top = 8, .Width = 100, .Height = 25, .Caption = "Run",
                  .OnClick = "RunClick"}},
};

void WriteResult(const std::string& line) {
  char path[MAX_PATH];
  const DWORD n = GetEnvironmentVariableA("KESTRUM_TEST_RESULT", path, sizeof path);
  if (n == 0 || n >= sizeof path) return;
  HANDLE f = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  const std::string text = line + "\n";
  DWORD written = 0;
  WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(f);
}

void RecordSend(kestrum::IZQException* exception, HWND, bool) {
  WriteResult("sent from=" + exception->GetMailFrom() + " append=" + std::to_string(exception->GetAppendScreenShot()));
}

class TCrashForm : public TForm {
 public:
  TCrashForm() {
    Handler("RunClick", [](TObject*) { throw Exception("for the assistant"); });
    Load(kCrashForm);
  }
};

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  delivery::InstallDelivery();
  kestrum::DeliveryHooks hooks = kestrum::DeliveryHooksInUse();
  hooks.sendReport = RecordSend;
  kestrum::InstallDeliveryHooks(hooks);
  kestrum::InstallKestrum();

  Application->Initialize();
  Application->Title = "Assistant Crash";
  TCrashForm form;
  Application->Run();
  return 0;
}
