// Test double of HID.dll: the simulated devices, their firmware, the scenario timeline and the
// log, the HID entries the layer binds and the enumeration behind the setup double. This unit
// holds the DLL's state, starts it and serves the control interface; SimState_win.h lists the
// other units.

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/Trace_win.h"
#include "platform/WideText_win.h"
#include "sim/SimControl.h"
#include "sim/SimState_win.h"

namespace sim {

TSimState g_sim;

std::wstring Widen(const std::string& s) { return platform::WideFromAnsi(s, CP_UTF8); }

std::int64_t Clock() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return (now.QuadPart - g_sim.LoadTime.QuadPart) * 1000 / g_sim.Frequency.QuadPart;
}

namespace {

void Start(HMODULE self) {
  QueryPerformanceFrequency(&g_sim.Frequency);
  QueryPerformanceCounter(&g_sim.LoadTime);
  InitializeCriticalSection(&g_sim.Lock);
  g_sim.Devices = new std::map<std::string, std::unique_ptr<Device>>;
  // The layer frees HID.dll when its controller ends; the pipes and timelines must outlive that.
  HMODULE pinned = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN, reinterpret_cast<LPCWSTR>(self), &pinned);
  g_sim.Port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  if (!g_sim.Port) platform::Trace("simulator: no completion port (error %lu)", GetLastError());
  if (const platform::ScopedKernelHandle pump(CreateThread(nullptr, 0, Pump, nullptr, 0, nullptr)); pump)
    SetThreadPriority(pump.Get(), THREAD_PRIORITY_HIGHEST);
  else
    platform::Trace("simulator: no pipe pump thread (error %lu)", GetLastError());
  const std::wstring log = Env(L"KELVANE_SIM_LOG");
  if (!log.empty() && !OpenLog(log.c_str()))
    platform::Trace("simulator: the log file named by KELVANE_SIM_LOG cannot be opened (error %lu)", GetLastError());
  const std::wstring scenario = Env(L"KELVANE_SIM_SCENARIO");
  if (!scenario.empty()) {
    std::string text;
    char source[MAX_PATH * 3];
    WideCharToMultiByte(CP_UTF8, 0, scenario.c_str(), -1, source, sizeof source, nullptr, nullptr);
    if (ReadWholeFile(scenario.c_str(), text)) {
      StartTimeline(text, 0, source);
    } else {
      std::fprintf(stderr, "%s: cannot be read\n", source);
      platform::Trace("simulator: %s: cannot be read", source);
    }
  }
}

}  // namespace

}  // namespace sim

using namespace sim;

// =============================================================================================
// Control interface

int KelvaneSimPlug(const KelvaneSimDevice* device) {
  if (!device || !device->Name) return 0;
  PlugRequest r;
  r.Name = device->Name;
  if (device->VendorID || device->ProductID) {
    r.VendorID = device->VendorID;
    r.ProductID = device->ProductID;
  }
  if (device->VersionNumber) r.Version = device->VersionNumber;
  if (device->Vendor) r.Vendor = device->Vendor;
  if (device->Product) r.Product = device->Product;
  if (device->Serial) r.Serial = device->Serial;
  if (device->LanguageCount < 0) r.LanguagesFail = true;
  if (device->LanguageCount > 0 && device->Languages)
    r.Languages.assign(device->Languages, device->Languages + device->LanguageCount);
  r.NoAccess = device->NoAccess != 0;
  if (device->InputLength) r.InputLength = device->InputLength;
  if (device->OutputLength) r.OutputLength = device->OutputLength;
  if (device->FeatureLength) r.FeatureLength = device->FeatureLength;
  if (device->FirmwareVersion) r.FirmwareVersion = device->FirmwareVersion;
  return Plug(r) ? 1 : 0;
}

int KelvaneSimUnplug(const char* name) { return name && Unplug(name) ? 1 : 0; }

int KelvaneSimQueueFrame(const char* name, uint8_t protocol, uint16_t address, uint16_t command, uint8_t flags) {
  platform::AutoLock g(g_sim.Lock);
  Device* d = FindPlugged(name);
  if (!d) return 0;
  d->Firmware.QueueFrame({protocol, address, command, flags});
  return 1;
}

int KelvaneSimSetTrained(const char* name, uint8_t protocol, uint16_t address, uint16_t command, uint8_t flags) {
  platform::AutoLock g(g_sim.Lock);
  Device* d = FindPlugged(name);
  if (!d) return 0;
  d->Firmware.Trained = {protocol, address, command, flags};
  return 1;
}

int KelvaneSimSetPowerOn(const char* name, uint8_t enabled) {
  platform::AutoLock g(g_sim.Lock);
  Device* d = FindPlugged(name);
  if (!d) return 0;
  d->Firmware.PowerOn = enabled;
  return 1;
}

int KelvaneSimVersionFaults(const char* name, int count, int mode) {
  platform::AutoLock g(g_sim.Lock);
  Device* d = FindPlugged(name);
  if (!d || count < -1) return 0;
  d->Firmware.SetVersionFaults(count, mode == KelvaneSimVersionWrongID ? TVexaFirmware::vfWrongID : TVexaFirmware::vfFail);
  return 1;
}

int KelvaneSimInput(const char* name, const uint8_t* bytes, int length) {
  if (!bytes || length <= 0) return 0;
  platform::AutoLock g(g_sim.Lock);
  Device* d = FindPlugged(name);
  if (!d) return 0;
  SendInput(d, bytes, static_cast<std::size_t>(length));
  return 1;
}

int KelvaneSimFirmware(const char* name, KelvaneSimFirmwareState* state) {
  platform::AutoLock g(g_sim.Lock);
  Device* d = name ? Find(name) : nullptr;
  if (!d || !state) return 0;
  const TVexaFirmware& fw = d->Firmware;
  state->PowerOn = fw.PowerOn;
  state->PollingWord = fw.PollingWord;
  std::memcpy(state->Trained, &fw.Trained, sizeof state->Trained);
  state->QueuedFrames = static_cast<int>(fw.Frames.size());
  state->VersionFaults = fw.VersionFaults;
  return 1;
}

void KelvaneSimReset() {
  InterlockedIncrement(&g_sim.TimelineGeneration);
  std::vector<std::string> names;
  {
    platform::AutoLock g(g_sim.Lock);
    for (auto& [name, d] : *g_sim.Devices)
      if (d->Plugged) names.push_back(name);
  }
  for (const auto& n : names) Unplug(n);
}

int KelvaneSimRunScenario(const char* text) { return text ? StartTimeline(text, Clock(), "scenario") : 0; }

int KelvaneSimSetLog(const char* path) {
  platform::AutoLock g(g_sim.Lock);
  return OpenLog(path ? Widen(path).c_str() : nullptr) ? 1 : 0;
}

int KelvaneSimOpenConnections(const char* name) {
  platform::AutoLock g(g_sim.Lock);
  int n = 0;
  for (auto& [key, d] : *g_sim.Devices)
    if (!name || key == name)
      for (Conn* c : d->Conns) n += !c->Closed && (c->Connected || !Listening(c));
  return n;
}

int64_t KelvaneSimClock() { return Clock(); }

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(instance);
    Start(instance);
  }
  return TRUE;
}
