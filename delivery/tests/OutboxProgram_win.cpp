// A program with the outbox as the product has it, for the tests that need processes of their own.
// Its outbox is the product's: <local application data>\OutboxProgram.Kestrum\outbox\.
//   deliver PORT   one automatic upload of a report to 127.0.0.1:PORT; exit 0 when it failed and
//                  was kept
//   send SECONDS   a window that waits for input and the outbox sender started as the program's
//                  start starts it; exit 0 once the outbox is empty, 1 at the time limit
//   store          stores entries with a large attachment until it is killed
#include <winsock2.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "crash/KestrumException_win.h"
#include "crash/settings/KestrumSettings_win.h"
#include "delivery/KestrumDeliver_win.h"
#include "delivery/KestrumOutbox_win.h"

namespace {

const char kReport[] =
    "date/time         : 2026-12-10, 19:44:02, 90ms\r\n"
    "computer name     : KELVANE-PC\r\n"
    "executable        : C:\\Programme\\Kelvane\\Kelvane.exe\r\n"
    "version           : 1.0.1.0\r\n"
    "callstack crc     : $0532dc2e, $344a083c, $344a083c\r\n"
    "exception number  : 1\r\n"
    "exception class   : EOutboxProgram\r\n"
    "exception message : sent from the outbox\r\n"
    "\r\n"
    "main thread ($a4):\r\n"
    "00403700 +008 OutboxProgram.exe uMain 176 +2 TFormMain.btOutboxClick(TObject*)\r\n";

std::string TempFile(const char* name) {
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  return std::string(temp) + name + std::to_string(GetCurrentProcessId());
}

int Deliver(kestrum::TIZQSettings* s, int port) {
  s->SetUploadViaHttp(true);
  s->SetHttpServer("http://127.0.0.1/upload");
  s->SetHttpPort(static_cast<std::uint32_t>(port));
  s->SetMailViaMapi(false);
  s->SetMailViaMailto(false);
  s->SetBugReportFile(TempFile("outbox-program-report"));
  const std::uint8_t result = delivery::DeliverBugReport(kReport, nullptr, nullptr, true, false, s, false, nullptr);
  DeleteFileA(TempFile("outbox-program-report").c_str());
  return result == delivery::kDeliveryFailed && delivery::ReadOutbox(delivery::DefaultOutboxFolder()).size() == 1 ? 0 : 1;
}

int SendWhileRunning(int seconds) {
  HWND window = CreateWindowExA(0, "STATIC", "Outbox program", WS_OVERLAPPEDWINDOW, 10, 10, 200, 80, nullptr, nullptr, nullptr, nullptr);
  ShowWindow(window, SW_SHOWNOACTIVATE);
  delivery::StartOutboxSender();
  SetTimer(window, 1, 100, nullptr);
  const DWORD end = GetTickCount() + static_cast<DWORD>(seconds) * 1000;
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (msg.message == WM_TIMER) {
      if (delivery::ReadOutbox(delivery::DefaultOutboxFolder()).empty()) return 0;
      if (static_cast<int>(GetTickCount() - end) > 0) return 1;
    }
    DispatchMessageA(&msg);
  }
  return 1;
}

int StoreForEver() {
  const std::string big = TempFile("outbox-program-big");
  {
    std::ofstream out(big, std::ios::binary);
    const std::string block(1 << 20, 'k');
    for (int i = 0; i < 4; ++i) out << block;
  }
  for (;;) {
    delivery::OutboxEntry e;
    e.reportId = kestrum::NewReportId();
    e.created = delivery::OutboxNow();
    e.httpUrl = "http://127.0.0.1/upload";
    e.port = 9;
    e.files = {{"bugreport.txt", "BugReport"}};
    delivery::StoreInOutbox(delivery::DefaultOutboxFolder(), e, {big}, {1000, 1u << 30, 30});
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  auto* settings = new kestrum::TIZQSettings(GetModuleHandleA(nullptr), true);
  kestrum::SetMainSettings(settings);
  if (mode == "deliver" && argc == 3) return Deliver(settings, std::atoi(argv[2]));
  if (mode == "send" && argc == 3) return SendWhileRunning(std::atoi(argv[2]));
  if (mode == "store") return StoreForEver();
  return 2;
}
