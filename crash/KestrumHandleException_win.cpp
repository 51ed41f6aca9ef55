// The handling of one exception, from the exception object through its phases, the box or the
// automatic work, to continue, restart or close.
#include "crash/KestrumHandleException_win.h"

#include "crash/KestrumException_win.h"
#include "crash/KestrumPause_win.h"
#include "crash/KestrumPlainBox_win.h"
#include "crash/KestrumProgramEnd_win.h"
#include "crash/KestrumStartup_win.h"
#include "crash/KestrumTimeHistory_win.h"
#include "crash/KestrumTimeHistory.h"
#include "crash/KestrumWatchdog_win.h"
#include "platform/Handles_win.h"
#include "platform/Modules_win.h"

namespace kestrum {

namespace {

void AutoWorkCallback(bool complete, const std::string& report, IZQException* exception) {
  auto* e = static_cast<TIZQException*>(exception);
  const AutoWorkStep step = e->AutoWorkStepFor(complete);
  if (step.send) e->StartSending(nullptr, true);
  if (step.copyToClipboard) DeliveryHooksInUse().copyToClipboard(report);
  if (step.unregister) e->UnregisterBugReportCallback(AutoWorkCallback);
}

// Only the program's own copy of the component holds threads: a library's copy does not know
// the program's loop.
bool OwnModuleIsTheProgram() {
  static const bool own = platform::ModuleContaining(reinterpret_cast<const void*>(&OwnModuleIsTheProgram)) == GetModuleHandleA(nullptr);
  return own;
}

}  // namespace

void HandleException(const ExceptionFacts& facts, std::string* reportOut) {
  RemoveEndedTempFolders();
  ZQRef<IZQModuleSettings> settings(SettingsForAddress(facts.address));
  auto* e = new TIZQException(settings.get(), facts);
  struct Release {
    TIZQException* e;
    ~Release() { e->Release(); }
  } release{e};

  // A report of the process's state for an outside tool: built, never shown, counted or acted on
  // (a box would wait for a user that the tool does not have).
  if (IsStateReport(facts)) {
    e->SetShowPleaseWaitBox(false);
    e->SetListThreads(true);
    e->SetCreateBugReport(true);
    if (reportOut) *reportOut = e->GetBugReport(true);
    return;
  }

  e->SetPhase(epQuickFiltering);
  // No handler list has entries in this program: "handled" is decided by the type alone.
  const bool handled = facts.type == etHidden;
  if (!handled) {
    PushExceptionTimeNow();
  }
  e->SetPhase(epMainPhase);
  // The program's threads are held while the exception is shown; a freeze report holds nothing,
  // the main thread must be free to answer. Released however the handling ends (a fault that the
  // reporting thread's guard caught releases them there).
  struct Paused {
    bool on = false;
    ~Paused() {
      if (on) ReleasePausedThreads();
    }
  } paused;
  if (!handled && facts.type != etFrozen && e->GetSuspendThreads() && OwnModuleIsTheProgram()) {
    paused.on = true;
    PauseThreads(0);
  }
  // Now, while the screen still shows the program as the user saw it: a box or an assistant
  // would cover it. The object keeps the picture for them and for the sending.
  if (!handled && e->GetCreateScreenShot()) {
    if (IUnknown* shot = e->GetScreenShot()) shot->Release();
  }
  if (!handled) {
    e->SetPhase(epPostProcessing);
    HandlingState state;
    state.canContinue = e->GetCanContinue();
    state.showSetting = e->GetShowSetting();
    state.autoSave = e->GetAutoSave();
    state.autoSend = e->GetAutoSend();
    state.autoClip = e->GetAutoClipboard();
    const ShowDecision show = DecideShow(state);
    if (show.registerAutoWork) e->RegisterBugReportCallback(AutoWorkCallback, true);
    if (show.path == ShowPath::show) e->Show();

    // The box may have changed what happens next.
    state.canContinue = e->GetCanContinue();
    state.showSetting = e->GetShowSetting();
    const ExceptionTimes history = ExceptionHistory();
    const std::int64_t now = NowSeconds();
    const EndDecision end =
        DecideEnd(state, AutoActionOn(e->GetAutoClose(), history, now), AutoActionOn(e->GetAutoRestart(), history, now));
    if (end.finish != FinishMode::none) e->FinishAutoWork(end.finish == FinishMode::withWaiting);
    if (end.ending == Ending::close) CloseProgram();
    if (end.ending == Ending::restart) RestartProgram();
  }
  if (reportOut) *reportOut = e->GetBugReport(true);
  ResetWatchdogMisses();
}

}  // namespace kestrum
