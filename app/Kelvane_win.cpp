// Program start and end.
#include <windows.h>

#include "app/uMain_win.h"
#include "crash/KestrumHandling_win.h"
#include "delivery/KestrumAssistant_win.h"
#include "delivery/KestrumBitmap_win.h"
#include "delivery/KestrumBugReportFile_win.h"
#include "delivery/KestrumDeliver_win.h"
#include "delivery/KestrumOutbox_win.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // The report's delivery: saving, sending and printing (the stored mail passwords are
  // deciphered when the settings load), the assistants and the screenshot.
  delivery::InstallBugReportFileSeam();
  delivery::InstallMailSeams();
  delivery::InstallAssistantSeam();
  delivery::InstallScreenShotSeam();
  // The crash-report component installs itself here, before the window framework starts.
  kestrum::InstallKestrum();
  // Deliveries that failed before (this run or an earlier one) go again once the window waits.
  delivery::StartOutboxSender();

  Application->Initialize();
  Application->Title = "Kelvane";
  {
    TFormMain form;
    FormMain = &form;
    Application->Run();
    // Closing the window has stopped the worker already; the form's end makes sure of it.
    FormMain = nullptr;
  }
  return 0;
}
