#pragma once
// Conversions between numbers and text, and the floating-point type of the run-time library.

#include <cstdint>
#include <limits>
#include <string>

// Integer text: optional leading blanks, an optional sign, then decimal digits, or hexadecimal
// digits after "$" or "0x"/"0X". Nothing may follow the digits. Decimal values must lie in the
// 32-bit signed range; hexadecimal values take up to 32 bits and are read as a two's complement
// bit pattern ("$FFFFFFFF" is -1).
bool TryStrToInt(const std::string& text, std::int32_t& value);
// The same, raising EConvertError "''<text>'' ist kein gültiger Integer-Wert" on bad text.
std::int32_t StrToInt(const std::string& text);

// Floating point with a 64-bit significand (the x87 extended format). Computations whose results
// are part of the receiver protocol (the polling-period tick count) depend on this precision:
// with a 53-bit double some of them come out one tick off.
using Extended = long double;
static_assert(std::numeric_limits<Extended>::digits == 64, "Extended must have a 64-bit significand");
static_assert(std::numeric_limits<Extended>::radix == 2);

// a / b rounded to nearest at 64-bit precision, whatever precision the FPU of the calling thread
// was left at. Division by zero raises EZeroDivide ("Gleitkommadivision durch Null"); 0/0 and
// operations on NaN raise EInvalidOp; a result beyond the range raises EOverflow.
Extended Divide(Extended a, Extended b);
// Toward zero, as a 64-bit integer; EInvalidOp when the value does not fit.
std::int64_t Trunc(Extended x);
