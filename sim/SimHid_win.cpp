// Test double of HID.dll: the simulated devices, their firmware, the scenario timeline and the
// log, the HID entries the layer binds and the enumeration behind the setup double.
//
// A plugged device is a named pipe served from here: the program's own CreateFile opens its
// path while it is plugged, and unplugging closes every server end, so that handles opened
// before fail and the path no longer opens. A HID call finds its device from the handle's pipe
// name, which the platform reports only while the connection stands.

#include <windows.h>
#include <dbt.h>
#include <hidsdi.h>
#include <hidpi.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "hid/Hid_win.h"
#include "sim/Scenario.h"
#include "sim/SimControl.h"
#include "sim/SimExports_win.h"
#include "sim/SimModel_win.h"
#include "sim/VexaFirmware.h"

namespace {

constexpr int SpareListeners = 8;
constexpr DWORD PipeBufferSize = 4096;
constexpr ULONG PreparsedMagic = 0x4B534850;  // "PHSK"
constexpr ULONG DevSetMagic = 0x4B534453;     // "SDSK"
constexpr GUID HidClassGuid = {0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}};

std::wstring Widen(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

// ---------------------------------------------------------------------------------------------
// Devices and their pipe connections

struct Device;
struct Conn;

struct PipeOp {
  OVERLAPPED Ov{};  // first, so that a completion's OVERLAPPED is the op
  enum { opConnect, opRead, opWrite } Kind = opConnect;
  Conn* C = nullptr;
  std::vector<std::uint8_t> Data;
};

struct Conn {
  Device* Dev = nullptr;
  HANDLE H = INVALID_HANDLE_VALUE;
  bool Connected = false;
  bool Closed = false;
  int Pending = 0;  // operations whose completion is still to come
  PipeOp ConnectOp;
  PipeOp ReadOp;
};

struct Device {
  std::string Name;
  DWORD DevInst = 0;
  unsigned PlugSeq = 0;
  std::wstring PipePath;   // \\.\pipe\...
  std::wstring PipeShort;  // \... as the platform names an open pipe
  USHORT VendorID = 0, ProductID = 0, Version = 0;
  std::wstring Vendor, Product, Serial;
  std::vector<WCHAR> Languages;
  bool LanguagesFail = false;
  bool NoAccess = false;
  USHORT InputLength = 0, OutputLength = 0, FeatureLength = 0;
  bool Receiver = false;
  TVexaFirmware Firmware;
  bool Plugged = false;
  ULONG NumInputBuffers = 32;
  std::vector<Conn*> Conns;
};

CRITICAL_SECTION Lock;
struct Guard {
  Guard() { EnterCriticalSection(&Lock); }
  ~Guard() { LeaveCriticalSection(&Lock); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
};

std::map<std::string, std::unique_ptr<Device>>* Devices;  // made in DllMain, never freed
HANDLE Port;
LARGE_INTEGER LoadTime, Frequency;
DWORD NextDevInst = 0x1001;
unsigned NextPlugSeq = 1;
HANDLE LogFile = INVALID_HANDLE_VALUE;

std::int64_t Clock() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return (now.QuadPart - LoadTime.QuadPart) * 1000 / Frequency.QuadPart;
}

Device* Find(const std::string& name) {
  auto it = Devices->find(name);
  return it == Devices->end() ? nullptr : it->second.get();
}

Device* FindPlugged(const char* name) {
  if (!name) return nullptr;
  Device* d = Find(name);
  return d && d->Plugged ? d : nullptr;
}

void CloseConn(Conn* c);
void StartRead(Conn* c);
void Replenish(Device* d);

void Forget(Conn* c) {
  if (c->Closed && c->Pending == 0) delete c;
}

void CloseConn(Conn* c) {
  if (c->Closed) return;
  c->Closed = true;
  CloseHandle(c->H);  // pending operations complete with an error and release the rest
  auto& v = c->Dev->Conns;
  for (auto it = v.begin(); it != v.end(); ++it)
    if (*it == c) {
      v.erase(it);
      break;
    }
}

void Connected(Conn* c) {
  if (c->Connected) return;
  c->Connected = true;
  StartRead(c);
  if (c->Dev->Plugged) Replenish(c->Dev);
}

// A read stays pending on every connection: it swallows what the program writes (output
// reports) and fails when the program closes its end.
void StartRead(Conn* c) {
  if (c->Closed) return;
  c->ReadOp.Ov = OVERLAPPED{};
  static std::uint8_t sink[512];
  if (ReadFile(c->H, sink, sizeof sink, nullptr, &c->ReadOp.Ov) || GetLastError() == ERROR_IO_PENDING) {
    ++c->Pending;
  } else {
    CloseConn(c);
  }
}

void StartConnect(Conn* c) {
  c->ConnectOp.Ov = OVERLAPPED{};
  if (ConnectNamedPipe(c->H, &c->ConnectOp.Ov)) {
    ++c->Pending;
    return;
  }
  switch (GetLastError()) {
    case ERROR_IO_PENDING:
      ++c->Pending;
      break;
    case ERROR_PIPE_CONNECTED:
      Connected(c);
      break;
    default:
      CloseConn(c);
  }
}

void NewListener(Device* d) {
  const DWORD access = d->NoAccess ? PIPE_ACCESS_INBOUND : PIPE_ACCESS_DUPLEX;
  HANDLE h = CreateNamedPipeW(d->PipePath.c_str(), access | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                              PIPE_UNLIMITED_INSTANCES, PipeBufferSize, PipeBufferSize, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  if (!CreateIoCompletionPort(h, Port, 0, 0)) {
    CloseHandle(h);
    return;
  }
  auto* c = new Conn;
  c->Dev = d;
  c->H = h;
  c->ConnectOp.Kind = PipeOp::opConnect;
  c->ConnectOp.C = c;
  c->ReadOp.Kind = PipeOp::opRead;
  c->ReadOp.C = c;
  d->Conns.push_back(c);
  StartConnect(c);
  Forget(c);
}

// Keeps a few unconnected instances ready, so that the program's opens do not find the pipe busy.
// The pump refills after each connection; every HID call on the device refills too, so that a
// program opening and closing in a tight loop does not outrun the pump.
void Replenish(Device* d) {
  for (int guard = 0; guard < 2 * SpareListeners; ++guard) {
    int spare = 0;
    // A connection whose completion the pump has not taken yet is no longer free.
    for (Conn* c : d->Conns) spare += !c->Connected && !c->Closed && !HasOverlappedIoCompleted(&c->ConnectOp.Ov);
    if (spare >= SpareListeners) return;
    const std::size_t before = d->Conns.size();
    NewListener(d);
    if (d->Conns.size() == before) return;
  }
}

DWORD WINAPI Pump(LPVOID) {
  for (;;) {
    DWORD n = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* ov = nullptr;
    const BOOL ok = GetQueuedCompletionStatus(Port, &n, &key, &ov, INFINITE);
    if (!ov) {
      if (!ok && GetLastError() != WAIT_TIMEOUT) Sleep(1);
      continue;
    }
    auto* op = reinterpret_cast<PipeOp*>(ov);
    Guard g;
    Conn* c = op->C;
    --c->Pending;
    switch (op->Kind) {
      case PipeOp::opConnect:
        if (c->Closed) break;
        if (ok) {
          Connected(c);
        } else {
          CloseConn(c);
        }
        break;
      case PipeOp::opRead:
        if (c->Closed) break;
        if (ok) {
          StartRead(c);
        } else {
          CloseConn(c);
        }
        break;
      case PipeOp::opWrite:
        delete op;
        break;
    }
    Forget(c);
  }
}

// The device whose pipe this handle is connected to, while it is plugged.
Device* FromHandle(HANDLE h, DWORD& error) {
  alignas(FILE_NAME_INFO) std::uint8_t buf[sizeof(FILE_NAME_INFO) + 512 * sizeof(WCHAR)];
  if (!h || h == INVALID_HANDLE_VALUE || !GetFileInformationByHandleEx(h, FileNameInfo, buf, sizeof buf)) {
    error = ERROR_DEVICE_NOT_CONNECTED;
    return nullptr;
  }
  const auto* info = reinterpret_cast<const FILE_NAME_INFO*>(buf);
  const std::wstring name(info->FileName, info->FileNameLength / sizeof(WCHAR));
  for (auto& [key, d] : *Devices)
    if (d->Plugged && _wcsicmp(d->PipeShort.c_str(), name.c_str()) == 0) {
      Replenish(d.get());
      return d.get();
    }
  error = ERROR_DEVICE_NOT_CONNECTED;
  return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Device-change notification and the feature-report log

BOOL CALLBACK PostDeviceChange(HWND wnd, LPARAM) {
  DWORD pid = 0;
  GetWindowThreadProcessId(wnd, &pid);
  if (pid == GetCurrentProcessId()) PostMessageW(wnd, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  return TRUE;
}

// Only this process's windows: the simulated devices exist for nobody else.
void BroadcastDeviceChange() { EnumWindows(PostDeviceChange, 0); }

void LogExchange(const Device* d, bool set, std::uint8_t id, bool ok, const std::uint8_t* buf, ULONG len) {
  if (LogFile == INVALID_HANDLE_VALUE) return;
  std::string line = std::to_string(Clock()) + " " + d->Name + (set ? " set " : " get ") + std::to_string(id) + (ok ? " ok" : " fail");
  char hex[4];
  for (ULONG i = 0; i < len; ++i) {
    std::snprintf(hex, sizeof hex, " %02x", buf[i]);
    line += hex;
  }
  line += "\n";
  DWORD written = 0;
  WriteFile(LogFile, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Plugging

struct PlugRequest {
  std::string Name;
  USHORT VendorID = ReceiverVendorID, ProductID = ReceiverProductID, Version = 0x0100;
  std::string Vendor, Product, Serial;
  std::vector<WCHAR> Languages{0x0409};
  bool LanguagesFail = false;
  bool NoAccess = false;
  USHORT InputLength = 9, OutputLength = 9, FeatureLength = 12;
  std::string FirmwareVersion = "1.0";
};

bool Plug(const PlugRequest& r) {
  if (r.Name.empty()) return false;
  {
    Guard g;
    Device* d = Find(r.Name);
    if (d && d->Plugged) return false;
    if (!d) {
      auto fresh = std::make_unique<Device>();
      fresh->Name = r.Name;
      fresh->DevInst = NextDevInst++;  // kept across replugs, as the platform keeps a device's node
      d = fresh.get();
      (*Devices)[r.Name] = std::move(fresh);
    }
    d->PlugSeq = NextPlugSeq++;
    d->VendorID = r.VendorID;
    d->ProductID = r.ProductID;
    d->Version = r.Version;
    d->Vendor = Widen(r.Vendor);
    d->Product = Widen(r.Product);
    d->Serial = Widen(r.Serial);
    d->Languages = r.Languages;
    d->LanguagesFail = r.LanguagesFail;
    d->NoAccess = r.NoAccess;
    d->InputLength = r.InputLength;
    d->OutputLength = r.OutputLength;
    d->FeatureLength = r.FeatureLength;
    d->Receiver = r.VendorID == ReceiverVendorID && r.ProductID == ReceiverProductID;
    d->Firmware = TVexaFirmware{};
    d->Firmware.Version = r.FirmwareVersion;
    d->NumInputBuffers = 32;
    wchar_t tail[96];
    std::swprintf(tail, 96, L"kelvane-sim-%lx-%lx#vid_%04x&pid_%04x", GetCurrentProcessId(), d->DevInst, d->VendorID, d->ProductID);
    d->PipeShort = std::wstring(L"\\") + tail;
    d->PipePath = std::wstring(L"\\\\.\\pipe\\") + tail;
    d->Plugged = true;
    Replenish(d);
  }
  BroadcastDeviceChange();
  return true;
}

bool Unplug(const std::string& name) {
  {
    Guard g;
    Device* d = Find(name);
    if (!d || !d->Plugged) return false;
    d->Plugged = false;
    while (!d->Conns.empty()) {
      Conn* c = d->Conns.back();
      CloseConn(c);
      Forget(c);
    }
  }
  BroadcastDeviceChange();
  return true;
}

// Takes up connections the program has made whose completion the pump has not seen yet.
void TakeUpConnections(Device* d) {
  const std::vector<Conn*> conns = d->Conns;
  for (Conn* c : conns)
    if (!c->Connected && !c->Closed && HasOverlappedIoCompleted(&c->ConnectOp.Ov) && c->ConnectOp.Ov.Internal == 0) Connected(c);
}

void SendInput(Device* d, const std::uint8_t* bytes, std::size_t len) {
  std::vector<std::uint8_t> report(bytes, bytes + len);
  if (d->InputLength > 0) report.resize(d->InputLength, 0);
  TakeUpConnections(d);
  const std::vector<Conn*> conns = d->Conns;
  for (Conn* c : conns) {
    if (!c->Connected || c->Closed || d->NoAccess) continue;
    auto* op = new PipeOp;
    op->Kind = PipeOp::opWrite;
    op->C = c;
    op->Data = report;
    if (WriteFile(c->H, op->Data.data(), static_cast<DWORD>(op->Data.size()), nullptr, &op->Ov) || GetLastError() == ERROR_IO_PENDING) {
      ++c->Pending;
    } else {
      delete op;
    }
  }
}

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

// A reset ends every timeline: each runs only while the generation it started in lasts.
volatile LONG TimelineGeneration = 0;

bool Current(const Timeline& t) { return InterlockedCompareExchange(&TimelineGeneration, 0, 0) == t.Generation; }

bool SleepUntil(const Timeline& t, std::int64_t ms) {
  for (;;) {
    if (!Current(t)) return false;
    const std::int64_t left = ms - Clock();
    if (left <= 0) return true;
    Sleep(static_cast<DWORD>(left > 20 ? 20 : left));
  }
}

void Execute(const TScenarioCommand& c, std::vector<std::string>& plugged) {
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
  Guard g;
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
      Execute(c, plugged);
    }
    if (t->RepeatMs <= 0) return 0;
    if (!SleepUntil(*t, base + t->RepeatMs)) return 0;
    for (const auto& name : plugged) Unplug(name);
  }
}

int StartTimeline(const std::string& text, std::int64_t start, const char* source) {
  const TScenario sc = ParseScenario(text);
  for (const auto& e : sc.Errors) std::fprintf(stderr, "%s:%d: %s (line ignored)\n", source, e.Line, e.Message.c_str());
  std::fflush(stderr);
  if (!sc.Commands.empty()) {
    auto* t = new Timeline{TimelineOrder(sc.Commands), sc.RepeatMs, start, InterlockedCompareExchange(&TimelineGeneration, 0, 0)};
    HANDLE th = CreateThread(nullptr, 0, RunTimeline, t, 0, nullptr);
    if (th) {
      CloseHandle(th);
    } else {
      delete t;
    }
  }
  return static_cast<int>(sc.Errors.size());
}

bool ReadWholeFile(const wchar_t* path, std::string& out) {
  HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  char buf[4096];
  DWORD n = 0;
  while (ReadFile(f, buf, sizeof buf, &n, nullptr) && n > 0) out.append(buf, n);
  CloseHandle(f);
  return true;
}

bool OpenLog(const wchar_t* path) {
  if (LogFile != INVALID_HANDLE_VALUE) CloseHandle(LogFile);
  LogFile = INVALID_HANDLE_VALUE;
  if (!path || !*path) return true;
  LogFile = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
  return LogFile != INVALID_HANDLE_VALUE;
}

// The variables are usually set by Unix shell scripts, with Unix paths: those are turned into
// the paths of the drive Wine maps the Unix root to.
std::wstring Env(const wchar_t* name) {
  wchar_t buf[MAX_PATH * 2];
  const DWORD n = GetEnvironmentVariableW(name, buf, MAX_PATH * 2);
  if (n == 0 || n >= MAX_PATH * 2) return {};
  std::wstring value(buf, n);
  if (value[0] != L'/') return value;
  using DosNameFn = WCHAR*(CDECL*)(const char*);
  const auto dosName = reinterpret_cast<DosNameFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
  if (dosName) {
    char unixPath[MAX_PATH * 3];
    if (WideCharToMultiByte(CP_UTF8, 0, value.c_str(), -1, unixPath, sizeof unixPath, nullptr, nullptr) > 0) {
      if (WCHAR* dos = dosName(unixPath)) {
        std::wstring converted(dos);
        HeapFree(GetProcessHeap(), 0, dos);
        return converted;
      }
    }
  }
  for (wchar_t& c : value)
    if (c == L'/') c = L'\\';
  return L"Z:" + value;
}

void Start(HMODULE self) {
  QueryPerformanceFrequency(&Frequency);
  QueryPerformanceCounter(&LoadTime);
  InitializeCriticalSection(&Lock);
  Devices = new std::map<std::string, std::unique_ptr<Device>>;
  // The layer frees HID.dll when its controller ends; the pipes and timelines must outlive that.
  HMODULE pinned = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN, reinterpret_cast<LPCWSTR>(self), &pinned);
  Port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  if (HANDLE th = CreateThread(nullptr, 0, Pump, nullptr, 0, nullptr)) {
    SetThreadPriority(th, THREAD_PRIORITY_HIGHEST);
    CloseHandle(th);
  }
  const std::wstring log = Env(L"KELVANE_SIM_LOG");
  if (!log.empty()) OpenLog(log.c_str());
  const std::wstring scenario = Env(L"KELVANE_SIM_SCENARIO");
  if (!scenario.empty()) {
    std::string text;
    char source[MAX_PATH * 3];
    WideCharToMultiByte(CP_UTF8, 0, scenario.c_str(), -1, source, sizeof source, nullptr, nullptr);
    if (ReadWholeFile(scenario.c_str(), text)) {
      StartTimeline(text, 0, source);
    } else {
      std::fprintf(stderr, "%s: cannot be read\n", source);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Device enumeration behind the setup double

struct ListedDevice {
  DWORD DevInst;
  std::wstring Path;
  USHORT VendorID, ProductID, Version;
  std::wstring Product;
};

struct DevSet {
  ULONG Magic = DevSetMagic;
  std::vector<ListedDevice> Items;
};

DevSet* AsSet(HDEVINFO h) {
  auto* s = static_cast<DevSet*>(h);
  if (!s || h == INVALID_HANDLE_VALUE || s->Magic != DevSetMagic) return nullptr;
  return s;
}

// Which listed device an interface or device record names (its Reserved field carries index+1).
const ListedDevice* Item(DevSet* s, ULONG_PTR reserved) {
  if (reserved == 0 || reserved > s->Items.size()) return nullptr;
  return &s->Items[reserved - 1];
}

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

struct Preparsed {
  ULONG Magic;
  HIDP_CAPS Caps;
};

BOOLEAN Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

BOOLEAN CopyString(HANDLE h, const std::wstring Device::*field, PVOID buffer, ULONG length) {
  Guard g;
  DWORD error = 0;
  Device* d = FromHandle(h, error);
  if (!d) return Fail(error);
  const std::wstring& s = d->*field;
  if (s.empty()) return Fail(ERROR_GEN_FAILURE);  // the device has no such string
  const ULONG bytes = static_cast<ULONG>((s.size() + 1) * sizeof(WCHAR));
  if (!buffer || length < bytes) return Fail(ERROR_INVALID_USER_BUFFER);
  std::memcpy(buffer, s.c_str(), bytes);
  return TRUE;
}

BOOLEAN Exchange(HANDLE h, PVOID buffer, ULONG length, bool set) {
  if (!buffer || length == 0) return Fail(ERROR_INVALID_PARAMETER);
  auto* buf = static_cast<std::uint8_t*>(buffer);
  Guard g;
  DWORD error = 0;
  Device* d = FromHandle(h, error);
  if (!d) return Fail(error);
  const std::uint8_t id = buf[0];
  bool ok = false;
  if (d->NoAccess) {
    error = ERROR_ACCESS_DENIED;
  } else if (!d->Receiver) {
    error = ERROR_INVALID_FUNCTION;
  } else {
    ok = set ? d->Firmware.SetFeature(buf, length) : d->Firmware.GetFeature(buf, length);
    error = ERROR_GEN_FAILURE;
  }
  LogExchange(d, set, id, ok, buf, length);
  return ok ? TRUE : Fail(error);
}

}  // namespace

// =============================================================================================
// The HID entries the simulation models

namespace model {

void WINAPI HidD_GetHidGuid(LPGUID guid) {
  if (guid) *guid = HidInterfaceClassGuid;
}

BOOLEAN WINAPI HidD_GetAttributes(HANDLE h, PHIDD_ATTRIBUTES attributes) {
  if (!attributes) return Fail(ERROR_INVALID_PARAMETER);
  Guard g;
  DWORD error = 0;
  Device* d = FromHandle(h, error);
  if (!d) return Fail(error);
  attributes->VendorID = d->VendorID;
  attributes->ProductID = d->ProductID;
  attributes->VersionNumber = d->Version;
  return TRUE;
}

BOOLEAN WINAPI HidD_GetFeature(HANDLE h, PVOID buffer, ULONG length) { return Exchange(h, buffer, length, false); }
BOOLEAN WINAPI HidD_SetFeature(HANDLE h, PVOID buffer, ULONG length) { return Exchange(h, buffer, length, true); }

BOOLEAN WINAPI HidD_GetManufacturerString(HANDLE h, PVOID buffer, ULONG length) { return CopyString(h, &Device::Vendor, buffer, length); }
BOOLEAN WINAPI HidD_GetProductString(HANDLE h, PVOID buffer, ULONG length) { return CopyString(h, &Device::Product, buffer, length); }
BOOLEAN WINAPI HidD_GetSerialNumberString(HANDLE h, PVOID buffer, ULONG length) { return CopyString(h, &Device::Serial, buffer, length); }

BOOLEAN WINAPI HidD_GetIndexedString(HANDLE h, ULONG index, PVOID buffer, ULONG length) {
  switch (index) {
    case 1:
      return CopyString(h, &Device::Vendor, buffer, length);
    case 2:
      return CopyString(h, &Device::Product, buffer, length);
    case 3:
      return CopyString(h, &Device::Serial, buffer, length);
    case 0:
      break;
    default:
      return Fail(ERROR_GEN_FAILURE);
  }
  Guard g;
  DWORD error = 0;
  Device* d = FromHandle(h, error);
  if (!d) return Fail(error);
  if (d->LanguagesFail) return Fail(ERROR_GEN_FAILURE);
  std::vector<WCHAR> units = d->Languages;
  units.push_back(0);
  const ULONG bytes = static_cast<ULONG>(units.size() * sizeof(WCHAR));
  if (!buffer || length < bytes) return Fail(ERROR_INVALID_USER_BUFFER);
  std::memcpy(buffer, units.data(), bytes);
  return TRUE;
}

BOOLEAN WINAPI HidD_GetNumInputBuffers(HANDLE h, PULONG number) {
  if (!number) return Fail(ERROR_INVALID_PARAMETER);
  Guard g;
  DWORD error = 0;
  Device* d = FromHandle(h, error);
  if (!d) return Fail(error);
  *number = d->NumInputBuffers;
  return TRUE;
}

BOOLEAN WINAPI HidD_SetNumInputBuffers(HANDLE h, ULONG number) {
  Guard g;
  DWORD error = 0;
  Device* d = FromHandle(h, error);
  if (!d) return Fail(error);
  if (number < 2 || number > 512) return Fail(ERROR_INVALID_PARAMETER);
  d->NumInputBuffers = number;
  return TRUE;
}

BOOLEAN WINAPI HidD_FlushQueue(HANDLE h) {
  {
    Guard g;
    DWORD error = 0;
    if (!FromHandle(h, error)) return Fail(error);
  }
  // Drop what has arrived and not been read yet, where the handle may read at all.
  DWORD avail = 0;
  while (PeekNamedPipe(h, nullptr, 0, nullptr, &avail, nullptr) && avail > 0) {
    std::vector<std::uint8_t> sink(avail);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    const bool ok = ReadFile(h, sink.data(), avail, &n, &ov) || (GetLastError() == ERROR_IO_PENDING && GetOverlappedResult(h, &ov, &n, TRUE));
    CloseHandle(ov.hEvent);
    if (!ok) break;
  }
  return TRUE;
}

BOOLEAN WINAPI HidD_GetPreparsedData(HANDLE h, PHIDP_PREPARSED_DATA* data) {
  if (!data) return Fail(ERROR_INVALID_PARAMETER);
  Guard g;
  DWORD error = 0;
  Device* d = FromHandle(h, error);
  if (!d) return Fail(error);
  auto* p = static_cast<Preparsed*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Preparsed)));
  if (!p) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  p->Magic = PreparsedMagic;
  p->Caps.UsagePage = d->Receiver ? 0xFF00 : 0x0001;
  p->Caps.Usage = d->Receiver ? 0x0001 : 0x0000;
  p->Caps.InputReportByteLength = d->InputLength;
  p->Caps.OutputReportByteLength = d->OutputLength;
  p->Caps.FeatureReportByteLength = d->FeatureLength;
  p->Caps.NumberLinkCollectionNodes = 1;
  *data = reinterpret_cast<PHIDP_PREPARSED_DATA>(p);
  return TRUE;
}

BOOLEAN WINAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) {
  auto* p = reinterpret_cast<Preparsed*>(data);
  if (!p || p->Magic != PreparsedMagic) return Fail(ERROR_INVALID_PARAMETER);
  p->Magic = 0;
  HeapFree(GetProcessHeap(), 0, p);
  return TRUE;
}

NTSTATUS WINAPI HidP_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps) {
  auto* p = reinterpret_cast<Preparsed*>(data);
  if (!p || p->Magic != PreparsedMagic) return HIDP_STATUS_INVALID_PREPARSED_DATA;
  if (caps) *caps = p->Caps;
  return HIDP_STATUS_SUCCESS;
}

// The receiver's descriptor, as far as the lists go: one vendor-defined value per feature report.
ULONG WINAPI HidP_MaxDataListLength(HIDP_REPORT_TYPE type, PHIDP_PREPARSED_DATA data) {
  auto* p = reinterpret_cast<Preparsed*>(data);
  if (!p || p->Magic != PreparsedMagic) return 0;
  return type == HidP_Feature && p->Caps.UsagePage == 0xFF00 ? 7 : 0;
}

ULONG WINAPI HidP_MaxUsageListLength(HIDP_REPORT_TYPE type, USAGE usagePage, PHIDP_PREPARSED_DATA data) {
  auto* p = reinterpret_cast<Preparsed*>(data);
  if (!p || p->Magic != PreparsedMagic) return 0;
  return type == HidP_Feature && p->Caps.UsagePage == 0xFF00 && (usagePage == 0 || usagePage == 0xFF00) ? 7 : 0;
}

}  // namespace model

