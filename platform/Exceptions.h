#pragma once
// The program's exception hierarchy.
//
// Every class knows its own name and its ancestors' names at run time (ClassType()), because the
// crash reporter matches filter lists against "a class or one of its ancestors" and treats EAbort
// and the EExternal family (operating-system exceptions) specially.
//
// Texts are 8-bit strings in the Windows ANSI code page (1252): umlauts are written as "\xFC" and
// so on, never as UTF-8, so that the A-functions of the window system show them as they are.
//
// Declaring a new class elsewhere (for example in the HID layer):
//
//   KELVANE_EXCEPTION_CLASS(EControllerError, Exception);
//
// gives a class with Exception's constructors whose ClassName() is "EControllerError" and whose
// ancestors are "Exception". No namespace, so that the names in code are the names at run time.

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "platform/Convert.h"

// Run-time class information: a name and the parent's information (null above Exception).
struct TExceptionClass {
  const char* name;
  const TExceptionClass* parent;

  bool InheritsFrom(std::string_view className) const;  // this class or an ancestor has that name
};

class Exception : public std::exception {
 public:
  static constexpr TExceptionClass kClass{"Exception", nullptr};

  explicit Exception(std::string message) : message_(std::move(message)) {}
  ~Exception() override = default;

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const { return message_; }
  void SetMessage(std::string message) { message_ = std::move(message); }

  virtual const TExceptionClass& ClassType() const { return kClass; }
  std::string ClassName() const { return ClassType().name; }
  bool InheritsFrom(std::string_view className) const { return ClassType().InheritsFrom(className); }
  // The class's own name first, then its ancestors' up to "Exception".
  std::vector<std::string> ClassNames() const;

 private:
  std::string message_;
};

