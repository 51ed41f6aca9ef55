#include "delivery/KestrumDelivery_win.h"

#include "crash/KestrumDeliveryHooks_win.h"
#include "delivery/KestrumAssistant_win.h"
#include "delivery/KestrumBitmap_win.h"
#include "delivery/KestrumBugReportFile_win.h"
#include "delivery/KestrumDeliver_win.h"
#include "delivery/KestrumPrint_win.h"
#include "delivery/KestrumProgress_win.h"

namespace delivery {

void InstallDelivery() {
  kestrum::DeliveryHooks hooks;
  hooks.saveReport = SaveExceptionReport;
  hooks.sendReport = SendExceptionReport;
  hooks.printReport = PrintExceptionReport;
  hooks.copyToClipboard = kestrum::CopyTextToClipboard;
  hooks.runAssistant = RunExceptionAssistant;
  hooks.takeScreenShot = TakeExceptionScreenShot;
  hooks.createProgressWindow = CreateProgressWindow;
  hooks.decodePassword = DecodeStoredPassword;
  kestrum::InstallDeliveryHooks(hooks);
}

}  // namespace delivery
