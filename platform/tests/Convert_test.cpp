#include "platform/Convert.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/Exceptions.h"

namespace {

TEST(StrToInt, AcceptedTexts) {
  const struct {
    const char* text;
    std::int32_t value;
  } cases[] = {
      {"0", 0},
      {"50", 50},
      {"12000000", 12000000},
      {"   42", 42},
      {"+7", 7},
      {"-7", -7},
      {"  -0", 0},
      {"007", 7},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"$1F", 31},
      {"$1f", 31},
      {"0x1F", 31},
      {"0X1f", 31},
      {"-$10", -16},
      {" +0x10", 16},
      {"$7FFFFFFF", 2147483647},
      {"$80000000", INT32_MIN},   // hexadecimal is a 32-bit pattern
      {"$FFFFFFFF", -1},
      {"-$FFFFFFFF", 1},
      {"$00000000000000FF", 255},  // leading zeros do not count against the width
  };
  for (const auto& c : cases) {
    std::int32_t v = -12345;
    EXPECT_TRUE(TryStrToInt(c.text, v)) << c.text;
    EXPECT_EQ(v, c.value) << c.text;
    EXPECT_EQ(StrToInt(c.text), c.value) << c.text;
  }
}

TEST(StrToInt, RejectedTextsRaiseConvertErrorWithTheText) {
  const char* cases[] = {
      "",            // empty text
      "   ",         // blanks only
      "-",           // sign only
      "$",           // prefix only
      "0x",          //
      "-0x",         //
      "12 ",         // trailing blank
      "\t12",        // only blanks count as leading white space
      "1 2",         //
      "12a",         //
      "- 1",         // no blank after the sign
      "+-1",         //
      "2147483648",  // one above the range
      "-2147483649",
      "99999999999999999999",
      "$100000000",  // 33 bits
      "$G",
      "x10",         // "x" alone is no prefix
      "1.0",
      "1e3",
      "abc",
  };
  for (const char* text : cases) {
    std::int32_t v = -12345;
    EXPECT_FALSE(TryStrToInt(text, v)) << text;
    EXPECT_EQ(v, -12345) << "value touched for " << text;
    try {
      StrToInt(text);
      ADD_FAILURE() << "no exception for '" << text << "'";
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), std::string("''") + text + "'' ist kein g\xFCltiger Integer-Wert");
      EXPECT_EQ(e.ClassName(), "EConvertError");
    }
  }
}

TEST(StrToInt, EmbeddedZeroIsRejected) {
  std::int32_t v = 0;
  EXPECT_FALSE(TryStrToInt(std::string("12\0" "3", 4), v));
}

// The polling-period computation: ticks = trunc((pos / 1e6) / (1 / frq)), each step rounded to a
// 64-bit significand. The 16 MHz case only comes out as 831 at that precision.
std::int64_t Ticks(std::int32_t position, std::int32_t frq) {
  Extended a = Divide(1, frq);
  Extended b = Divide(position, 1000000);
  return Trunc(Divide(b, a));
}

TEST(Extended, TickComputationNeedsTheFullSignificand) {
  EXPECT_EQ(Ticks(100, 12000000), 1200);
  EXPECT_EQ(Ticks(50, 12000000), 600);
  EXPECT_EQ(Ticks(150, 12000000), 1800);
  EXPECT_EQ(Ticks(52, 16000000), 831);
  for (int pos = 50; pos <= 150; ++pos) EXPECT_EQ(Ticks(pos, 12000000), pos * 12) << pos;

  // The same steps in double precision give the other answer, so the case above does test the
  // precision.
  volatile double a = 1.0 / 16000000, b = 52.0 / 1000000;
  volatile double q = b / a;
  EXPECT_EQ(static_cast<std::int64_t>(q), 832);
}

TEST(Extended, DivisionFaults) {
  try {
    Divide(1, 0);
    ADD_FAILURE() << "no exception";
  } catch (const EZeroDivide& e) {
    EXPECT_EQ(e.Message(), "Gleitkommadivision durch Null");
    EXPECT_TRUE(e.InheritsFrom("EExternal"));
    EXPECT_FALSE(e.HasRecord());
  }
  EXPECT_THROW(Ticks(100, 0), EZeroDivide);
  EXPECT_THROW(Divide(-3, 0), EZeroDivide);
  EXPECT_THROW(Divide(0, 0), EInvalidOp);
  EXPECT_THROW(Divide(std::numeric_limits<Extended>::quiet_NaN(), 1), EInvalidOp);
  EXPECT_THROW(Divide(std::numeric_limits<Extended>::max(), 0.5L), EOverflow);
  EXPECT_EQ(Divide(0, -1), 0);
}

TEST(Extended, TruncRange) {
  EXPECT_EQ(Trunc(1.9L), 1);
  EXPECT_EQ(Trunc(-1.9L), -1);
  EXPECT_EQ(Trunc(-9223372036854775808.0L), INT64_MIN);
  EXPECT_THROW(Trunc(9223372036854775808.0L), EInvalidOp);
  EXPECT_THROW(Trunc(std::numeric_limits<Extended>::infinity()), EInvalidOp);
  EXPECT_THROW(Trunc(std::numeric_limits<Extended>::quiet_NaN()), EInvalidOp);
}

}  // namespace
