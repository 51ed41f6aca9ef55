// The decisions of handling one exception once the handlers have had their say: whether the
// automatic work is set up, how the exception is shown, and whether the program then goes on,
// restarts or closes; and when the automatic send, copy and save happen. Inputs are plain values
// (the rule results of AutoClose and AutoRestart come from AutoActionOn), so the reporting thread
// and the tests feed them the same way.
#pragma once

#include "crash/KestrumExceptTypes.h"
#include "crash/settings/KestrumSettingsTypes.h"

#include <atomic>
#include <optional>

namespace kestrum {

struct HandlingState {
  bool handled = false;      // a handler took the exception
  bool canContinue = true;
  TZQShowSetting showSetting = ssFullBox;
  bool consoleProgram = false;  // the runtime's console flag is set and the program runs as a console program
  bool webExtension = false;
  bool hasReportBuffer = false;  // the web server's request gave a buffer for the finished report
  bool autoSave = false, autoSend = false, autoClip = false;
};

// --- Before showing.
enum class ShowPath { none, show, copyToReportBuffer };

struct ShowDecision {
  bool registerAutoWork = false;  // the automatic-work callback, as a critical callback
  ShowPath path = ShowPath::none;
  bool operator==(const ShowDecision&) const = default;
};

ShowDecision DecideShow(const HandlingState& state);

// --- What Show presents.
enum class ShowLook { nothing, fullBox, assistant, detailBox, simpleBox, consoleLine };

struct ShowLookInput {
  TZQShowSetting showSetting = ssFullBox;
  bool assistantFound = false;  // ShowAssistant names a defined assistant
  bool consoleProgram = false;
  bool autoShowBugRep = false, showBtnVis = false;
};

struct ShowLookDecision {
  ShowLook look = ShowLook::nothing;
  bool appendReport = false;  // a console line is followed by an empty line and the complete report
  bool operator==(const ShowLookDecision&) const = default;
};

ShowLookDecision ChooseShowLook(const ShowLookInput& in);

// --- After showing. Evaluated again after Show: the box may have changed CanContinue and the rules.
enum class Ending { goOn, restart, close };
enum class FinishMode { none, withoutWaiting, withWaiting };

struct EndDecision {
  std::optional<TExceptAction> action;  // the action event fired for an automatic decision
  Ending ending = Ending::goOn;
  FinishMode finish = FinishMode::none;  // how the automatic work is finished before ending or going on
  bool operator==(const EndDecision&) const = default;
};

EndDecision DecideEnd(const HandlingState& state, bool autoCloseOn, bool autoRestartOn);

// --- The automatic work.

// True for the first call only, from any number of threads; it never turns true again.
class FirstCall {
 public:
  bool operator()() { return !taken_.exchange(true); }

 private:
  std::atomic<bool> taken_{false};
};

struct AutoWorkStep {
  bool send = false;             // fire eaSendBugReport and, unless handled, send in the background
  bool copyToClipboard = false;  // the complete report as plain text
  bool unregister = false;       // the callback has done its work
  bool operator==(const AutoWorkStep&) const = default;
};

// The callback runs on every change of the report; only the first call with a complete report
// acts, so a report that completes on two threads at once is sent once.
AutoWorkStep DecideAutoWork(bool complete, bool autoSend, bool autoClip, FirstCall& firstComplete);

// Finishing the automatic work reads the complete report first (which waits for it and so runs
// the callback) when something waits for the complete report.
bool ReadCompleteReportFirst(bool criticalCallbackExists, bool completeHandlerExists, bool callHandlers);

// The automatic save happens once per exception, and not at all when AutoSaveIfNotSent is set and
// the report was mailed. A skipped save does not use up the one save.
bool ShouldAutoSave(bool autoSave, bool autoSaveIfNotSent, bool mailWasSent, FirstCall& firstSave);

}  // namespace kestrum
