// GuiClick CAPTION BUTTON [TIMEOUT_MS]: clicks a button of a top-level window, for scripts such
// as the demo run. Exit code 0 when it clicked, 1 when the window or button was not found.
#include "testing/gui/GuiDriver_win.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: GuiClick CAPTION BUTTON [TIMEOUT_MS]\n");
    return 2;
  }
  const DWORD timeout = argc > 3 ? static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10)) : 10000;
  HWND top = gui::FindTopLevel(argv[1], timeout);
  if (!top) {
    std::fprintf(stderr, "GuiClick: no window \"%s\"\n", argv[1]);
    return 1;
  }
  gui::Control button = gui::FindControl(top, "Button", argv[2]);
  if (!button.hwnd) {
    std::fprintf(stderr, "GuiClick: no button \"%s\"\n", argv[2]);
    return 1;
  }
  gui::ClickMessage(button.hwnd);
  return 0;
}
