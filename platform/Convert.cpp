#include "platform/Convert.h"

#include <cmath>

#include "platform/Exceptions.h"

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool TryStrToInt(const std::string& text, std::int32_t& value) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n && text[i] == ' ') ++i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';

  bool hex = false;
  if (i < n && text[i] == '$') {
    hex = true;
    ++i;
  } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i == n) return false;  // no digits at all

  std::uint64_t magnitude = 0;
  if (hex) {
    for (; i < n; ++i) {
      int d = HexDigit(text[i]);
      if (d < 0) return false;
      magnitude = magnitude * 16 + static_cast<unsigned>(d);
      if (magnitude > 0xFFFFFFFFull) return false;
    }
    std::uint32_t bits = static_cast<std::uint32_t>(magnitude);
    if (negative) bits = 0u - bits;
    value = static_cast<std::int32_t>(bits);
    return true;
  }
  const std::uint64_t limit = negative ? 0x80000000ull : 0x7FFFFFFFull;
  for (; i < n; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    magnitude = magnitude * 10 + static_cast<unsigned>(text[i] - '0');
    if (magnitude > limit) return false;
  }
  value = negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude))
                   : static_cast<std::int32_t>(magnitude);
  return true;
}

std::int32_t StrToInt(const std::string& text) {
  std::int32_t v = 0;
  if (!TryStrToInt(text, v)) throw EConvertError(FormatText(msg::SInvalidInteger, {text}));
  return v;
}

namespace {

#if defined(__i386__) || defined(__x86_64__)
// Sets the x87 precision control to 64 bits and rounding to nearest for one operation. Threads
// that the operating system starts may run at 53-bit precision.
class ExtendedPrecision {
 public:
  ExtendedPrecision() {
    asm volatile("fnstcw %0" : "=m"(saved_));
    unsigned short cw = static_cast<unsigned short>((saved_ & ~0x0F00u) | 0x0300u);
    asm volatile("fldcw %0" : : "m"(cw));
  }
  ~ExtendedPrecision() { asm volatile("fldcw %0" : : "m"(saved_)); }

 private:
  unsigned short saved_ = 0;
};

// Keeps the compiler from moving the computation of x across the control-word changes.
inline void Pin(Extended& x) { asm volatile("" : "+m"(x)); }
#else
struct ExtendedPrecision {};
inline void Pin(Extended&) {}
#endif

}  // namespace

Extended Divide(Extended a, Extended b) {
  if (std::isnan(a) || std::isnan(b)) throw EInvalidOp(msg::SInvalidOp);
  if (b == 0) {
    if (a == 0) throw EInvalidOp(msg::SInvalidOp);
    throw EZeroDivide(msg::SZeroDivide);
  }
  Extended q;
  {
    ExtendedPrecision guard;
    Pin(a);
    Pin(b);
    q = a / b;
    Pin(q);
  }
  if (std::isinf(q) && !std::isinf(a)) throw EOverflow(msg::SOverflow);
  return q;
}

std::int64_t Trunc(Extended x) {
  // 2^63 is exact in the extended format, so these bounds are exact too.
  constexpr Extended kLimit = 9223372036854775808.0L;
  if (std::isnan(x) || x >= kLimit || x < -kLimit) throw EInvalidOp(msg::SInvalidOp);
  return static_cast<std::int64_t>(x);
}
