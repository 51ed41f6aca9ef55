// The worker on the simulated receiver: arrival, polling with repeat suppression, the commands
// and their report bytes, unplugging, and the two threads meeting on the device.
#include "app/uHID_win.h"

#include <gtest/gtest.h>

#include "app/tests/Listing.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "sim/SimControl.h"
#include "testing/Dispatch_win.h"
#include "testing/TimeScale_win.h"

namespace {

using namespace listing;
using testsupport::Dispatch;

struct RecordingView : IReceiverView {
  Lines Log;
  std::string DeviceStatus = "Device: disconnected";
  std::string Version = "Vexa Version: unknown";
  void AddLogLine(const std::string& line) override { Log.push_back(line); }
  void SetStatus(const std::string& d, const std::string& v) override {
    DeviceStatus = d;
    Version = v;
  }
};

KelvaneSimDevice Receiver(const char* name, const char* version = "1.2", USHORT vid = kReceiverVendorID) {
  KelvaneSimDevice d{};
  d.Name = name;
  d.VendorID = vid;
  d.ProductID = kReceiverProductID;
  d.FirmwareVersion = version;
  return d;
}

int Plug(const KelvaneSimDevice& d) { return KelvaneSimPlug(&d); }

bool PumpUntil(const std::function<bool()>& cond, DWORD timeoutMs = 5000) {
  const DWORD start = GetTickCount();
  for (;;) {
    Dispatch();
    if (cond()) return true;
    if (GetTickCount() - start > testsupport::Scaled(timeoutMs)) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
  }
}

void Pump(DWORD ms) { PumpUntil([] { return false; }, ms); }


class Worker : public ::testing::Test {
 protected:
  void SetUp() override {
    InitUIThread();
    KelvaneSimReset();
    char tmp[MAX_PATH];
    GetTempPathA(MAX_PATH, tmp);
    logPath = std::string(tmp) + "kelvane-uhid-" + std::to_string(GetCurrentProcessId()) + ".log";
    DeleteFileA(logPath.c_str());
    KelvaneSimSetLog(logPath.c_str());
  }
  void TearDown() override {
    Close();
    KelvaneSimSetLog(nullptr);
    KelvaneSimReset();
    Dispatch();
    DeleteFileA(logPath.c_str());
  }

  void Open(int delayMs = 5, std::int32_t repeatCounter = 0) {
    worker = new THIDThread(&view);
    worker->SetVendorID(kReceiverVendorID);
    worker->SetProductID(kReceiverProductID);
    worker->SetPoolingDelay(delayMs);
    worker->RepeatCounter = repeatCounter;
    worker->Start();
  }
  void Close() {
    if (!worker) return;
    worker->Terminate();
    worker->WaitFor();
    delete worker;
    worker = nullptr;
  }
  void Post(LPARAM code, WPARAM arg = 0) { PostThreadMessageA(worker->ThreadID(), kHidCommandMessage, arg, code); }
  bool Connected() { return PumpUntil([&] { return view.DeviceStatus == "Device: connected"; }); }
  bool LogHas(size_t n) { return PumpUntil([&] { return view.Log.size() >= n; }); }
  Lines LogLines() {
    Lines out;
    std::ifstream in(logPath);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
  }
  // Every set of the simulator's log, as "ID BYTES".
  Lines Sets() {
    Lines out;
    for (const std::string& line : LogLines()) {
      size_t p = line.find(" set ");
      if (p != std::string::npos) out.push_back(line.substr(p + 5));
    }
    return out;
  }
  int VersionGets() {
    int n = 0;
    for (const std::string& line : LogLines()) n += line.find(" get 7 ") != std::string::npos;
    return n;
  }

