// TJvHidDeviceReadThread: the thread that reads a checked-out device's input reports.
#include "hid/JvHidControllerClass_win.h"

#include <algorithm>

#include "hid/JvHidShared_win.h"

using hid::RunningInLibrary;

jvhid_detail::TReadThreadGate::TReadThreadGate(bool direct) {
  if (direct) throw EControllerError("Direct creation of a TJvDeviceReadThread object is not allowed");
}

TJvHidDeviceReadThread::TJvHidDeviceReadThread(bool) : TReadThreadGate(true) {}

TJvHidDeviceReadThread::TJvHidDeviceReadThread(TJvHidDevice* dev) : TReadThreadGate(false), Device(dev) {
  Report.assign(dev->Caps().InputReportByteLength, 0);
}

void TJvHidDeviceReadThread::DoData() {
  Device->FData(Device, Report[0], Report.data() + 1, static_cast<std::uint16_t>(NumBytesRead - 1));
}

void TJvHidDeviceReadThread::DoDataError() {
  if (Device->FDataError) Device->FDataError(Device, FErr);
}

void TJvHidDeviceReadThread::Execute() {
  if (Report.empty()) {
    // A device without input reports: nothing to read, only the stop to wait for.
    while (!Terminated()) SleepEx(static_cast<DWORD>(Device->FThreadSleepTime), TRUE);
    return;
  }
  DWORD w = WAIT_IO_COMPLETION;
  while (!Terminated()) {
    w = WAIT_IO_COMPLETION;
    std::fill(Report.begin(), Report.end(), 0);
    if (!Device->ReadFileEx(Report.data(), static_cast<DWORD>(Report.size()), &DummyReadCompletion)) {
      FErr = GetLastError();
      if (Device->FDataError) {
        Synchronize([this] { DoDataError(); });
      } else {
        // Nobody hears of the failure: pause instead of spinning on a device that is gone.
        SleepEx(static_cast<DWORD>(Device->FThreadSleepTime), TRUE);
      }
      continue;
    }
    do {
      w = SleepEx(static_cast<DWORD>(Device->FThreadSleepTime), TRUE);
    } while (!Terminated() && w != WAIT_IO_COMPLETION);
    if (Terminated()) break;
    NumBytesRead = Device->HidOverlappedReadResult();
    if (NumBytesRead > 0) {
      if (RunningInLibrary()) {
        DoData();
      } else {
        Synchronize([this] { DoData(); });
      }
    }
  }
  if (w != WAIT_IO_COMPLETION) {
    Device->CancelIO(omhRead);
    // The buffer belongs to this thread: let the cancelled read finish with it before it goes.
    for (int i = 0; i < 100 && SleepEx(10, TRUE) != WAIT_IO_COMPLETION; ++i) {
    }
  }
}
