// One trace item as the tracer hands it to the layout, for tests of the report and of readers of
// its text.
#pragma once

#include "report/KorbStackTrace.h"

namespace report::fixtures {

inline TStackItem Item(Addr addr, Addr start, const char* module, const char* unit, int line, int relLine, bool hasRelLine,
                       const char* function) {
  TStackItem i;
  i.Addr_ = addr;
  i.functionStart = start;
  i.relAddr = start != 0 && start < addr ? addr - start : 0;
  i.ModuleName = module;
  i.UnitName = unit;
  i.Line = line;
  i.relLine = relLine;
  i.hasRelLine = hasRelLine;
  i.FunctionName = function;
  return i;
}

}  // namespace report::fixtures
