#include "testing/gui/GuiDriver_win.h"

#include <commctrl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

#include "platform/Handles_win.h"
#include "platform/Modules_win.h"
#include "platform/Wine_win.h"
#include "testing/TimeScale_win.h"

namespace gui {
namespace {

// One Windows command-line argument, quoted so that the usual argv rules give it back unchanged.
std::string QuoteArg(const std::string& s) {
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : s) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') backslashes = backslashes * 2 + 1;
    out.append(backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

std::string ShellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

POINT Centre(const RECT& r) { return {(r.left + r.right) / 2, (r.top + r.bottom) / 2}; }

std::string Xdo(const std::string& args) { return "xdotool " + args; }

bool Xdotool(const std::string& args) { return RunUnix(Xdo(args)) == 0; }

// Asks a window of another process for a RECT through memory of that process: the common
// controls' rectangle messages carry a pointer that is not marshalled between processes.
RECT RemoteRect(HWND w, UINT msg) {
  RECT r{};
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  const platform::ScopedKernelHandle proc(OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid));
  if (!proc) return r;
  void* remote = VirtualAllocEx(proc.Get(), nullptr, sizeof r, MEM_COMMIT, PAGE_READWRITE);
  if (remote) {
    SendMessageA(w, msg, 0, reinterpret_cast<LPARAM>(remote));
    ReadProcessMemory(proc.Get(), remote, &r, sizeof r, nullptr);
    VirtualFreeEx(proc.Get(), remote, 0, MEM_RELEASE);
  }
  return r;
}

// A visible top-level window of the process (pid 0: any) with the caption and of the class given
// (null: any).
struct WindowSearch {
  DWORD pid;
  const std::string* caption;
  HWND found;
  const char* className = nullptr;
};

BOOL CALLBACK MatchTopLevel(HWND w, LPARAM lp) {
  auto* s = reinterpret_cast<WindowSearch*>(lp);
  DWORD owner = 0;
  GetWindowThreadProcessId(w, &owner);
  char cls[64] = {};
  if (s->className) GetClassNameA(w, cls, sizeof cls);
  if ((s->pid == 0 || owner == s->pid) && IsWindowVisible(w) && (!s->caption || WindowText(w) == *s->caption) &&
      (!s->className || std::string(cls) == s->className)) {
    s->found = w;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK CollectChild(HWND w, LPARAM lp) {
  reinterpret_cast<std::vector<Control>*>(lp)->push_back(Describe(w));
  return TRUE;
}

// pid 0: any process.
HWND WaitTopLevel(DWORD pid, const std::string& caption, DWORD timeoutMs) {
  WindowSearch s{pid, &caption, nullptr};
  WaitUntil(
      [&] {
        EnumWindows(MatchTopLevel, reinterpret_cast<LPARAM>(&s));
        return s.found != nullptr;
      },
      timeoutMs);
  return s.found;
}

POINT ClientToScreenPoint(HWND w, POINT p) {
  ClientToScreen(w, &p);
  return p;
}

// Whether the thread that owns the window holds the mouse capture: a track bar takes it when
// the press on its thumb has been handled and gives it back with the release.
bool HoldsCapture(HWND w) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  return GetGUIThreadInfo(GetWindowThreadProcessId(w, nullptr), &info) && info.hwndCapture == w;
}

}  // namespace

std::string ExeDir() { return platform::ModuleFolder(nullptr); }

std::string UnixPath(const std::string& windowsPath) {
  if (!windowsPath.empty() && windowsPath[0] == '/') return windowsPath;
  char full[MAX_PATH];
  GetFullPathNameA(windowsPath.c_str(), MAX_PATH, full, nullptr);
  wchar_t wide[MAX_PATH];
  MultiByteToWideChar(CP_ACP, 0, full, -1, wide, MAX_PATH);
  const std::string unix = platform::UnixPathOf(wide);
  return unix.empty() ? full : unix;
}

int RunUnix(const std::string& shellCommand, DWORD timeoutMs) {
  static LONG counter = 0;
  char marker[MAX_PATH];
  std::snprintf(marker, sizeof marker, "/tmp/kelvane-gui-%lu-%ld.status", GetCurrentProcessId(),
                InterlockedIncrement(&counter));
  std::string winMarker = std::string("Z:") + marker;
  std::replace(winMarker.begin(), winMarker.end(), '/', '\\');
  DeleteFileA(winMarker.c_str());

  // The status goes to a temporary name first so that a half-written marker is never read.
  std::string script = "( " + shellCommand + " ) >/dev/null 2>&1; echo $? > " + marker + ".tmp; mv " +
                       marker + ".tmp " + marker;
  std::string cmdline = "/bin/sh -c " + QuoteArg(script);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::vector<char> buf(cmdline.begin(), cmdline.end());
  buf.push_back('\0');
  if (!CreateProcessA(nullptr, buf.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
  // A Unix program started this way gets no Windows process, and the system leaves whatever it
  // likes in pi: closing those "handles" closed other handles of this process (once the handle
  // of the user's registry key, which then failed every registry call). Only the marker file
  // tells the end; pi is not touched.

  int status = -1;
  WaitUntil(
      [&] {
        FILE* f = std::fopen(winMarker.c_str(), "r");
        if (!f) return false;
        if (std::fscanf(f, "%d", &status) != 1) status = -1;
        std::fclose(f);
        return true;
      },
      timeoutMs);
  DeleteFileA(winMarker.c_str());
  return status;
}

bool WaitUntil(const std::function<bool()>& cond, DWORD timeoutMs) {
  timeoutMs = testsupport::Scaled(timeoutMs);
  DWORD start = GetTickCount();
  for (;;) {
    if (cond()) return true;
    if (GetTickCount() - start >= timeoutMs) return cond();
    Sleep(10);
  }
}

// ---------------------------------------------------------------------------------------------

Program::Program(const std::string& exePath, const std::string& args, const std::vector<std::string>& extraEnv) {
  std::map<std::string, std::string> env;  // case-insensitive keys are not needed for our names
  if (LPCH block = GetEnvironmentStringsA()) {
    for (const char* p = block; *p; p += std::strlen(p) + 1) {
      std::string entry(p);
      size_t eq = entry.find('=', 1);
      if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    FreeEnvironmentStringsA(block);
  }
  for (const std::string& e : extraEnv) {
    size_t eq = e.find('=');
    if (eq != std::string::npos) env[e.substr(0, eq)] = e.substr(eq + 1);
  }
  std::string block;
  for (const auto& [k, v] : env) block += k + "=" + v + '\0';
  block += '\0';

  std::string cmdline = QuoteArg(exePath) + (args.empty() ? "" : " " + args);
  std::vector<char> buf(cmdline.begin(), cmdline.end());
  buf.push_back('\0');
  std::string dir = exePath.substr(0, exePath.find_last_of("\\/") + 1);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(exePath.c_str(), buf.data(), nullptr, nullptr, FALSE, 0, block.data(),
                      dir.empty() ? nullptr : dir.c_str(), &si, &pi))
    return;
  pid_ = pi.dwProcessId;
  process_.Reset(pi.hProcess);
  thread_.Reset(pi.hThread);
}

Program::~Program() {
  if (!process_) return;
  if (WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT) {
    TerminateProcess(process_.Get(), 255);
    WaitForSingleObject(process_.Get(), 5000);
  }
}

bool Program::waitExit(DWORD timeoutMs, DWORD* exitCode) {
  if (!process_ || WaitForSingleObject(process_.Get(), testsupport::Scaled(timeoutMs)) != WAIT_OBJECT_0) return false;
  if (exitCode) GetExitCodeProcess(process_.Get(), exitCode);
  return true;
}

HWND Program::waitWindow(const std::string& caption, DWORD timeoutMs) {
  return process_ ? WaitTopLevel(pid(), caption, timeoutMs) : nullptr;
}

HWND FindTopLevel(const std::string& caption, DWORD timeoutMs) { return WaitTopLevel(0, caption, timeoutMs); }

HWND DialogOf(DWORD pid) {
  WindowSearch s{pid, nullptr, nullptr, "#32770"};
  EnumWindows(MatchTopLevel, reinterpret_cast<LPARAM>(&s));
  return s.found;
}

// ---------------------------------------------------------------------------------------------

std::string WindowText(HWND w) {
  LRESULT n = SendMessageA(w, WM_GETTEXTLENGTH, 0, 0);
  std::string s(static_cast<size_t>(n) + 1, '\0');
  n = SendMessageA(w, WM_GETTEXT, s.size(), reinterpret_cast<LPARAM>(s.data()));
  s.resize(static_cast<size_t>(n));
  return s;
}

std::vector<std::string> TextLines(HWND w) {
  std::vector<std::string> out;
  std::string line;
  std::istringstream in(WindowText(w));
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out.push_back(line);
  }
  return out;
}

Control Describe(HWND w) {
  Control c;
  c.hwnd = w;
  char cls[256] = {};
  GetClassNameA(w, cls, sizeof cls);
  c.className = cls;
  c.id = GetDlgCtrlID(w);
  c.text = WindowText(w);
  GetWindowRect(w, &c.rect);
  c.enabled = IsWindowEnabled(w) != FALSE;
  c.visible = IsWindowVisible(w) != FALSE;
  return c;
}

std::vector<Control> Controls(HWND top) {
  std::vector<Control> out;
  EnumChildWindows(top, CollectChild, reinterpret_cast<LPARAM>(&out));
  return out;
}

Control FindControl(HWND top, const std::string& className, const std::string& text) {
  for (Control& c : Controls(top))
    if ((className.empty() || lstrcmpiA(c.className.c_str(), className.c_str()) == 0) && c.text == text) return c;
  return {};
}

Control ControlById(HWND top, int id) {
  for (Control& c : Controls(top))
    if (c.id == id) return c;
  return {};
}

// ---------------------------------------------------------------------------------------------

void ClickReal(HWND w) {
  RECT r;
  GetWindowRect(w, &r);
  POINT p = Centre(r);
  Xdotool("mousemove " + std::to_string(p.x) + " " + std::to_string(p.y) + " sleep 0.05 click 1");
}

bool ClickUntil(HWND w, const std::function<bool()>& reached, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  do {
    ClickReal(w);
    if (WaitUntil(reached, 1000)) return true;
  } while (GetTickCount() - start < timeoutMs);
  return false;
}

void ClickMessage(HWND w) { SendMessageA(w, BM_CLICK, 0, 0); }

void DragReal(POINT from, POINT to, int steps) {
  std::string args = "mousemove " + std::to_string(from.x) + " " + std::to_string(from.y) + " sleep 0.05 mousedown 1";
  steps = std::max(steps, 1);
  for (int i = 1; i <= steps; ++i) {
    long x = from.x + (to.x - from.x) * i / steps;
    long y = from.y + (to.y - from.y) * i / steps;
    args += " sleep 0.03 mousemove " + std::to_string(x) + " " + std::to_string(y);
  }
  args += " sleep 0.03 mouseup 1";
  Xdotool(args);
}

void DragTrackBar(HWND tb, int toPosition) {
  RECT thumb = RemoteRect(tb, TBM_GETTHUMBRECT);
  RECT channel = RemoteRect(tb, TBM_GETCHANNELRECT);
  int lo = static_cast<int>(SendMessageA(tb, TBM_GETRANGEMIN, 0, 0));
  int hi = static_cast<int>(SendMessageA(tb, TBM_GETRANGEMAX, 0, 0));
  auto position = [tb] { return static_cast<int>(SendMessageA(tb, TBM_GETPOS, 0, 0)); };
  const int from = position();
  if (hi <= lo) return;
  toPosition = std::clamp(toPosition, lo, hi);
  POINT start = ClientToScreenPoint(tb, Centre(thumb));
  // Where the thumb's centre sits for a position, by the control's own geometry; rounding is
  // corrected a pixel at a time below.
  const double usable = (channel.right - channel.left) - (thumb.right - thumb.left);
  const double perUnit = usable / (hi - lo);
  auto pixelOf = [&](int pos) { return start.x + std::lround((pos - from) * perUnit); };
  auto moveTo = [&](long x) { Xdotool("mousemove " + std::to_string(x) + " " + std::to_string(start.y)); };

  // Press on the thumb, then go one position at a time and wait until the control has taken up
  // each one before moving on: a control that lags behind the pointer (a slow machine, emulation)
  // would otherwise see several moves merged into one and skip the positions in between.
  Xdotool("mousemove " + std::to_string(start.x) + " " + std::to_string(start.y) + " sleep 0.05 mousedown 1");
  WaitUntil([&] { return HoldsCapture(tb); }, 2000);
  const int step = toPosition >= from ? 1 : -1;
  for (int now = from; (toPosition - now) * step > 0;) {
    const int next = now + step;
    long x = pixelOf(next);
    for (int nudge = 0; nudge <= static_cast<int>(perUnit) + 2; ++nudge, x += step) {
      moveTo(x);
      if (WaitUntil([&] { return (position() - next) * step >= 0; }, 200)) break;
    }
    const int reached = position();
    if ((reached - now) * step <= 0) break;  // stuck: the caller sees where the thumb stands
    now = reached;
  }
  Xdotool("mouseup 1");
  WaitUntil([&] { return !HoldsCapture(tb); }, 2000);
}

bool HasKeyboardFocus(HWND w) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  return GetForegroundWindow() == GetAncestor(w, GA_ROOT) && GetGUIThreadInfo(GetWindowThreadProcessId(w, nullptr), &info) &&
         info.hwndFocus == w;
}

void TypeText(HWND edit, const std::string& text) {
  // Keys typed before the field has the focus go elsewhere; typed again (after clearing) when the
  // text did not arrive whole.
  for (int attempt = 0; attempt < 3; ++attempt) {
    ClickUntil(edit, [&] { return HasKeyboardFocus(edit); });
    Xdotool("key --clearmodifiers End shift+Home BackSpace");
    if (!text.empty()) Xdotool("type --delay 20 -- " + ShellQuote(text));
    // The keys are queued, not yet taken: the next step (a click that reads the field) would
    // otherwise still see the old text.
    if (WaitUntil([&] { return WindowText(edit) == text; }, 5000)) return;
  }
}

void SetTextMessage(HWND w, const std::string& text) {
  SendMessageA(w, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void PressKeys(const std::string& keys) { Xdotool("key --delay 30 " + keys); }

bool Screenshot(const std::string& pngPath) {
  return RunUnix("import -window root " + ShellQuote(UnixPath(pngPath))) == 0;
}

}  // namespace gui
