#pragma once
// The worker thread: takes the receiver into use when the controller reports its arrival and
// polls it, one command and one code per pass.

#include "app/ReceiverLogic.h"
#include "app/VexaReports.h"
#include "hid/JvHidControllerClass_win.h"
#include "platform/Handles_win.h"
#include "platform/Thread_win.h"

#include <cstdint>
#include <string>

// Where the worker's display routines write: the main window, or a test's recorder. Called on
// the UI thread only.
class IReceiverView {
 public:
  virtual void AddLogLine(const std::string& line) = 0;
  virtual void SetStatus(const std::string& deviceStatus, const std::string& vexaVersion) = 0;
  // After the lines of a code listing: the code they list, whole, so that the listing can be used
  // as that code later whatever its text tells.
  virtual void CodeListed(const app::ListedCode&) {}

 protected:
  ~IReceiverView() = default;
};

// The command message the main window posts to the worker's thread queue: wParam is the
// command's argument, lParam the command code.
constexpr UINT kHidCommandMessage = 0x918;
enum : LPARAM {
  CmdReadPowerOn = 2,
  CmdReadTrainedCode = 3,
  CmdWritePowerOn = 4,
  CmdClearTrainedCode = 5,
  CmdWritePollingTime = 6,
  CmdReadVersion = 7,
  // Writes a whole code as the trained code and reads it back; the code travels in both words
  // (app::WriteTrainedCodeCommand).
  CmdWriteTrainedCode = app::kCmdWriteTrainedCode,
};

class THIDThread : public TThread {
 public:
  // A version read gives up after this long and the status shows the version as unknown.
  static constexpr DWORD kVersionRetryLimitMs = 2000;

  explicit THIDThread(IReceiverView* view);
  ~THIDThread() override;

  // Starts the thread and returns once its message queue exists, so that a command posted
  // right afterwards waits in the queue instead of being lost.
  void Start();

  int PoolingDelay() const { return USBPoolingDelay; }
  void SetPoolingDelay(int value) { USBPoolingDelay = value; }
  std::uint16_t VendorID() const { return HidVendorID; }
  void SetVendorID(std::uint16_t value) { HidVendorID = value; }
  std::uint16_t ProductID() const { return HidProductID; }
  void SetProductID(std::uint16_t value) { HidProductID = value; }

  // Controller events, on the UI thread.
  void HandleArrival(TJvHidDevice* HidDev);
  void HandleUnplug(TJvHidDevice* HidDev);

  // Fields in declaration order; public so that tests can look at them and
  // set the repeat counter directly.
  TJvHidDeviceController* JvHidDeviceController = nullptr;
  TJvHidDevice* Device = nullptr;
  THidReportIRCode IRReport{};
  THidReportPowerOn PowerOnReport{};
  THidReportIRPollingTime ReportIRPollingTime{};
  THidVexaVersion VexaVersion{};
  bool PowerOnEnabled = false;
  TIRData Last_IR_Buffer{};
  MSG Msg{};
  std::int32_t RepeatCounter = 0;
  std::int32_t USBPoolingDelay = 0;
  std::uint16_t HidVendorID = 0;
  std::uint16_t HidProductID = 0;

 protected:
  void Execute() override;

 private:
  enum class Show { Nothing, PowerOnState, TrainedCode, DeviceStatus };

  // Display routines: run on the UI thread while the worker waits.
  void ShowPowerOnState();
  void ShowReceivedCode();
  void ShowTrainedCode();
  void ShowDeviceStatus();
  void ShowListing(bool trained);

  // Report 7 until the receiver answers with its ID, bounded by kVersionRetryLimitMs. Called
  // with DeviceLock held.
  void ReadVersion();
  Show ExecuteCommand();  // DeviceLock held
  bool PollCode();        // DeviceLock held; true when the code is to be listed
  void ReleasePending();
  void WaitWhileUIWaits();

  IReceiverView* view_;
  // Device, IRReport, PowerOnReport and VexaVersion are shared by the UI thread (arrival and
  // unplug) and the worker (the pass). DeviceLock is held for every exchange with the device
  // and for every change of Device: so the arrival's exchanges never interleave with a pass,
  // and an unplugged device is dropped only once no exchange with it is under way. Nobody
  // holds it while waiting for the other thread (display routines run with it released), so
  // the two threads cannot wait for each other.
  platform::CriticalSection DeviceLock;
  volatile LONG uiWaiters_ = 0;
  bool VersionKnown = false;
  // An unplugged receiver waits here until the controller has finished with it.
  TJvHidDevice* PendingRelease = nullptr;
  bool destroying_ = false;
  platform::ScopedKernelHandle queueReady_;
};
