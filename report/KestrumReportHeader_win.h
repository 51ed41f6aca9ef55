// The header fields of a bug report that describe the machine, the process and the program: from
// "date/time" to "Kestrum version", in the report's order. The fields that describe the exception
// itself (plug-ins, "callstack crc", number, class, message) follow them and are the report's.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "report/KestrumFields.h"

namespace report {

struct SystemHeaderInput {
  SYSTEMTIME time{};                      // the exception's time stamp, local time
  std::int64_t componentStartMs = 0;      // performance counter in ms when the component started
  HMODULE componentModule = nullptr;      // the module that holds the component
  std::string versionVar;                 // the settings' version text; empty: the file's version
};

// The performance counter in milliseconds (the clock of "program up time").
std::int64_t CounterMilliseconds();

// Adds the fields in their order through SetContent. Each field is gathered on its own: one whose
// query fails or faults, or that does not apply here, comes out empty and is not stored; the
// others still come. Returns how many fields were gathered, empty ones included: the report
// places the fields added later by that count.
int AddSystemHeaderFields(FieldList& header, const SystemHeaderInput& input);

}  // namespace report