namespace stubs {
#define HID_ENTRY(F, when) inline const auto F = &NotModelled<HIDP_STATUS_NOT_IMPLEMENTED_, decltype(&::F)>::Call;
#define HID_TWIN(F, E)
#include "hid/HidEntries_win.inc"
#undef HID_ENTRY
#undef HID_TWIN
}  // namespace stubs

namespace model {
using namespace stubs;
}

#define HID_ENTRY(F, when) SIM_EXPORT(F)
#define HID_TWIN(F, E)
#include "hid/HidEntries_win.inc"
#undef HID_ENTRY
#undef HID_TWIN

// =============================================================================================
// Enumeration, exported for the setup double

HDEVINFO WINAPI KelvaneSim_SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR, HWND, DWORD flags) {
  auto* set = new DevSet;
  if (classGuid && (flags & DIGCF_DEVICEINTERFACE) && SameGuid(*classGuid, HidInterfaceClassGuid)) {
    Guard g;
    std::vector<const Device*> plugged;
    for (auto& [name, d] : *Devices)
      if (d->Plugged) plugged.push_back(d.get());
    std::sort(plugged.begin(), plugged.end(), [](const Device* a, const Device* b) { return a->PlugSeq < b->PlugSeq; });
    for (const Device* d : plugged) set->Items.push_back({d->DevInst, d->PipePath, d->VendorID, d->ProductID, d->Version, d->Product});
  }
  return set;
}

