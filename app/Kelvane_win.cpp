// Program start and end.
#include <windows.h>

#include "app/uMain_win.h"
#include "crash/KestrumHandling_win.h"
#include "delivery/KestrumDelivery_win.h"
#include "delivery/KestrumOutbox_win.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // The report's delivery, the layer above the crash flow: saving, sending, printing, the
  // assistants, the screenshot, the please-wait window and the stored passwords' cipher.
  delivery::InstallDelivery();
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
