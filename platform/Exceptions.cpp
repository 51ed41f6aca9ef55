#include "platform/Exceptions.h"

#include <cstdio>
#include <typeinfo>

#include "platform/Text.h"

#if defined(__GNUC__)
#include <cxxabi.h>

#include <cstdlib>
#endif

bool TExceptionClass::InheritsFrom(std::string_view className) const {
  for (const TExceptionClass* c = this; c; c = c->parent)
    if (className == c->name) return true;
  return false;
}

std::vector<std::string> Exception::ClassNames() const {
  std::vector<std::string> names;
  for (const TExceptionClass* c = &ClassType(); c; c = c->parent) names.emplace_back(c->name);
  return names;
}

std::string FormatText(std::string_view fmt, const std::vector<std::string>& args) {
  std::string out;
  out.reserve(fmt.size() + 32);
  size_t next = 0;
  for (size_t i = 0; i < fmt.size(); ++i) {
    if (fmt[i] == '%' && i + 1 < fmt.size()) {
      if (fmt[i + 1] == '%') {
        out += '%';
        ++i;
        continue;
      }
      if (fmt[i + 1] == 's' && next < args.size()) {
        out += args[next++];
        ++i;
        continue;
      }
    }
    out += fmt[i];
  }
  return out;
}

bool IsConvertedExceptionCode(std::uint32_t code) {
  switch (code) {
    case excode::AccessViolation:
    case excode::ArrayBoundsExceeded:
    case excode::FloatDenormalOperand:
    case excode::FloatDivideByZero:
    case excode::FloatInexactResult:
    case excode::FloatInvalidOperation:
    case excode::FloatOverflow:
    case excode::FloatStackCheck:
    case excode::FloatUnderflow:
    case excode::IntegerDivideByZero:
    case excode::IntegerOverflow:
    case excode::PrivilegedInstruction:
    case excode::StackOverflow:
    case excode::ControlCExit:
      return true;
    default:
      return false;
  }
}

std::string ExternalExceptionMessage(const TExceptionRecord& r, const std::string& moduleName) {
  switch (r.ExceptionCode) {
    case excode::AccessViolation: {
      if (r.NumberParameters < 2) return msg::SAccessViolationNoArg;
      const std::string access = r.ExceptionInformation[0] != 0 ? msg::SWriteAccess : msg::SReadAccess;
      const std::string at = platform::DollarHex(r.ExceptionAddress);
      const std::string target = platform::DollarHex(r.ExceptionInformation[1]);
      if (moduleName.empty()) return FormatText(msg::SAccessViolationArg2, {at, access, target});
      return FormatText(msg::SAccessViolationArg3, {at, moduleName, access, target});
    }
    case excode::ArrayBoundsExceeded:
      return msg::SRangeError;
    case excode::IntegerDivideByZero:
      return msg::SDivByZero;
    case excode::IntegerOverflow:
      return msg::SIntOverflow;
    case excode::FloatDivideByZero:
      return msg::SZeroDivide;
    case excode::FloatOverflow:
      return msg::SOverflow;
    case excode::FloatUnderflow:
    case excode::FloatDenormalOperand:
      return msg::SUnderflow;
    case excode::FloatInexactResult:
    case excode::FloatInvalidOperation:
    case excode::FloatStackCheck:
      return msg::SInvalidOp;
    case excode::PrivilegedInstruction:
      return msg::SPrivilege;
    case excode::StackOverflow:
      return msg::SStackOverflow;
    case excode::ControlCExit:
      return msg::SControlC;
    default: {
      char code[16];
      std::snprintf(code, sizeof code, "%08X", static_cast<unsigned>(r.ExceptionCode));
      return FormatText(msg::SExternalException, {code});
    }
  }
}

namespace {

template <class E>
[[noreturn]] void ThrowWithRecord(const TExceptionRecord& r, std::string message, std::vector<unsigned char> context) {
  E e(std::move(message));
  e.SetRecord(r, std::move(context));
  throw e;
}

}  // namespace