WINBOOL WINAPI KelvaneSim_SetupDiEnumDeviceInterfaces(HDEVINFO h, PSP_DEVINFO_DATA, const GUID*, DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
  DevSet* s = AsSet(h);
  if (!s) return Fail(ERROR_INVALID_HANDLE);
  if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
  if (index >= s->Items.size()) return Fail(ERROR_NO_MORE_ITEMS);
  data->InterfaceClassGuid = HidInterfaceClassGuid;
  data->Flags = SPINT_ACTIVE;
  data->Reserved = index + 1;
  return TRUE;
}

WINBOOL WINAPI KelvaneSim_SetupDiGetDeviceInterfaceDetailW(HDEVINFO h, PSP_DEVICE_INTERFACE_DATA data, PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                                          DWORD size, PDWORD required, PSP_DEVINFO_DATA info) {
  DevSet* s = AsSet(h);
  if (!s) return Fail(ERROR_INVALID_HANDLE);
  if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return Fail(ERROR_INVALID_PARAMETER);
  const ListedDevice* item = Item(s, data->Reserved);
  if (!item) return Fail(ERROR_INVALID_PARAMETER);
  const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (item->Path.size() + 1) * sizeof(WCHAR));
  if (required) *required = needed;
  if (!detail) return Fail(size ? ERROR_INVALID_USER_BUFFER : ERROR_INSUFFICIENT_BUFFER);
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return Fail(ERROR_INVALID_USER_BUFFER);
  if (size < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(detail->DevicePath, item->Path.c_str(), (item->Path.size() + 1) * sizeof(WCHAR));
  if (info) {
    if (info->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
    info->ClassGuid = HidClassGuid;
    info->DevInst = item->DevInst;
    info->Reserved = data->Reserved;
  }
  return TRUE;
}

WINBOOL WINAPI KelvaneSim_SetupDiGetDeviceRegistryPropertyW(HDEVINFO h, PSP_DEVINFO_DATA info, DWORD property, PDWORD type, PBYTE buffer,
                                                           DWORD size, PDWORD required) {
  DevSet* s = AsSet(h);
  if (!s) return Fail(ERROR_INVALID_HANDLE);
  if (!info || info->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
  const ListedDevice* item = Item(s, info->Reserved);
  if (!item) return Fail(ERROR_NO_SUCH_DEVINST);
  wchar_t ids[2][64];
  std::swprintf(ids[0], 64, L"HID\\VID_%04X&PID_%04X&REV_%04X", item->VendorID, item->ProductID, item->Version);
  std::swprintf(ids[1], 64, L"HID\\VID_%04X&PID_%04X", item->VendorID, item->ProductID);
  std::vector<std::uint8_t> value;
  DWORD kind = REG_SZ;
  auto text = [&](const std::wstring& t) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(t.c_str());
    value.assign(p, p + (t.size() + 1) * sizeof(WCHAR));
  };
  auto list = [&](std::initializer_list<std::wstring> items) {
    std::wstring all;
    for (const auto& i : items) all += i + L'\0';
    text(all);  // the closing extra zero comes from text()
    kind = REG_MULTI_SZ;
  };
  auto number = [&](DWORD v) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
    value.assign(p, p + sizeof v);
    kind = REG_DWORD;
  };
  switch (property) {
    case SPDRP_DEVICEDESC:
      text(item->Product.empty() ? L"HID-compliant device" : item->Product);
      break;
    case SPDRP_HARDWAREID:
      list({ids[0], ids[1]});
      break;
    case SPDRP_COMPATIBLEIDS:
      list({L"HID_DEVICE_SYSTEM_VENDOR", L"HID_DEVICE"});
      break;
    case SPDRP_SERVICE:
      text(L"HidUsb");
      break;
    case SPDRP_CLASS:
      text(L"HIDClass");
      break;
    case SPDRP_CLASSGUID:
      text(L"{745a17a0-74d3-11d0-b6fe-00a0c90f57da}");
      break;
    case SPDRP_DRIVER: {
      wchar_t driver[64];
      std::swprintf(driver, 64, L"{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\%04lx", item->DevInst);
      text(driver);
      break;
    }
    case SPDRP_CONFIGFLAGS:
      number(0);
      break;
    case SPDRP_MFG:
      text(L"(Standard system devices)");
      break;
    case SPDRP_CAPABILITIES:
      number(0x90);  // surprise removal ok, unique ID
      break;
    case SPDRP_ENUMERATOR_NAME:
      text(L"HID");
      break;
    default:
      return Fail(ERROR_INVALID_DATA);
  }
  if (required) *required = static_cast<DWORD>(value.size());
  if (type) *type = kind;
  if (!buffer || size < value.size()) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(buffer, value.data(), value.size());
  return TRUE;
}

