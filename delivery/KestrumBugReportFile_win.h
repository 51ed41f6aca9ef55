// Storing a finished report in the bug report file: the file's place, the save dialog, the
// exclusive open and the safe rewrite of KestrumBugReportFile.h.
#pragma once

#include <windows.h>

#include "crash/KestrumExceptionApi_win.h"
#include "crash/settings/KestrumSettings_win.h"
#include "delivery/KestrumBugReportFile.h"
#include "platform/Handles_win.h"

#include <string>

namespace delivery {

// How long a save waits for another writer (another thread or process storing its report) to
// close the file before it reports the file as not saved.
inline constexpr DWORD kBugReportFileWaitMs = 3000;

// MakeAbsolutePath against the program's folder.
std::string MakeAbsolutePath(const std::string& path);
// Creates the missing folders of filePath's folder; true when that folder exists afterwards.
bool ForceFolder(const std::string& filePath);
// The user's desktop folder ending in "\"; the program's folder when the shell cannot tell.
std::string GetDesktopFolder();
// True while the loader lock or the process-environment lock is held by a thread, asked every
// 10 ms for at most limitMs: a dialog opened then could wait for that lock for ever.
bool DialogWouldBlock(DWORD limitMs);

enum class StoreResult {
  kStored,
  kNotOpened,   // in use beyond the wait, read-only, no rights, bad name, folder not made
  kNotWritten,  // a read or write failed; the stored reports are as they were
};
// Stores report in the file at path (absolute) under rules, waiting up to waitMs for another
// writer. plan, when given, receives what was decided.
StoreResult StoreBugReport(const std::string& path, const std::string& report, const StoreRules& rules,
                           DWORD waitMs = kBugReportFileWaitMs, StorePlan* plan = nullptr);

// The rules as the settings give them.
StoreRules StoreRulesOf(kestrum::IZQSettings* settings);

// Stores the complete report bugReport. fileName: an explicit file, "" for the configured one.
// silent: no dialog, the configured name made absolute; otherwise the user picks the file in the
// save dialog owned by parentWindow. True only when the report was written whole; the caller marks
// the report saved (MailWasSaved) for a silent save into the configured file.
bool SaveBugReportToFile(const std::string& fileName, const std::string& bugReport, HWND parentWindow,
                         kestrum::IZQSettings* settings, bool silent);

// Held while a silent save writes the configured file and marks the report saved, and while a
// delivery copies that file and asks whether its report is in it already: an exception's automatic
// save and automatic send run at the same time, and the copy must hold the report exactly once.
platform::CriticalSection& ConfiguredFileLock();

// The crash flow's save hook: the box's save button asks for the file (ask), the automatic save
// writes the configured file silently, the minidump beside it, and marks the report saved only
// when it was written whole.
void SaveExceptionReport(kestrum::IZQException* exception, HWND parentWindow, bool ask);

}  // namespace delivery
