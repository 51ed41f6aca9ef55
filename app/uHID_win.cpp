#include "app/uHID_win.h"

#include "app/ReceiverLogic.h"

using namespace app;

namespace {

// The UI thread's side of DeviceLock. A critical section is not fair: a worker polling with no
// delay would take it again before a waiting UI thread ever got it. The worker therefore steps
// aside while the UI thread announces that it waits.
class UILocked {
 public:
  UILocked(platform::CriticalSection& section, volatile LONG& waiters) : lock_(Announced(section, waiters)) {
    InterlockedDecrement(&waiters);
  }

 private:
  static platform::CriticalSection& Announced(platform::CriticalSection& section, volatile LONG& waiters) {
    InterlockedIncrement(&waiters);
    return section;
  }

  platform::AutoLock lock_;
};

}  // namespace

THIDThread::THIDThread(IReceiverView* view) : view_(view) {
  queueReady_.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  JvHidDeviceController = new TJvHidDeviceController(nullptr);
  // Assigned directly: no device scan is started by this; the controller's own queued
  // notification does the first one.
  JvHidDeviceController->OnArrival = TJvHidPlugEvent::Of<&THIDThread::HandleArrival>(this);
  JvHidDeviceController->SetOnDeviceUnplug(TJvHidPlugEvent::Of<&THIDThread::HandleUnplug>(this));
}

THIDThread::~THIDThread() {
  // The thread base would wait only after this destructor; the loop must end before the
  // controller and the device go.
  if (Started() && !Finished()) {
    Terminate();
    WaitFor();
  }
  destroying_ = true;
  // Sends the unplug notification for a checked-out receiver: HandleUnplug drops it and the
  // status labels go back to "disconnected".
  delete JvHidDeviceController;
  JvHidDeviceController = nullptr;
  {
    platform::AutoLock lock(DeviceLock);
    if (Device) PendingRelease = Device;
    Device = nullptr;
  }
  delete PendingRelease;  // detached from the controller by now
  PendingRelease = nullptr;
}

void THIDThread::Start() {
  TThread::Start();
  WaitServingUI(queueReady_.Get(), 5000);
}

void THIDThread::HandleArrival(TJvHidDevice*) {
  if (Device) return;
  ReleasePending();
  {
    UILocked lock(DeviceLock, uiWaiters_);
    TJvHidDevice* dev = nullptr;
    if (!JvHidDeviceController->CheckOutByID(dev, HidVendorID, HidProductID)) return;
    Device = dev;
    PrepareReport(IRReport, ReportIRCode);
    Device->SetReportTypeParam(HidP_Feature);
    Device->SetUsagePageParam(1);
    Device->SetLinkCollectionParam(1);
    Device->SetUsageParam(0);
    // A code pending in the receiver now is dropped: the next pass zeroes the buffer again.
    Device->GetFeature(&IRReport, sizeof IRReport);
    ReadVersion();
    // Still under the lock: the next pass zeroes VexaVersion, and the version shown must be
    // the one just read.
    ShowDeviceStatus();
  }
}

void THIDThread::HandleUnplug(TJvHidDevice* HidDev) {
  if (!Device || Device != HidDev) return;
  {
    UILocked lock(DeviceLock, uiWaiters_);  // waits for an exchange of the worker to end
    PendingRelease = Device;
    Device = nullptr;
  }
  ShowDeviceStatus();
  // The controller still uses the object after this notification; checked in now, it is
  // destroyed once the change pass has finished with it. While the controller itself is being
  // destroyed the destructor releases it instead.
  if (!destroying_) ReleasePending();
}

void THIDThread::ReleasePending() {
  if (PendingRelease && JvHidDeviceController) JvHidDeviceController->CheckIn(PendingRelease);
}

void THIDThread::ReadVersion() {
  PrepareReport(VexaVersion, ReportVexaVersion);
  const DWORD start = GetTickCount();
  for (;;) {
    VexaVersion.ReportID = ReportVexaVersion;
    Sleep(1);
    const bool ok = Device->GetFeature(&VexaVersion, sizeof VexaVersion);
    if (VersionAnswerAccepted(ok, VexaVersion)) {
      VersionKnown = true;
      return;
    }
    if (GetTickCount() - start >= kVersionRetryLimitMs) {
      VersionKnown = false;
      return;
    }
  }
}

