#include "platform/FixedFormat.h"

#include <climits>
#include <cstdint>

namespace platform {
namespace {

// Appends to a fixed buffer and counts what fits; the last byte is kept for the terminator.
class Sink {
 public:
  Sink(char* out, std::size_t size) : out_(out), room_(size ? size - 1 : 0) {}
  void Put(char c) {
    if (used_ < room_) out_[used_++] = c;
  }
  void Repeat(char c, int n) {
    for (; n > 0 && used_ < room_; --n) out_[used_++] = c;
  }
  std::size_t Used() const { return used_; }

 private:
  char* out_;
  std::size_t room_;
  std::size_t used_ = 0;
};

// Enough for the octal digits of the widest integer, and the cap of a number's precision.
constexpr int kMaxDigits = 3 * sizeof(std::uintmax_t);

enum class Length { kInt, kChar, kShort, kLong, kLongLong, kSize, kMax };

struct FieldFormat {
  bool left = false;
  bool zero = false;
  int width = 0;
  int precision = -1;
  Length length = Length::kInt;
};

// Pads text (of n characters) to the width; zeros go after the sign.
void PutField(Sink& sink, const FieldFormat& fmt, const char* text, int n, bool numeric) {
  const int pad = fmt.width > n ? fmt.width - n : 0;
  if (fmt.left) {
    for (int i = 0; i < n; ++i) sink.Put(text[i]);
    sink.Repeat(' ', pad);
    return;
  }
  if (numeric && fmt.zero) {
    int i = 0;
    if (n > 0 && text[0] == '-') sink.Put(text[i++]);
    sink.Repeat('0', pad);
    for (; i < n; ++i) sink.Put(text[i]);
    return;
  }
  sink.Repeat(' ', pad);
  for (int i = 0; i < n; ++i) sink.Put(text[i]);
}

// A precision is the least number of digits (and turns the '0' flag off); ".0" prints no digit
// for a zero.
void PutNumber(Sink& sink, FieldFormat fmt, std::uintmax_t magnitude, bool negative, unsigned base, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char text[kMaxDigits + 2];
  int end = static_cast<int>(sizeof text);
  const int least = fmt.precision < 0 ? 1 : (fmt.precision > kMaxDigits ? kMaxDigits : fmt.precision);
  if (fmt.precision >= 0) fmt.zero = false;
  int count = 0;
  while (magnitude || count < least) {
    text[--end] = digits[magnitude % base];
    magnitude /= base;
    ++count;
  }
  if (negative) text[--end] = '-';
  PutField(sink, fmt, text + end, static_cast<int>(sizeof text) - end, true);
}

std::intmax_t SignedArg(std::va_list& args, Length length) {
  switch (length) {
    case Length::kChar:
      return static_cast<signed char>(va_arg(args, int));
    case Length::kShort:
      return static_cast<short>(va_arg(args, int));
    case Length::kLong:
      return va_arg(args, long);
    case Length::kLongLong:
      return va_arg(args, long long);
    case Length::kSize:
      return static_cast<std::intmax_t>(va_arg(args, std::ptrdiff_t));
    case Length::kMax:
      return va_arg(args, std::intmax_t);
    case Length::kInt:
      break;
  }
  return va_arg(args, int);
}

std::uintmax_t UnsignedArg(std::va_list& args, Length length) {
  switch (length) {
    case Length::kChar:
      return static_cast<unsigned char>(va_arg(args, unsigned));
    case Length::kShort:
      return static_cast<unsigned short>(va_arg(args, unsigned));
    case Length::kLong:
      return va_arg(args, unsigned long);
    case Length::kLongLong:
      return va_arg(args, unsigned long long);
    case Length::kSize:
      return va_arg(args, std::size_t);
    case Length::kMax:
      return va_arg(args, std::uintmax_t);
    case Length::kInt:
      break;
  }
  return va_arg(args, unsigned);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A width or precision: digits, or '*' for the next argument.
int ReadCount(const char*& f, std::va_list& args) {
  if (*f == '*') {
    ++f;
    return va_arg(args, int);
  }
  int n = 0;
  while (IsDigit(*f)) {
    if (n < 100000) n = n * 10 + (*f - '0');
    ++f;
  }
  return n;
}

// The length modifier at f, if any; returns what follows it.
const char* ReadLength(const char* f, Length& length) {
  if (f[0] == 'h') {
    length = f[1] == 'h' ? Length::kChar : Length::kShort;
    return f + (f[1] == 'h' ? 2 : 1);
  }
  if (f[0] == 'l') {
    length = f[1] == 'l' ? Length::kLongLong : Length::kLong;
    return f + (f[1] == 'l' ? 2 : 1);
  }
  if (f[0] == 'z' || f[0] == 'j') {
    length = f[0] == 'z' ? Length::kSize : Length::kMax;
    return f + 1;
  }
  return f;
}

}  // namespace

std::size_t FixedFormatV(char* out, std::size_t size, const char* format, std::va_list argsIn) {
  Sink sink(out, size);
  std::va_list args;
  va_copy(args, argsIn);
  const char* f = format;
  while (*f) {
    if (*f != '%') {
      sink.Put(*f++);
      continue;
    }
    const char* conversionStart = f++;
    FieldFormat fmt;
    for (;; ++f) {
      if (*f == '-') fmt.left = true;
      else if (*f == '0') fmt.zero = true;
      else break;
    }
    fmt.width = ReadCount(f, args);
    if (fmt.width < 0) {  // as printf: a negative '*' width means left-aligned
      fmt.left = true;
      fmt.width = fmt.width == INT_MIN ? 0 : -fmt.width;
    }
    if (*f == '.') {
      ++f;
      fmt.precision = ReadCount(f, args);
    }
    f = ReadLength(f, fmt.length);

    switch (*f) {
      case 'd':
      case 'i': {
        const std::intmax_t v = SignedArg(args, fmt.length);
        // The magnitude of the smallest value does not fit the signed type: negate unsigned.
        const std::uintmax_t magnitude = v < 0 ? std::uintmax_t{0} - static_cast<std::uintmax_t>(v) : static_cast<std::uintmax_t>(v);
        PutNumber(sink, fmt, magnitude, v < 0, 10, false);
        break;
      }
      case 'u':
        PutNumber(sink, fmt, UnsignedArg(args, fmt.length), false, 10, false);
        break;
      case 'x':
      case 'X':
        PutNumber(sink, fmt, UnsignedArg(args, fmt.length), false, 16, *f == 'X');
        break;
      case 'p': {
        // Every digit of the address, as the Windows run-time writes pointers.
        FieldFormat p = fmt;
        p.precision = static_cast<int>(2 * sizeof(void*));
        PutNumber(sink, p, reinterpret_cast<std::uintptr_t>(va_arg(args, void*)), false, 16, true);
        break;
      }
      case 'c': {
        const char c = static_cast<char>(va_arg(args, int));
        PutField(sink, fmt, &c, 1, false);
        break;
      }
      case 's': {
        const char* s = va_arg(args, const char*);
        if (!s) s = "(null)";
        int n = 0;
        while ((fmt.precision < 0 || n < fmt.precision) && s[n]) ++n;
        PutField(sink, fmt, s, n, false);
        break;
      }
      case '%':
        sink.Put('%');
        break;
      default:
        // Not in the subset: reading its argument with a guessed type would go wrong from here
        // on, so the rest is copied as text.
        for (f = conversionStart; *f; ++f) sink.Put(*f);
        va_end(args);
        if (size) out[sink.Used()] = '\0';
        return sink.Used();
    }
    ++f;
  }
  va_end(args);
  if (size) out[sink.Used()] = '\0';
  return sink.Used();
}

std::size_t FixedFormat(char* out, std::size_t size, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  const std::size_t n = FixedFormatV(out, size, format, args);
  va_end(args);
  return n;
}

}  // namespace platform
