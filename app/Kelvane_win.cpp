// Program start and end.
#include <windows.h>

#include "app/uMain_win.h"
#include "crash/KestrumHandling_win.h"
#include "delivery/KestrumDeliver_win.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // Sending and printing reports, and the stored mail passwords, before the settings load.
  delivery::InstallMailSeams();
  // The crash-report component installs itself here, before the window framework starts.
  kestrum::InstallKestrum();

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
