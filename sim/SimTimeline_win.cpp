// Scenario timelines (from the file named by KELVANE_SIM_SCENARIO and from the control
// interface), the feature-report log and the environment they are named in.

#include <windows.h>

#include <cstdio>
#include <memory>

#include "platform/Trace_win.h"
#include "platform/Wine_win.h"
#include "sim/Scenario.h"
#include "sim/SimState_win.h"

namespace sim {

void LogExchange(const Device* d, bool set, std::uint8_t id, bool ok, const std::uint8_t* buf, ULONG len) {
  if (g_sim.LogFile == INVALID_HANDLE_VALUE) return;
  std::string line = std::to_string(Clock()) + " " + d->Name + (set ? " set " : " get ") + std::to_string(id) + (ok ? " ok" : " fail");
  char hex[4];
  for (ULONG i = 0; i < len; ++i) {
    std::snprintf(hex, sizeof hex, " %02x", buf[i]);
    line += hex;
  }
  line += "\n";
  DWORD written = 0;
  WriteFile(g_sim.LogFile, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

namespace {

PlugRequest FromScenario(const TScenarioCommand& c) {
  PlugRequest r;
  r.Name = c.Name;
  r.VendorID = c.VendorID;
  r.ProductID = c.ProductID;
  r.Vendor = c.Vendor;
  r.Product = c.Product;
  r.Serial = c.Serial;
  r.NoAccess = c.NoAccess;
  r.FirmwareVersion = c.Version;
  if (c.InputLength > 0) r.InputLength = static_cast<USHORT>(c.InputLength);
  return r;
}

// ---------------------------------------------------------------------------------------------
// Scenario timelines

struct Timeline {
  std::vector<TScenarioCommand> Order;
  std::int64_t RepeatMs = 0;
  std::int64_t Start = 0;
  LONG Generation = 0;
};

bool IsCurrentTimeline(const Timeline& t) { return InterlockedCompareExchange(&g_sim.TimelineGeneration, 0, 0) == t.Generation; }

bool SleepUntil(const Timeline& t, std::int64_t ms) {
  for (;;) {
    if (!IsCurrentTimeline(t)) return false;
    const std::int64_t left = ms - Clock();
    if (left <= 0) return true;
    Sleep(static_cast<DWORD>(left > 20 ? 20 : left));
  }
}

void RunScenarioCommand(const TScenarioCommand& c, std::vector<std::string>& plugged) {
  switch (c.Kind) {
    case TScenarioCommand::skPlug:
      if (Plug(FromScenario(c))) plugged.push_back(c.Name);
      return;
    case TScenarioCommand::skUnplug:
      Unplug(c.Name);
      return;
    default:
      break;
  }
  platform::AutoLock g(g_sim.Lock);
  Device* d = FindPlugged(c.Name.c_str());
  if (!d) return;
  switch (c.Kind) {
    case TScenarioCommand::skFrame:
      d->Firmware.QueueFrame({c.Protocol, c.Address, c.Command, c.Flags});
      break;
    case TScenarioCommand::skTrained:
      d->Firmware.Trained = {c.Protocol, c.Address, c.Command, c.Flags};
      break;
    case TScenarioCommand::skPowerOn:
      d->Firmware.PowerOn = c.PowerOn;
      break;
    case TScenarioCommand::skVersionFails:
      d->Firmware.SetVersionFaults(c.Count, TVexaFirmware::vfFail);
      break;
    case TScenarioCommand::skInput:
      SendInput(d, c.Bytes.data(), c.Bytes.size());
      break;
    default:
      break;
  }
}

DWORD WINAPI RunTimeline(LPVOID p) {
  std::unique_ptr<Timeline> t(static_cast<Timeline*>(p));
  for (std::int64_t base = t->Start;; base += t->RepeatMs) {
    std::vector<std::string> plugged;
    for (const auto& c : t->Order) {
      if (!SleepUntil(*t, base + c.At)) return 0;
      RunScenarioCommand(c, plugged);
    }
    if (t->RepeatMs <= 0) return 0;
    if (!SleepUntil(*t, base + t->RepeatMs)) return 0;
    for (const auto& name : plugged) Unplug(name);
  }
}

}  // namespace

int StartTimeline(const std::string& text, std::int64_t start, const char* source) {
  const TScenario sc = ParseScenario(text);
  // Also traced: a program with a window has no console that would show them.
  for (const auto& e : sc.Errors) {
    std::fprintf(stderr, "%s:%d: %s (line ignored)\n", source, e.Line, e.Message.c_str());
    platform::Trace("simulator: %s:%d: %s (line ignored)", source, e.Line, e.Message.c_str());
  }
  std::fflush(stderr);
  if (!sc.Commands.empty()) {
    auto* t = new Timeline{TimelineOrder(sc.Commands), sc.RepeatMs, start, InterlockedCompareExchange(&g_sim.TimelineGeneration, 0, 0)};
    const platform::ScopedKernelHandle thread(CreateThread(nullptr, 0, RunTimeline, t, 0, nullptr));
    if (!thread) {
      platform::Trace("simulator: timeline of %s not started (error %lu)", source, GetLastError());
      delete t;
    }
  }
  return static_cast<int>(sc.Errors.size());
}

bool ReadWholeFile(const wchar_t* path, std::string& out) {
  const platform::ScopedFileHandle f(
      CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!f) return false;
  char buf[4096];
  DWORD n = 0;
  while (ReadFile(f.Get(), buf, sizeof buf, &n, nullptr) && n > 0) out.append(buf, n);
  return true;
}

bool OpenLog(const wchar_t* path) {
  if (g_sim.LogFile != INVALID_HANDLE_VALUE) CloseHandle(g_sim.LogFile);
  g_sim.LogFile = INVALID_HANDLE_VALUE;
  if (!path || !*path) return true;
  g_sim.LogFile = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
  return g_sim.LogFile != INVALID_HANDLE_VALUE;
}

// The variables are usually set by Unix shell scripts, with Unix paths: those are turned into
// the paths of the drive Wine maps the Unix root to.
std::wstring Env(const wchar_t* name) {
  wchar_t buf[MAX_PATH * 2];
  const DWORD n = GetEnvironmentVariableW(name, buf, MAX_PATH * 2);
  if (n == 0 || n >= MAX_PATH * 2) return {};
  std::wstring value(buf, n);
  if (value[0] != L'/') return value;
  char unixPath[MAX_PATH * 3];
  if (WideCharToMultiByte(CP_UTF8, 0, value.c_str(), -1, unixPath, sizeof unixPath, nullptr, nullptr) > 0) {
    std::wstring converted = platform::WindowsPathOf(unixPath);
    if (!converted.empty()) return converted;
  }
  for (wchar_t& c : value)
    if (c == L'/') c = L'\\';
  return L"Z:" + value;
}

}  // namespace sim