WINBOOL WINAPI KelvaneSim_SetupDiDestroyDeviceInfoList(HDEVINFO h) {
  DevSet* s = AsSet(h);
  if (!s) return Fail(ERROR_INVALID_HANDLE);
  s->Magic = 0;
  delete s;
  return TRUE;
}

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
  Guard g;
  Device* d = FindPlugged(name);
  if (!d) return 0;
  d->Firmware.QueueFrame({protocol, address, command, flags});
  return 1;
}

int KelvaneSimSetTrained(const char* name, uint8_t protocol, uint16_t address, uint16_t command, uint8_t flags) {
  Guard g;
  Device* d = FindPlugged(name);
  if (!d) return 0;
  d->Firmware.Trained = {protocol, address, command, flags};
  return 1;
}

int KelvaneSimSetPowerOn(const char* name, uint8_t enabled) {
  Guard g;
  Device* d = FindPlugged(name);
  if (!d) return 0;
  d->Firmware.PowerOn = enabled;
  return 1;
}

int KelvaneSimVersionFaults(const char* name, int count, int mode) {
  Guard g;
  Device* d = FindPlugged(name);
  if (!d || count < -1) return 0;
  d->Firmware.SetVersionFaults(count, mode == KelvaneSimVersionWrongID ? TVexaFirmware::vfWrongID : TVexaFirmware::vfFail);
  return 1;
}

int KelvaneSimInput(const char* name, const uint8_t* bytes, int length) {
  if (!bytes || length <= 0) return 0;
  Guard g;
  Device* d = FindPlugged(name);
  if (!d) return 0;
  SendInput(d, bytes, static_cast<std::size_t>(length));
  return 1;
}

int KelvaneSimFirmware(const char* name, KelvaneSimFirmwareState* state) {
  Guard g;
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
  InterlockedIncrement(&TimelineGeneration);
  std::vector<std::string> names;
  {
    Guard g;
    for (auto& [name, d] : *Devices)
      if (d->Plugged) names.push_back(name);
  }
  for (const auto& n : names) Unplug(n);
}

int KelvaneSimRunScenario(const char* text) { return text ? StartTimeline(text, Clock(), "scenario") : 0; }

int KelvaneSimSetLog(const char* path) {
  Guard g;
  return OpenLog(path ? Widen(path).c_str() : nullptr) ? 1 : 0;
}

int KelvaneSimOpenConnections(const char* name) {
  Guard g;
  int n = 0;
  for (auto& [key, d] : *Devices)
    if (!name || key == name)
      for (Conn* c : d->Conns) n += c->Connected && !c->Closed;
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