  RecordingView view;
  THIDThread* worker = nullptr;
  std::string logPath;
};

TEST_F(Worker, ArrivalShowsTheReceiverAndItsVersion) {
  Open();
  EXPECT_EQ(view.DeviceStatus, "Device: disconnected");
  ASSERT_EQ(Plug(Receiver("rx", "1.2")), 1);
  ASSERT_TRUE(Connected());
  EXPECT_EQ(view.Version, "Vexa Version: 1.2");
  EXPECT_TRUE(view.Log.empty());
}

TEST_F(Worker, ReceiverPluggedBeforeOpeningIsFoundByTheFirstScan) {
  ASSERT_EQ(Plug(Receiver("rx", "ABCDEFGHIJK")), 1);
  Open();
  ASSERT_TRUE(Connected());
  EXPECT_EQ(view.Version, "Vexa Version: ABCDEFGHIJK");
}

TEST_F(Worker, FramesAreListedWithHeldKeysThinnedOut) {
  ASSERT_EQ(Plug(Receiver("rx")), 1);
  Open();
  ASSERT_TRUE(Connected());
  KelvaneSimQueueFrame("rx", 2, 0x00FF, 0x0046, 0);
  for (int i = 0; i < 6; ++i) KelvaneSimQueueFrame("rx", 2, 0x00FF, 0x0046, 1);
  KelvaneSimQueueFrame("rx", 14, 0x1234, 0xABCD, 0x80);  // no protocol name
  KelvaneSimQueueFrame("rx", 0, 0x1111, 0x2222, 0);      // "no code": not listed
  KelvaneSimQueueFrame("rx", 7, 0x0000, 0x0003, 1);      // unmarked came before: counts on
  const Lines held = {"VEXA_NEC_PROTOCOL", "Adress: 0x00FF", "Command: 0x0046"};
  const Lines expected = Listing("IR Code received:", held + Lines{"Flags: 0x00"}) +
                         Listing("IR Code received:", held + Lines{"Flags: 0x01"}) +  // 5th repetition
                         Listing("IR Code received:", held + Lines{"Flags: 0x01"}) +  // and the 6th
                         Listing("IR Code received:", {"Adress: 0x1234", "Command: 0xABCD", "Flags: 0x80"});
  ASSERT_TRUE(LogHas(expected.size()));
  Pump(100);
  // The unmarked protocol-14 frame reset the count, so the RC5 repetition after it is hidden.
  EXPECT_EQ(view.Log, expected);
}

TEST_F(Worker, RepeatCounterWrapsAt32Bits) {
  ASSERT_EQ(Plug(Receiver("rx")), 1);
  Open(5, INT_MAX - 1);
  ASSERT_TRUE(Connected());
  for (int i = 0; i < 3; ++i) KelvaneSimQueueFrame("rx", 1, 0x0001, static_cast<uint16_t>(0x10 + i), 1);
  // 2^31 - 1: shown; wrapped negative: hidden; reset from negative: shown.
  const Lines expected = Listing("IR Code received:", {"VEXA_SIRCS_PROTOCOL", "Adress: 0x0001", "Command: 0x0010", "Flags: 0x01"}) +
                         Listing("IR Code received:", {"VEXA_SIRCS_PROTOCOL", "Adress: 0x0001", "Command: 0x0012", "Flags: 0x01"});
  ASSERT_TRUE(LogHas(expected.size()));
  Pump(100);
  EXPECT_EQ(view.Log, expected);
  EXPECT_EQ(worker->RepeatCounter, 0);
}

TEST_F(Worker, CommandsSendTheirReportsAndShowTheAnswers) {
  ASSERT_EQ(Plug(Receiver("rx")), 1);
  KelvaneSimSetTrained("rx", 2, 0x00FF, 0x0045, 0);
  Open();
  ASSERT_TRUE(Connected());

  Post(CmdWritePowerOn, 1);
  Post(CmdReadPowerOn);
  Post(CmdWritePollingTime, 0xFB50);
  Post(CmdReadTrainedCode);
  Post(CmdClearTrainedCode);
  Post(CmdReadTrainedCode);
  Post(CmdWritePowerOn, 0);
  Post(CmdReadPowerOn);
  // Not commands: another message, and codes that mean nothing.
  PostThreadMessageA(worker->ThreadID(), WM_USER + 5, 0, CmdReadPowerOn);
  Post(0);
  Post(1);
  Post(8);
  Post(CmdReadPowerOn);

  const Lines expected = Lines{"PowerOn is Enabled", ""} +
                         Listing("Trained IR Code:", {"VEXA_NEC_PROTOCOL", "Adress: 0x00FF", "Command: 0x0045", "Flags: 0x00"}) +
                         Listing("Trained IR Code:", {"Adress: 0x0000", "Command: 0x0000", "Flags: 0x00"}) +
                         Lines{"PowerOn is Disabled", "", "PowerOn is Disabled", ""};
  ASSERT_TRUE(LogHas(expected.size()));
  Pump(100);
  EXPECT_EQ(view.Log, expected);
  EXPECT_EQ(Sets(), (Lines{"4 ok 04 01", "6 ok 06 50 fb", "5 ok 05 00 00 00 00 00 00", "4 ok 04 00"}));
}

TEST_F(Worker, WrittenTrainedCodeIsReadBackAndListed) {
  ASSERT_EQ(Plug(Receiver("rx")), 1);
  Open();
  ASSERT_TRUE(Connected());
  const app::CommandWords command = app::WriteTrainedCodeCommand(TIRData{2, 0x00FF, 0x0045, 0x01});
  Post(command.Code, command.Argument);
  const Lines expected =
      Listing("Trained IR Code:", {"VEXA_NEC_PROTOCOL", "Adress: 0x00FF", "Command: 0x0045", "Flags: 0x01"});
  ASSERT_TRUE(LogHas(expected.size()));
  Pump(100);
  EXPECT_EQ(view.Log, expected);
  // The write and the read-back in one pass, before that pass polls.
  Lines exchanges;
  for (const std::string& line : LogLines()) {
    const size_t p = line.find(" get 1 ") != std::string::npos ? std::string::npos : line.find(" ", line.find(" ") + 1);
    exchanges.push_back(p == std::string::npos ? "poll" : line.substr(p + 1));
  }
  const auto set = std::find(exchanges.begin(), exchanges.end(), "set 5 ok 05 02 ff 00 45 00 01");
  ASSERT_NE(set, exchanges.end());
  ASSERT_NE(set + 1, exchanges.end());
  EXPECT_EQ(set[1], "get 3 ok 03 02 ff 00 45 00 01");
}

TEST_F(Worker, PowerOnStateShownIsWhatTheReceiverAnswers) {
  ASSERT_EQ(Plug(Receiver("rx")), 1);
  Open();
  ASSERT_TRUE(Connected());
  Post(CmdWritePowerOn, 1);
  ASSERT_TRUE(PumpUntil([&] { return !Sets().empty(); }));
  EXPECT_TRUE(worker->PowerOnEnabled);
  KelvaneSimSetPowerOn("rx", 0);  // the receiver changed its mind
  Post(CmdReadPowerOn);
  ASSERT_TRUE(LogHas(2));
  EXPECT_EQ(view.Log[0], "PowerOn is Disabled");
}

TEST_F(Worker, TrainedCodeIsListedBeforeTheCodeOfTheSamePass) {
  ASSERT_EQ(Plug(Receiver("rx")), 1);
  KelvaneSimSetTrained("rx", 3, 0x0707, 0x0002, 0);
  Open(300);
  ASSERT_TRUE(Connected());
  // Right after a pass has listed a code the worker sleeps 300 ms: both land in the next pass.
  KelvaneSimQueueFrame("rx", 7, 0, 1, 0);
  ASSERT_TRUE(LogHas(6));
  Post(CmdReadTrainedCode);
  KelvaneSimQueueFrame("rx", 7, 0, 2, 0);
  ASSERT_TRUE(LogHas(18));
  const Lines tail(view.Log.begin() + 6, view.Log.end());
  EXPECT_EQ(tail, Listing("Trained IR Code:", {"VEXA_SAMSUNG_PROTOCOL", "Adress: 0x0707", "Command: 0x0002", "Flags: 0x00"}) +
                      Listing("IR Code received:", {"VEXA_RC5_PROTOCOL", "Adress: 0x0000", "Command: 0x0002", "Flags: 0x00"}));
}

TEST_F(Worker, CommandsPostedRightAfterStartOrWithoutDeviceWait) {
  Open();
  Post(CmdReadPowerOn);  // the queue exists as soon as Start has returned
  Pump(100);
  ASSERT_EQ(Plug(Receiver("rx")), 1);
  KelvaneSimSetPowerOn("rx", 1);
  ASSERT_TRUE(Connected());
  ASSERT_TRUE(LogHas(2));
  EXPECT_EQ(view.Log, (Lines{"PowerOn is Enabled", ""}));
}

TEST_F(Worker, VersionRead) {
  struct Case {
    const char* name;
    int faults, mode;
    const char* shown;
  } cases[] = {
      {"wrong ID three times, then answered", 3, KelvaneSimVersionWrongID, "Vexa Version: 1.2"},
      {"failing three times, then answered", 3, KelvaneSimVersionFail, "Vexa Version: 1.2"},
      {"never answered", -1, KelvaneSimVersionFail, "Vexa Version: unknown"},
      {"always another ID", -1, KelvaneSimVersionWrongID, "Vexa Version: unknown"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KelvaneSimReset();
    ASSERT_EQ(Plug(Receiver("rx")), 1);
    KelvaneSimVersionFaults("rx", c.faults, c.mode);
    Open();
    ASSERT_TRUE(Connected());  // the bounded retry lets the arrival finish
    EXPECT_EQ(view.Version, c.shown);
    // The same through "Read Vexa Version": the worker gives up too and keeps polling.
    Post(CmdReadVersion);
    Pump(THIDThread::kVersionRetryLimitMs + 300);
    EXPECT_EQ(view.Version, c.shown);
    KelvaneSimQueueFrame("rx", 2, 1, 2, 0);
    EXPECT_TRUE(LogHas(1));
    Close();
    view = RecordingView{};
  }
}

TEST_F(Worker, UnplugAndReplug) {
  ASSERT_EQ(Plug(Receiver("rx", "1.2")), 1);
  ASSERT_EQ(Plug(Receiver("other", "9.9", 0x1234)), 1);
  Open();
  ASSERT_TRUE(Connected());
  // Another device going changes nothing.
  ASSERT_EQ(KelvaneSimUnplug("other"), 1);
  Pump(200);
  EXPECT_EQ(view.DeviceStatus, "Device: connected");
  const int versionReads = VersionGets();

  ASSERT_EQ(KelvaneSimUnplug("rx"), 1);
  ASSERT_TRUE(PumpUntil([&] { return view.DeviceStatus == "Device: disconnected"; }));
  EXPECT_EQ(view.Version, "Vexa Version: unknown");
  EXPECT_EQ(worker->Device, nullptr);

  ASSERT_EQ(Plug(Receiver("rx", "1.3")), 1);
  ASSERT_TRUE(Connected());
  EXPECT_EQ(view.Version, "Vexa Version: 1.3");
  EXPECT_GT(VersionGets(), versionReads);
}

TEST_F(Worker, SecondReceiverTakesOverAtTheNextArrival) {
  ASSERT_EQ(Plug(Receiver("first", "1.0")), 1);
  ASSERT_EQ(Plug(Receiver("second", "2.0")), 1);
  Open();
  ASSERT_TRUE(Connected());
  EXPECT_EQ(view.Version, "Vexa Version: 1.0");
  ASSERT_EQ(KelvaneSimUnplug("first"), 1);
  ASSERT_TRUE(PumpUntil([&] { return view.DeviceStatus == "Device: disconnected"; }));
  // Any arrival leads to a search of the whole list.
  ASSERT_EQ(Plug(Receiver("mouse", "5.0", 0x046D)), 1);
  ASSERT_TRUE(Connected());
  EXPECT_EQ(view.Version, "Vexa Version: 2.0");
}

TEST_F(Worker, ClosingWithTheReceiverInUseShowsItDisconnected) {
  ASSERT_EQ(Plug(Receiver("rx")), 1);
  Open();
  ASSERT_TRUE(Connected());
  Close();
  EXPECT_EQ(view.DeviceStatus, "Device: disconnected");
  EXPECT_EQ(view.Version, "Vexa Version: unknown");
  // The receiver was given back: a new worker takes it into use again.
  Open();
  ASSERT_TRUE(Connected());
}

TEST_F(Worker, ArrivalsUnplugsAndCommandsWhileThePassesRun) {
  Open(0);
  int plugs = 0;
  for (int round = 0; round < 300; ++round) {
    if (round % 3 == 0) {
      plugs += Plug(Receiver("rx"));
    }
    KelvaneSimQueueFrame("rx", 2, 1, static_cast<uint16_t>(round), 0);
    // Mostly the quick commands; now and then a version read, which an unplug may cut short.
    Post(round % 60 == 59 ? CmdReadVersion : static_cast<LPARAM>(2 + round % 5), round & 1);
    Dispatch();
    if (round % 3 == 2) KelvaneSimUnplug("rx");
    Dispatch();
  }
  EXPECT_EQ(plugs, 100);
  ASSERT_TRUE(PumpUntil([&] { return view.DeviceStatus == "Device: disconnected"; }));
  // Still working afterwards.
  ASSERT_EQ(Plug(Receiver("rx", "4.2")), 1);
  ASSERT_TRUE(PumpUntil([&] { return view.Version == "Vexa Version: 4.2"; }))
      << view.DeviceStatus << " / " << view.Version << " / device " << worker->Device << "\n" << [&] {
           const Lines all = LogLines();
           std::string tail;
           for (size_t k = all.size() > 40 ? all.size() - 40 : 0; k < all.size(); ++k) tail += all[k] + "\n";
           return tail;
         }();
}

}  // namespace