void ThrowExternalException(const TExceptionRecord& r, const std::string& moduleName,
                            std::vector<unsigned char> context) {
  std::string m = ExternalExceptionMessage(r, moduleName);
  switch (r.ExceptionCode) {
    case excode::AccessViolation:
      ThrowWithRecord<EAccessViolation>(r, std::move(m), std::move(context));
    case excode::ArrayBoundsExceeded:
      ThrowWithRecord<ERangeError>(r, std::move(m), std::move(context));
    case excode::IntegerDivideByZero:
      ThrowWithRecord<EDivByZero>(r, std::move(m), std::move(context));
    case excode::IntegerOverflow:
      ThrowWithRecord<EIntOverflow>(r, std::move(m), std::move(context));
    case excode::FloatDivideByZero:
      ThrowWithRecord<EZeroDivide>(r, std::move(m), std::move(context));
    case excode::FloatOverflow:
      ThrowWithRecord<EOverflow>(r, std::move(m), std::move(context));
    case excode::FloatUnderflow:
    case excode::FloatDenormalOperand:
      ThrowWithRecord<EUnderflow>(r, std::move(m), std::move(context));
    case excode::FloatInexactResult:
    case excode::FloatInvalidOperation:
    case excode::FloatStackCheck:
      ThrowWithRecord<EInvalidOp>(r, std::move(m), std::move(context));
    case excode::PrivilegedInstruction:
      ThrowWithRecord<EPrivilege>(r, std::move(m), std::move(context));
    case excode::StackOverflow:
      ThrowWithRecord<EStackOverflow>(r, std::move(m), std::move(context));
    case excode::ControlCExit:
      ThrowWithRecord<EControlC>(r, std::move(m), std::move(context));
    default:
      ThrowWithRecord<EExternalException>(r, std::move(m), std::move(context));
  }
}

std::exception_ptr MakeExternalExceptionPtr(const TExceptionRecord& record, const std::string& moduleName,
                                            std::vector<unsigned char> context) {
  try {
    ThrowExternalException(record, moduleName, std::move(context));
  } catch (...) {
    return std::current_exception();
  }
}

std::string TypeName(const std::type_info& t) {
#if defined(__GNUC__)
  int status = 0;
  char* demangled = abi::__cxa_demangle(t.name(), nullptr, nullptr, &status);
  if (status == 0 && demangled) {
    std::string s(demangled);
    std::free(demangled);
    return s;
  }
#endif
  return t.name();
}

std::string ExceptionClassName(const std::exception_ptr& e) {
  if (!e) return "Unknown";
  try {
    std::rethrow_exception(e);
  } catch (const Exception& x) {
    return x.ClassName();
  } catch (const std::exception& x) {
    return TypeName(typeid(x));
  } catch (...) {
    return "Unknown";
  }
}

std::string ExceptionMessage(const std::exception_ptr& e) {
  if (!e) return {};
  try {
    std::rethrow_exception(e);
  } catch (const Exception& x) {
    return x.Message();
  } catch (const std::exception& x) {
    return x.what();
  } catch (...) {
    return {};
  }
}

std::vector<std::string> ExceptionClassNames(const std::exception_ptr& e) {
  if (!e) return {};
  try {
    std::rethrow_exception(e);
  } catch (const Exception& x) {
    return x.ClassNames();
  } catch (...) {
    return {ExceptionClassName(e)};
  }
}

bool ExceptionInheritsFrom(const std::exception_ptr& e, std::string_view className) {
  for (const std::string& n : ExceptionClassNames(e))
    if (n == className) return true;
  return false;
}

std::string ExceptionDisplayText(const std::exception_ptr& e) {
  std::string text = ExceptionMessage(e);
  if (!text.empty() && static_cast<unsigned char>(text.back()) > '.') text += '.';
  return text;
}
