#pragma once
// printf-style formatting into a caller's fixed buffer that never allocates, takes no lock and
// reads no locale, so that the crash path and DllMain may use it. The C library's vsnprintf
// gives none of these promises (its floating-point conversions allocate, the run-time's locale
// lock is taken), hence this small subset of it.
//
// Conversions: %d %i %u %x %X %c %s %p %%, with the flags '-' and '0', a width (digits or '*'),
// a precision (".N" or ".*": the least number of digits, up to 24, or the most characters of a
// string, which may then lack its terminator) and the lengths hh, h, l, ll, z and j. They print
// as printf prints them, except: a null string prints "(null)", and %p prints every hexadecimal
// digit of the address in capitals ("0040A1B0"), as the Windows run-time does. At any other
// conversion (floating point among them) the rest of the format is copied as it stands and no
// argument is read, so that a wrong format never reads beyond its arguments.

#include <cstdarg>
#include <cstddef>

// The format check for our own printf-style functions. mingw's compiler reads "printf" as the
// Microsoft run-time's dialect, which lacks %zu and %hhd.
#if defined(__MINGW32__) && !defined(__clang__)
#define KELVANE_PRINTF_FORMAT(formatIndex, firstArg) __attribute__((format(gnu_printf, formatIndex, firstArg)))
#else
#define KELVANE_PRINTF_FORMAT(formatIndex, firstArg) __attribute__((format(printf, formatIndex, firstArg)))
#endif

namespace platform {

// Writes at most size - 1 characters and a terminating zero (nothing when size is 0); returns
// the number of characters written without the zero. Output that does not fit is cut.
std::size_t FixedFormatV(char* out, std::size_t size, const char* format, std::va_list args);
std::size_t FixedFormat(char* out, std::size_t size, const char* format, ...) KELVANE_PRINTF_FORMAT(3, 4);

}  // namespace platform
