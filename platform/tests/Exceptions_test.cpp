#include "platform/Exceptions.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Text.h"

namespace {

using Names = std::vector<std::string>;

// Declared the way other folders declare theirs.
KELVANE_EXCEPTION_CLASS(EOwnError, EConvertError);

TEST(ExceptionClasses, NameAndAncestorsAtRunTime) {
  const struct {
    std::exception_ptr e;
    Names names;
  } cases[] = {
      {std::make_exception_ptr(Exception("x")), {"Exception"}},
      {std::make_exception_ptr(EAbort("")), {"EAbort", "Exception"}},
      {std::make_exception_ptr(EDBEditError("x")), {"EDBEditError", "Exception"}},
      {std::make_exception_ptr(EOwnError("x")), {"EOwnError", "EConvertError", "Exception"}},
      {std::make_exception_ptr(EZeroDivide("x")), {"EZeroDivide", "EMathError", "EExternal", "Exception"}},
      {std::make_exception_ptr(EDivByZero("x")), {"EDivByZero", "EIntError", "EExternal", "Exception"}},
      {std::make_exception_ptr(EAccessViolation("x")), {"EAccessViolation", "EExternal", "Exception"}},
      {std::make_exception_ptr(EExternalException("x")), {"EExternalException", "EExternal", "Exception"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ExceptionClassNames(c.e), c.names);
    EXPECT_EQ(ExceptionClassName(c.e), c.names.front());
    for (const std::string& n : c.names) EXPECT_TRUE(ExceptionInheritsFrom(c.e, n)) << n;
    EXPECT_FALSE(ExceptionInheritsFrom(c.e, "TThread"));
  }
  // Through a reference to the base, the dynamic class counts.
  EOwnError own("m");
  const Exception& base = own;
  EXPECT_EQ(base.ClassName(), "EOwnError");
  EXPECT_TRUE(base.InheritsFrom("EConvertError"));
  EXPECT_FALSE(base.InheritsFrom("EAbort"));
  EXPECT_STREQ(base.what(), "m");
}

TEST(ExceptionClasses, ForeignExceptions) {
  auto e = std::make_exception_ptr(std::runtime_error("boom"));
  EXPECT_EQ(ExceptionClassName(e), "std::runtime_error");
  EXPECT_EQ(ExceptionMessage(e), "boom");
  EXPECT_FALSE(ExceptionInheritsFrom(e, "Exception"));
  auto i = std::make_exception_ptr(42);
  EXPECT_EQ(ExceptionClassName(i), "Unknown");
  EXPECT_EQ(ExceptionMessage(i), "");
  EXPECT_EQ(ExceptionClassName(nullptr), "Unknown");
  EXPECT_TRUE(ExceptionClassNames(nullptr).empty());
}

TEST(ExceptionClasses, CatchableAsTheirAncestors) {
  try {
    throw EZeroDivide("z");
  } catch (const EMathError& e) {
    EXPECT_EQ(e.Message(), "z");
  }
  try {
    throw EOwnError("o");
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "o");
  }
}

TEST(FormatText, ArgumentsInOrderAndNothingBeyondThem) {
  EXPECT_EQ(FormatText("a %s b %s", {"1", "2"}), "a 1 b 2");
  EXPECT_EQ(FormatText("%s%s", {"%s", "x"}), "%sx");  // arguments are not formatted again
  EXPECT_EQ(FormatText("100%% %s", {"x"}), "100% x");
  EXPECT_EQ(FormatText("%s and %s", {"one"}), "one and %s");
  EXPECT_EQ(FormatText("trailing %", {}), "trailing %");
  EXPECT_EQ(platform::DollarHex(0), "$0");
  EXPECT_EQ(platform::DollarHex(0x401ABC), "$401abc");
  EXPECT_EQ(platform::DollarHex(0xFFFFFFFF), "$ffffffff");
}

TEST(ExternalExceptions, ClassAndMessageByCode) {
  auto record = [](std::uint32_t code) {
    TExceptionRecord r;
    r.ExceptionCode = code;
    r.ExceptionAddress = 0x401000;
    return r;
  };
  const struct {
    std::uint32_t code;
    const char* cls;
    std::string message;
  } cases[] = {
      {excode::IntegerDivideByZero, "EDivByZero", "Division durch Null"},
      {excode::ArrayBoundsExceeded, "ERangeError", "Fehler bei Bereichspr\xFC" "fung"},
      {excode::IntegerOverflow, "EIntOverflow", "Integer\xFC" "berlauf"},
      {excode::FloatDivideByZero, "EZeroDivide", "Gleitkommadivision durch Null"},
      {excode::FloatOverflow, "EOverflow", "Gleitkomma\xFC" "berlauf"},
      {excode::FloatUnderflow, "EUnderflow", "Gleitkommaunterlauf"},
      {excode::FloatDenormalOperand, "EUnderflow", "Gleitkommaunterlauf"},
      {excode::FloatInvalidOperation, "EInvalidOp", "Ung\xFCltige Gleitkommaoperation"},
      {excode::FloatInexactResult, "EInvalidOp", "Ung\xFCltige Gleitkommaoperation"},
      {excode::FloatStackCheck, "EInvalidOp", "Ung\xFCltige Gleitkommaoperation"},
      {excode::PrivilegedInstruction, "EPrivilege", "Privilegierte Anweisung"},
      {excode::StackOverflow, "EStackOverflow", "Stack\xFC" "berlauf"},
      {excode::ControlCExit, "EControlC", "Strg+C gedr\xFC" "ckt"},
      {excode::AccessViolation, "EAccessViolation", "Zugriffsverletzung"},  // no arguments
      {0xC0000135, "EExternalException", "Externe Exception C0000135"},
  };
  for (const auto& c : cases) {
    auto e = MakeExternalExceptionPtr(record(c.code), "Kelvane.exe", {1, 2, 3});
    EXPECT_EQ(ExceptionClassName(e), c.cls) << std::hex << c.code;
    EXPECT_EQ(ExceptionMessage(e), c.message) << std::hex << c.code;
    EXPECT_TRUE(ExceptionInheritsFrom(e, "EExternal"));
    try {
      std::rethrow_exception(e);
    } catch (const EExternal& x) {
      EXPECT_TRUE(x.HasRecord());
      EXPECT_EQ(x.ExceptionRecord().ExceptionCode, c.code);
      EXPECT_EQ(x.ExceptionRecord().ExceptionAddress, 0x401000u);
      EXPECT_EQ(x.ContextBytes(), std::vector<unsigned char>({1, 2, 3}));
    }
  }
}

TEST(ExternalExceptions, AccessViolationMessage) {
  TExceptionRecord r;
  r.ExceptionCode = excode::AccessViolation;
  r.ExceptionAddress = 0x4012AB;
  r.NumberParameters = 2;
  r.ExceptionInformation[0] = 1;
  r.ExceptionInformation[1] = 0x1C;
  EXPECT_EQ(ExternalExceptionMessage(r, "Kelvane.exe"),
            "Zugriffsverletzung bei Adresse $4012ab in Modul 'Kelvane.exe'. Schreiben von Adresse $1c");
  r.ExceptionInformation[0] = 0;
  r.ExceptionInformation[1] = 0;
  EXPECT_EQ(ExternalExceptionMessage(r, "Kelvane.exe"),
            "Zugriffsverletzung bei Adresse $4012ab in Modul 'Kelvane.exe'. Lesen von Adresse $0");
  // Data execution: the first argument is 8; any non-zero kind reads as a write, as the run-time did.
  r.ExceptionInformation[0] = 8;
  r.ExceptionAddress = 0xDEADBEEF;
  r.ExceptionInformation[1] = 0xDEADBEEF;
  EXPECT_EQ(ExternalExceptionMessage(r, ""),
            "Zugriffsverletzung bei Adresse $deadbeef. Schreiben von Adresse $deadbeef");
}

}  // namespace
