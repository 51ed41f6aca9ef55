#pragma once
// Drives programs under test on the test display: starts them in this Wine prefix, finds their
// windows, reads their controls and works them with the real pointer and keyboard (xdotool on
// the X display that Wine draws on) or, for comparison, with window messages.
//
// Screen coordinates of Windows and of the X display coincide: the test session's Wine virtual
// desktop fills the Xvfb screen from 0,0.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/Handles_win.h"

namespace gui {

struct Control {
  HWND hwnd{};
  std::string className;
  int id = 0;
  std::string text;
  RECT rect{};  // screen coordinates
  bool enabled = false;
  bool visible = false;
};

// Folder of the running test program, with a trailing backslash; all binaries live there.
std::string ExeDir();

// A program under test. The destructor kills it if it still runs.
class Program {
 public:
  // extraEnv entries are "NAME=value"; they are added to, or replace, this process's environment.
  explicit Program(const std::string& exePath, const std::string& args = "",
                   const std::vector<std::string>& extraEnv = {});
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  DWORD pid() const { return pid_; }
  bool started() const { return process_.IsValid(); }
  bool waitExit(DWORD timeoutMs, DWORD* exitCode = nullptr);
  // A visible top-level window of this program with exactly this caption; null after the timeout.
  HWND waitWindow(const std::string& caption, DWORD timeoutMs = 10000);

 private:
  DWORD pid_ = 0;
  platform::ScopedKernelHandle process_;
  platform::ScopedKernelHandle thread_;
};

// A visible top-level window of any process with exactly this caption; null after the timeout.
HWND FindTopLevel(const std::string& caption, DWORD timeoutMs = 10000);
// A visible standard dialog (a message box) of the process, null when there is none now.
HWND DialogOf(DWORD pid);

std::vector<Control> Controls(HWND top);  // every descendant window
Control Describe(HWND w);
// className "" matches any class; the result's hwnd is null when nothing matches.
Control FindControl(HWND top, const std::string& className, const std::string& text);
Control ControlById(HWND top, int id);
std::string WindowText(HWND w);  // WM_GETTEXT, also across processes
// The text of a multi-line control, one entry per line (line breaks "\r\n" or "\n").
std::vector<std::string> TextLines(HWND w);

void ClickReal(HWND w);
// Clicks w with the real pointer, again each second, until reached() holds: on a busy machine a
// click can land before its window is ready to take it. False when it still does not hold after
// timeoutMs.
bool ClickUntil(HWND w, const std::function<bool()>& reached, DWORD timeoutMs = 10000);
void ClickMessage(HWND w);
void DragReal(POINT from, POINT to, int steps = 10);
void DragTrackBar(HWND trackBar, int toPosition);
void TypeText(HWND edit, const std::string& text);
void SetTextMessage(HWND w, const std::string& text);
void PressKeys(const std::string& keys);  // xdotool key names, blank separated
// Whether keys typed now reach w: its window is in front and w has its thread's focus.
bool HasKeyboardFocus(HWND w);
bool Screenshot(const std::string& pngPath);
// Time limits of the waiting functions here grow by KELVANE_TIME_SCALE (testing/TimeScale_win.h).
bool WaitUntil(const std::function<bool()>& cond, DWORD timeoutMs = 5000);

// Runs a command line of the X side (through /bin/sh) and returns its exit status, or -1 when
// it did not finish in time. Wine starts Unix programs but cannot wait for them, so the shell
// leaves its status in a marker file that is polled here.
int RunUnix(const std::string& shellCommand, DWORD timeoutMs = 15000);
// The Unix path of a Windows path (through Wine's own conversion).
std::string UnixPath(const std::string& windowsPath);

}  // namespace gui