#define KELVANE_EXCEPTION_CLASS(Name, Parent)                                   \
  class Name : public Parent {                                                  \
   public:                                                                      \
    static constexpr TExceptionClass kClass{#Name, &Parent::kClass};            \
    using Parent::Parent;                                                       \
    const TExceptionClass& ClassType() const override { return kClass; }        \
  }

// Silent exception: unwinds to the next handler without being shown or reported.
KELVANE_EXCEPTION_CLASS(EAbort, Exception);
KELVANE_EXCEPTION_CLASS(EConvertError, Exception);
// An edit field's input check failed (the crash reporter shows it in the simple box).
KELVANE_EXCEPTION_CLASS(EDBEditError, Exception);
// The crash-report component's own exception: stands for a failure that has no object of its own
// (a runtime error, an operating-system exception whose object could not be made). Message only.
KELVANE_EXCEPTION_CLASS(KorbException, Exception);

// Neutral copy of the operating system's exception record, so that this header stays free of
// <windows.h>. Exceptions_win.h converts it back.
struct TExceptionRecord {
  std::uint32_t ExceptionCode = 0;
  std::uint32_t ExceptionFlags = 0;
  std::uintptr_t ExceptionAddress = 0;
  std::uint32_t NumberParameters = 0;
  std::uintptr_t ExceptionInformation[15] = {};
};

// Operating-system exceptions. A fault converted from hardware carries the exception record and
// the processor context of the faulting thread; one raised by code (EZeroDivide from Divide())
// carries neither.
class EExternal : public Exception {
 public:
  static constexpr TExceptionClass kClass{"EExternal", &Exception::kClass};
  using Exception::Exception;
  const TExceptionClass& ClassType() const override { return kClass; }

  bool HasRecord() const { return hasRecord_; }
  const TExceptionRecord& ExceptionRecord() const { return record_; }
  // The raw processor context (the platform's CONTEXT structure), empty when there is none.
  const std::vector<unsigned char>& ContextBytes() const { return context_; }
  void SetRecord(const TExceptionRecord& record, std::vector<unsigned char> context) {
    record_ = record;
    hasRecord_ = true;
    context_ = std::move(context);
  }

 private:
  TExceptionRecord record_;
  bool hasRecord_ = false;
  std::vector<unsigned char> context_;
};

KELVANE_EXCEPTION_CLASS(EIntError, EExternal);
KELVANE_EXCEPTION_CLASS(EDivByZero, EIntError);
KELVANE_EXCEPTION_CLASS(ERangeError, EIntError);
KELVANE_EXCEPTION_CLASS(EIntOverflow, EIntError);
KELVANE_EXCEPTION_CLASS(EMathError, EExternal);
KELVANE_EXCEPTION_CLASS(EInvalidOp, EMathError);
KELVANE_EXCEPTION_CLASS(EZeroDivide, EMathError);
KELVANE_EXCEPTION_CLASS(EOverflow, EMathError);
KELVANE_EXCEPTION_CLASS(EUnderflow, EMathError);
KELVANE_EXCEPTION_CLASS(EAccessViolation, EExternal);
KELVANE_EXCEPTION_CLASS(EPrivilege, EExternal);
KELVANE_EXCEPTION_CLASS(EControlC, EExternal);
KELVANE_EXCEPTION_CLASS(EStackOverflow, EExternal);
KELVANE_EXCEPTION_CLASS(EExternalException, EExternal);

// Message texts of the run-time library (format strings use %s for every argument).
namespace msg {
inline constexpr const char* SInvalidInteger = "''%s'' ist kein g\xFCltiger Integer-Wert";
inline constexpr const char* SZeroDivide = "Gleitkommadivision durch Null";
inline constexpr const char* SInvalidOp = "Ung\xFCltige Gleitkommaoperation";
inline constexpr const char* SOverflow = "Gleitkomma\xFC" "berlauf";
inline constexpr const char* SUnderflow = "Gleitkommaunterlauf";
inline constexpr const char* SDivByZero = "Division durch Null";
inline constexpr const char* SRangeError = "Fehler bei Bereichspr\xFC" "fung";
inline constexpr const char* SIntOverflow = "Integer\xFC" "berlauf";
inline constexpr const char* SAccessViolationArg3 = "Zugriffsverletzung bei Adresse %s in Modul '%s'. %s von Adresse %s";
inline constexpr const char* SAccessViolationArg2 = "Zugriffsverletzung bei Adresse %s. %s von Adresse %s";
inline constexpr const char* SAccessViolationNoArg = "Zugriffsverletzung";
inline constexpr const char* SReadAccess = "Lesen";
inline constexpr const char* SWriteAccess = "Schreiben";
inline constexpr const char* SPrivilege = "Privilegierte Anweisung";
inline constexpr const char* SControlC = "Strg+C gedr\xFC" "ckt";
inline constexpr const char* SStackOverflow = "Stack\xFC" "berlauf";
inline constexpr const char* SExternalException = "Externe Exception %s";
inline constexpr const char* SOperationAborted = "Vorgang abgebrochen";
}  // namespace msg

// Replaces each %s of fmt, in order, by the next argument; "%%" gives "%". Missing arguments
// leave the %s in place, so that a wrong text never reads beyond its arguments.
std::string FormatText(std::string_view fmt, const std::vector<std::string>& args);

// Exception codes of the operating system that the EExternal family stands for.
namespace excode {
inline constexpr std::uint32_t AccessViolation = 0xC0000005;
inline constexpr std::uint32_t ArrayBoundsExceeded = 0xC000008C;
inline constexpr std::uint32_t FloatDenormalOperand = 0xC000008D;
inline constexpr std::uint32_t FloatDivideByZero = 0xC000008E;
inline constexpr std::uint32_t FloatInexactResult = 0xC000008F;
inline constexpr std::uint32_t FloatInvalidOperation = 0xC0000090;
inline constexpr std::uint32_t FloatOverflow = 0xC0000091;
inline constexpr std::uint32_t FloatStackCheck = 0xC0000092;
inline constexpr std::uint32_t FloatUnderflow = 0xC0000093;
inline constexpr std::uint32_t IntegerDivideByZero = 0xC0000094;
inline constexpr std::uint32_t IntegerOverflow = 0xC0000095;
inline constexpr std::uint32_t PrivilegedInstruction = 0xC0000096;
inline constexpr std::uint32_t StackOverflow = 0xC00000FD;
inline constexpr std::uint32_t ControlCExit = 0xC000013A;
}  // namespace excode

// True for the codes with a class of their own above (hardware faults the program converts).
bool IsConvertedExceptionCode(std::uint32_t code);

// The message the run-time gives an operating-system exception. moduleName is the file name
// (without folder) of the module that contains the exception address, empty when no loaded
// module contains it.
std::string ExternalExceptionMessage(const TExceptionRecord& record, const std::string& moduleName);
// Throws the exception object for an operating-system exception: the class by code (other codes
// give EExternalException), the message as above, carrying the record and the context.
[[noreturn]] void ThrowExternalException(const TExceptionRecord& record, const std::string& moduleName,
                                         std::vector<unsigned char> context = {});
// The same object, caught into an exception_ptr.
std::exception_ptr MakeExternalExceptionPtr(const TExceptionRecord& record, const std::string& moduleName,
                                            std::vector<unsigned char> context = {});

// The readable name of a C++ type, for class names of objects that are not exceptions.
std::string TypeName(const std::type_info& t);

// Class name and message of any caught exception: an Exception gives its own; another
// std::exception gives its type's name and what(); anything else "Unknown" and an empty message.
std::string ExceptionClassName(const std::exception_ptr& e);
std::string ExceptionMessage(const std::exception_ptr& e);
// Class and ancestor names, own name first (one entry for a foreign exception, none for null).
std::vector<std::string> ExceptionClassNames(const std::exception_ptr& e);
bool ExceptionInheritsFrom(const std::exception_ptr& e, std::string_view className);
// The text a message box shows for an exception: its message with a full stop added when it ends
// in a character above "." (as the run-time did).
std::string ExceptionDisplayText(const std::exception_ptr& e);
