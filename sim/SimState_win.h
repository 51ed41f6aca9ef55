#pragma once
// The inside of the test double of HID.dll, shared by its units: the simulated devices and their
// pipe connections, the one state record of the DLL and the functions the units call across.
//
//   SimHid_win.cpp          the state record, start-up and the control interface (SimControl.h)
//   SimPipes_win.cpp        devices, their pipe connections, plugging and input reports
//   SimTimeline_win.cpp     scenario timelines, the feature-report log, the environment
//   SimEnumeration_win.cpp  the device enumeration the setup double serves
//   SimHidEntries_win.cpp   the HID entries and the export table
//
// Every device field and connection is guarded by the state's lock (g_sim.Lock, held through
// platform::AutoLock). The DLL links no library of ours but the dependency-free plumbing
// (handle owners, Wine paths, the trace).

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/Handles_win.h"
#include "sim/VexaFirmware.h"

namespace sim {

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


// Everything the DLL keeps, in one place. Made when the DLL loads and never freed: pipes and
// timelines outlive the layer's use of the library.
struct TSimState {
  CRITICAL_SECTION Lock;  // bare, so that the record has no destructor to run at exit
  std::map<std::string, std::unique_ptr<Device>>* Devices;  // made in DllMain, never freed
  HANDLE Port;  // the completion port of every pipe connection
  LARGE_INTEGER LoadTime, Frequency;
  DWORD NextDevInst = 0x1001;
  unsigned NextPlugSeq = 1;
  HANDLE LogFile = INVALID_HANDLE_VALUE;
  // A reset ends every timeline: each runs only while the generation it started in lasts.
  volatile LONG TimelineGeneration = 0;
};

extern TSimState g_sim;

struct PlugRequest {
  std::string Name;
  USHORT VendorID = kReceiverVendorID, ProductID = kReceiverProductID, Version = 0x0100;
  std::string Vendor, Product, Serial;
  std::vector<WCHAR> Languages{0x0409};
  bool LanguagesFail = false;
  bool NoAccess = false;
  USHORT InputLength = 9, OutputLength = 9, FeatureLength = 12;
  std::string FirmwareVersion = "1.0";
};

inline BOOLEAN Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

std::wstring Widen(const std::string& s);
// Milliseconds since the DLL was loaded.
std::int64_t Clock();

// SimPipes_win.cpp
Device* Find(const std::string& name);
Device* FindPlugged(const char* name);
bool Plug(const PlugRequest& r);
bool Unplug(const std::string& name);
void SendInput(Device* d, const std::uint8_t* bytes, std::size_t len);
// Whether the instance still waits for the program to open it (asked of the pipe itself).
bool Listening(const Conn* c);
// The device whose pipe this handle is connected to, while it is plugged.
Device* FromHandle(HANDLE h, DWORD& error);
DWORD WINAPI Pump(LPVOID);

// SimTimeline_win.cpp
int StartTimeline(const std::string& text, std::int64_t start, const char* source);
void LogExchange(const Device* d, bool set, std::uint8_t id, bool ok, const std::uint8_t* buf, ULONG len);
bool OpenLog(const wchar_t* path);
bool ReadWholeFile(const wchar_t* path, std::string& out);
// An environment variable; a Unix path in it is turned into a Windows one.
std::wstring Env(const wchar_t* name);

}  // namespace sim