THIDThread::Show THIDThread::ExecuteCommand() {
  if (Msg.message != kHidCommandMessage) return Show::Nothing;
  if (const std::optional<TIRData> code =
          TrainedCodeOfCommand(static_cast<std::uint32_t>(Msg.wParam), static_cast<std::uint32_t>(Msg.lParam))) {
    IRReport.ReportID = ReportTrainedCodeSet;
    IRReport.Data = *code;
    Device->SetFeature(&IRReport, sizeof IRReport);
    // Read back, so that the log shows what the receiver holds now rather than what was sent.
    PrepareReport(IRReport, ReportTrainedCodeGet);
    Device->GetFeature(&IRReport, sizeof IRReport);
    Last_IR_Buffer = IRReport.Data;
    return Show::TrainedCode;
  }
  switch (Msg.lParam) {
    case CmdReadPowerOn:
      PowerOnReport.ReportID = ReportPowerOnGet;
      Device->GetFeature(&PowerOnReport, sizeof PowerOnReport);
      PowerOnEnabled = PowerOnReport.Data != 0;
      return Show::PowerOnState;
    case CmdReadTrainedCode:
      IRReport.ReportID = ReportTrainedCodeGet;
      Device->GetFeature(&IRReport, sizeof IRReport);
      Last_IR_Buffer = IRReport.Data;
      return Show::TrainedCode;
    case CmdWritePowerOn:
      PowerOnReport.ReportID = ReportPowerOnSet;
      PowerOnReport.Data = static_cast<std::uint8_t>(Msg.wParam);
      PowerOnEnabled = PowerOnReport.Data != 0;
      Device->SetFeature(&PowerOnReport, sizeof PowerOnReport);
      return Show::Nothing;
    case CmdClearTrainedCode:
      IRReport.ReportID = ReportTrainedCodeSet;  // the data was zeroed at the start of the pass
      Device->SetFeature(&IRReport, sizeof IRReport);
      return Show::Nothing;
    case CmdWritePollingTime:
      ReportIRPollingTime.ReportID = ReportPollingTime;
      ReportIRPollingTime.Data = static_cast<std::uint16_t>(Msg.wParam);
      Device->SetFeature(&ReportIRPollingTime, sizeof ReportIRPollingTime);
      return Show::Nothing;
    case CmdReadVersion:
      ReadVersion();
      return Show::DeviceStatus;
    default:
      return Show::Nothing;
  }
}

bool THIDThread::PollCode() {
  PrepareReport(IRReport, ReportIRCode);
  Device->GetFeature(&IRReport, sizeof IRReport);
  if (IRReport.Data.Protocol == 0) return false;
  if (!PassRepeatSuppression(RepeatCounter, IRReport.Data)) return false;
  Last_IR_Buffer = IRReport.Data;
  return true;
}

void THIDThread::Execute() {
  // The queue exists from here on; Start() waits for this.
  PeekMessageA(&Msg, nullptr, 0, 0, PM_NOREMOVE);
  Msg = MSG{};
  SetEvent(queueReady_.Get());

  while (!Terminated()) {
    Show show = Show::Nothing;
    bool haveDevice;
    WaitWhileUIWaits();
    {
      platform::AutoLock lock(DeviceLock);
      haveDevice = Device != nullptr;
      if (haveDevice) {
        IRReport = THidReportIRCode{};
        PowerOnReport = THidReportPowerOn{};
        VexaVersion = THidVexaVersion{};
        if (PeekMessageA(&Msg, nullptr, 0, 0, PM_REMOVE)) show = ExecuteCommand();
        Msg = MSG{};
      }
    }
    switch (show) {
      case Show::PowerOnState: Synchronize([this] { ShowPowerOnState(); }); break;
      case Show::TrainedCode: Synchronize([this] { ShowTrainedCode(); }); break;
      case Show::DeviceStatus: Synchronize([this] { ShowDeviceStatus(); }); break;
      case Show::Nothing: break;
    }
    if (haveDevice) {
      bool list = false;
      WaitWhileUIWaits();
      {
        platform::AutoLock lock(DeviceLock);
        // The receiver may have been unplugged while the command's result was shown.
        if (Device) list = PollCode();
      }
      if (list) Synchronize([this] { ShowReceivedCode(); });
    }
    Sleep(static_cast<DWORD>(USBPoolingDelay > 0 ? USBPoolingDelay : 0));
  }
}

void THIDThread::WaitWhileUIWaits() {
  while (InterlockedCompareExchange(&uiWaiters_, 0, 0) != 0) Sleep(0);
}

void THIDThread::ShowPowerOnState() {
  view_->AddLogLine(PowerOnStateText(PowerOnEnabled));
  view_->AddLogLine("");
}

void THIDThread::ShowListing(bool trained) {
  for (const std::string& line : CodeListing(trained ? TrainedCodeHeading : ReceivedCodeHeading, Last_IR_Buffer)) view_->AddLogLine(line);
  view_->CodeListed({trained, Last_IR_Buffer});
}

void THIDThread::ShowReceivedCode() { ShowListing(false); }
void THIDThread::ShowTrainedCode() { ShowListing(true); }

void THIDThread::ShowDeviceStatus() {
  const bool connected = Device != nullptr;
  view_->SetStatus(DeviceStatusText(connected),
                   VersionKnown ? VexaVersionText(connected, VexaVersion) : VexaVersionText(false, VexaVersion));
}
