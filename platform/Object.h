#pragma once
// Common root of the framework's objects (forms, controls, the application, threads), so that
// event handlers and the crash-report component get a sender or thread object whose class name
// can be read at run time.

#include <string>
#include <typeinfo>

#include "platform/Exceptions.h"

class TObject {
 public:
  virtual ~TObject() = default;
  // The dynamic class name, e.g. "TButton".
  std::string ClassName() const { return TypeName(typeid(*this)); }
};
