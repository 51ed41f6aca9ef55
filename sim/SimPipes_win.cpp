// Devices and their pipe connections: plugging, unplugging, input reports and the pump that
// takes the pipes' completions.
//
// A plugged device is a named pipe served from here: the program's own CreateFile opens its
// path while it is plugged, and unplugging closes every server end, so that handles opened
// before fail and the path no longer opens. A HID call finds its device from the handle's pipe
// name, which the platform reports only while the connection stands.

#include <windows.h>
#include <dbt.h>

#include <cstdio>

#include "platform/Trace_win.h"
#include "sim/SimState_win.h"

namespace sim {

namespace {

constexpr int kSpareListeners = 8;
constexpr DWORD kPipeBufferSize = 4096;

void CloseConn(Conn* c);
void StartRead(Conn* c);
void Replenish(Device* d);

void DeleteWhenDone(Conn* c) {
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
  platform::ScopedFileHandle h(CreateNamedPipeW(d->PipePath.c_str(), access | FILE_FLAG_OVERLAPPED,
                                                PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                                                kPipeBufferSize, kPipeBufferSize, 0, nullptr));
  // Without a listener the next open of the device fails; the trace says why.
  if (!h) {
    platform::Trace("simulator: no pipe for %s (error %lu)", d->Name.c_str(), GetLastError());
    return;
  }
  if (!CreateIoCompletionPort(h.Get(), g_sim.Port, 0, 0)) {
    platform::Trace("simulator: pipe of %s not on the completion port (error %lu)", d->Name.c_str(), GetLastError());
    return;
  }
  auto* c = new Conn;
  c->Dev = d;
  c->H = h.Release();
  c->ConnectOp.Kind = PipeOp::opConnect;
  c->ConnectOp.C = c;
  c->ReadOp.Kind = PipeOp::opRead;
  c->ReadOp.C = c;
  d->Conns.push_back(c);
  StartConnect(c);
  DeleteWhenDone(c);
}

// Whether the program has this instance open, asked of the pipe itself: a connect's completion
// may reach its OVERLAPPED only after the program's open has returned (under load, Wine delivers
// it later), so the OVERLAPPED alone can call a taken instance free. A listening end cannot be
// peeked (ERROR_BAD_PIPE); one a client holds can.
bool ClientAttached(const Conn* c) {
  const DWORD saved = GetLastError();  // the HID entries' callers see the error of their own call
  const bool attached = PeekNamedPipe(c->H, nullptr, 0, nullptr, nullptr, nullptr) != FALSE;
  SetLastError(saved);
  return attached;
}

}  // namespace

bool Listening(const Conn* c) {
  if (c->Connected || c->Closed) return false;
  const DWORD saved = GetLastError();
  const bool listening = !PeekNamedPipe(c->H, nullptr, 0, nullptr, nullptr, nullptr) && GetLastError() == ERROR_BAD_PIPE;
  SetLastError(saved);
  return listening;
}

namespace {

// Keeps a few unconnected instances ready, so that the program's opens do not find the pipe busy.
// The pump refills after each connection; every HID call on the device refills too, so that a
// program opening and closing in a tight loop does not outrun the pump.
void Replenish(Device* d) {
  for (int guard = 0; guard < 2 * kSpareListeners; ++guard) {
    int spare = 0;
    // A connection whose completion the pump has not taken yet is no longer free.
    for (Conn* c : d->Conns) spare += !HasOverlappedIoCompleted(&c->ConnectOp.Ov) && Listening(c);
    if (spare >= kSpareListeners) return;
    const std::size_t before = d->Conns.size();
    NewListener(d);
    if (d->Conns.size() == before) return;
  }
}

// ---------------------------------------------------------------------------------------------
// Device-change notification

BOOL CALLBACK PostDeviceChange(HWND wnd, LPARAM) {
  DWORD pid = 0;
  GetWindowThreadProcessId(wnd, &pid);
  if (pid == GetCurrentProcessId()) PostMessageW(wnd, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  return TRUE;
}

// Only this process's windows: the simulated devices exist for nobody else.
void BroadcastDeviceChange() { EnumWindows(PostDeviceChange, 0); }

}  // namespace

Device* Find(const std::string& name) {
  auto it = g_sim.Devices->find(name);
  return it == g_sim.Devices->end() ? nullptr : it->second.get();
}

Device* FindPlugged(const char* name) {
  if (!name) return nullptr;
  Device* d = Find(name);
  return d && d->Plugged ? d : nullptr;
}

DWORD WINAPI Pump(LPVOID) {
  for (;;) {
    DWORD n = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* ov = nullptr;
    const BOOL ok = GetQueuedCompletionStatus(g_sim.Port, &n, &key, &ov, INFINITE);
    if (!ov) {
      if (!ok && GetLastError() != WAIT_TIMEOUT) Sleep(1);
      continue;
    }
    auto* op = reinterpret_cast<PipeOp*>(ov);
    platform::AutoLock g(g_sim.Lock);
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
    DeleteWhenDone(c);
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
  for (auto& [key, d] : *g_sim.Devices)
    if (d->Plugged && _wcsicmp(d->PipeShort.c_str(), name.c_str()) == 0) {
      Replenish(d.get());
      return d.get();
    }
  error = ERROR_DEVICE_NOT_CONNECTED;
  return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Plugging

bool Plug(const PlugRequest& r) {
  if (r.Name.empty()) return false;
  {
    platform::AutoLock g(g_sim.Lock);
    Device* d = Find(r.Name);
    if (d && d->Plugged) return false;
    if (!d) {
      auto fresh = std::make_unique<Device>();
      fresh->Name = r.Name;
      fresh->DevInst = g_sim.NextDevInst++;  // kept across replugs, as the platform keeps a device's node
      d = fresh.get();
      (*g_sim.Devices)[r.Name] = std::move(fresh);
    }
    d->PlugSeq = g_sim.NextPlugSeq++;
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
    d->Receiver = r.VendorID == kReceiverVendorID && r.ProductID == kReceiverProductID;
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
    platform::AutoLock g(g_sim.Lock);
    Device* d = Find(name);
    if (!d || !d->Plugged) return false;
    d->Plugged = false;
    while (!d->Conns.empty()) {
      Conn* c = d->Conns.back();
      CloseConn(c);
      DeleteWhenDone(c);
    }
  }
  BroadcastDeviceChange();
  return true;
}

namespace {

// Takes up connections the program has made whose completion the pump has not seen yet.
void TakeUpConnections(Device* d) {
  const std::vector<Conn*> conns = d->Conns;
  for (Conn* c : conns)
    if (!c->Connected && !c->Closed &&
        ((HasOverlappedIoCompleted(&c->ConnectOp.Ov) && c->ConnectOp.Ov.Internal == 0) || ClientAttached(c)))
      Connected(c);
}

}  // namespace

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

}  // namespace sim
