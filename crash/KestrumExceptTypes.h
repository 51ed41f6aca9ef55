// Enumerations of an exception being handled, with the values other modules and handlers see.
#pragma once

#include <cstdint>

namespace kestrum {

enum TExceptType : std::int32_t { etNormal = 0, etFrozen = 1, etHidden = 2 };

enum TExceptPhase : std::int32_t {
  epNotHandledYet = 0,
  epQuickFiltering = 1,
  epMainPhase = 2,
  epPostProcessing = 3,
  epCompleteReport = 4,
};

enum TExceptAction : std::int32_t {
  eaSendBugReport = 0,
  eaSaveBugReport = 1,
  eaPrintBugReport = 2,
  eaSendBugReport2 = 3,
  eaSaveBugReport2 = 4,
  eaPrintBugReport2 = 5,
  eaShowBugReport = 6,
  eaHelp = 7,
  eaContinueApplication = 8,
  eaRestartApplication = 9,
  eaCloseApplication = 10,
};

enum TSyncType : std::int32_t { stDontSync = 0, stTrySyncCallOnSuccess = 1, stTrySyncCallAlways = 2 };

// Where an exception entered the component. Sources this program never produces keep their
// numbers so that the values stay those that handlers compare against.
enum TExceptSource : std::int32_t {
  esManual = 0,
  esAntiFreezeCheck = 1,
  esBcbAbnormalProgramTermination = 2,
  esSysUtilsShowException = 3,
  esApplicationShowException = 4,
  esApplicationHandleException = 5,
  esCGI = 6,
  esISAPI = 7,
  esHttpExtension = 8,
  esIntraweb = 9,
  esTThreadSynchronize = 10,
  esRuntimeError = 11,
  esInitializePackage = 12,
  esExceptProc = 13,
  esSystemExceptionHandler = 14,
  esHidden = 15,
  esThreadFrame = 16,
  esTThreadExecute = 17,
  esUnhandledFilter = 18,
};

}  // namespace kestrum
