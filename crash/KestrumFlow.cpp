#include "crash/KestrumFlow.h"

namespace kestrum {

ShowDecision DecideShow(const HandlingState& state) {
  ShowDecision d;
  if (state.handled) return d;
  d.registerAutoWork = state.autoSave || state.autoSend || state.autoClip;
  if (state.consoleProgram || state.webExtension) {
    if (state.showSetting == ssNothing) return d;
    if (state.consoleProgram) {
      d.path = ShowPath::show;
    } else if (state.hasReportBuffer) {
      d.path = ShowPath::copyToReportBuffer;
    }
    return d;
  }
  d.path = ShowPath::show;
  return d;
}

ShowLookDecision ChooseShowLook(const ShowLookInput& in) {
  // A console program has no boxes: it always writes its line, whatever the show setting.
  if (in.consoleProgram) return {ShowLook::consoleLine, in.autoShowBugRep || in.showBtnVis};
  switch (in.showSetting) {
    case ssFullBox: return {ShowLook::fullBox, false};
    case ssAssistant: return {in.assistantFound ? ShowLook::assistant : ShowLook::fullBox, false};
    case ssDetailBox: return {ShowLook::detailBox, false};
    case ssSimpleBox: return {ShowLook::simpleBox, false};
    case ssNothing: return {ShowLook::nothing, false};
  }
  // A value from a damaged settings resource: show the exception rather than hide it.
  return {ShowLook::fullBox, false};
}

EndDecision DecideEnd(const HandlingState& state, bool autoCloseOn, bool autoRestartOn) {
  EndDecision d;
  if (state.handled && state.canContinue) return d;
  // Without a box nobody chooses, so the rules do; a program that cannot continue never goes on.
  const bool automatic =
      !state.canContinue || state.showSetting == ssNothing || state.consoleProgram || state.webExtension;
  if (automatic) {
    if (autoCloseOn || (!state.canContinue && !autoRestartOn)) {
      return {eaCloseApplication, Ending::close, FinishMode::withWaiting};
    }
    if (autoRestartOn) return {eaRestartApplication, Ending::restart, FinishMode::withWaiting};
    d.action = eaContinueApplication;
  }
  if (!state.handled) d.finish = FinishMode::withoutWaiting;
  return d;
}

AutoWorkStep DecideAutoWork(bool complete, bool autoSend, bool autoClip, FirstCall& firstComplete) {
  AutoWorkStep step;
  if (!complete || !firstComplete()) return step;
  step.send = autoSend;
  step.copyToClipboard = autoClip;
  step.unregister = !autoClip;
  return step;
}

bool ReadCompleteReportFirst(bool criticalCallbackExists, bool completeHandlerExists, bool callHandlers) {
  return criticalCallbackExists || (completeHandlerExists && callHandlers);
}

bool ShouldAutoSave(bool autoSave, bool autoSaveIfNotSent, bool mailWasSent, FirstCall& firstSave) {
  return autoSave && !(autoSaveIfNotSent && mailWasSent) && firstSave();
}

}  // namespace kestrum
