#pragma once
// The Windows side of the exception classes: hardware faults become EExternal exceptions (the
// switch is in CrashHooks_win.h, with the other seams of the crash-report component), and the
// neutral exception record converts to and from the system's.

#include <windows.h>

#include <exception>
#include <string>

#include "platform/CrashHooks_win.h"
#include "platform/Exceptions.h"

TExceptionRecord FromExceptionRecord(const EXCEPTION_RECORD& r);
// The processor context an EExternal carries, or null when it carries none.
const CONTEXT* ContextOf(const EExternal& e);

// File name without folder of the loaded module that contains address, "" when none does.
std::string ModuleNameOf(const void* address);

// The exception object for an operating-system exception (the class by code), carrying the
// record and, when given, the context: what a last-chance handler needs when the fault was not
// converted.
std::exception_ptr CreateExternalException(const EXCEPTION_RECORD& record, const CONTEXT* context);

// Shows ExceptionDisplayText in a task-modal error box captioned with the program's title
// (the executable's name without extension when title is empty).
void ShowExceptionMessageBox(const std::exception_ptr& e, const std::string& title = "");
std::string ProgramTitle();
