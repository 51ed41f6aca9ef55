#include "platform/FixedFormat.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

using platform::FixedFormat;

// The subset prints what the C library's printf prints.
template <class... Args>
void ExpectAsPrintf(const char* format, Args... args) {
  char ours[128];
  char theirs[128];
  const std::size_t n = FixedFormat(ours, sizeof ours, format, args...);
  std::snprintf(theirs, sizeof theirs, format, args...);
  EXPECT_STREQ(ours, theirs) << "format \"" << format << "\"";
  EXPECT_EQ(n, std::strlen(theirs)) << "format \"" << format << "\"";
}

TEST(FixedFormat, PrintsTheSubsetAsPrintfDoes) {
  ExpectAsPrintf("");
  ExpectAsPrintf("plain text, 100%% sure");
  ExpectAsPrintf("%d|%i|%u|%d", 0, -1, 4000000000u, 123456789);
  ExpectAsPrintf("%d|%d", INT_MIN, INT_MAX);
  ExpectAsPrintf("[%5d][%-5d][%05d][%05d][%1d]", 42, 42, 42, -42, 12345);
  ExpectAsPrintf("[%x][%X][%08x][%-6X]", 0xBEEFu, 0xBEEFu, 0x1Fu, 0xAu);
  ExpectAsPrintf("[%.3d][%.0d][%.0d][%5.3d][%05.3d][%-6.2x]", 7, 0, 3, -7, 7, 0xAu);
  ExpectAsPrintf("[%.*d][%*d][%*d][%-*d]", -1, 5, 4, 1, -4, 1, 3, 2);
  ExpectAsPrintf("%ld|%lu|%lld|%llu|%llx|%lld", -5L, 4000000000UL, LLONG_MIN, ULLONG_MAX, 0x123456789ABCDEFull, LLONG_MAX);
  ExpectAsPrintf("%zu|%zd|%jd|%ju", sizeof(double), static_cast<std::ptrdiff_t>(-3), INTMAX_MIN, UINTMAX_MAX);
  ExpectAsPrintf("%hd|%hu|%hhd|%hhu|%hx", 70000, 65535, 200, 300, 0x12345);
  ExpectAsPrintf("[%c][%3c][%-3c]", 'a', 'b', 'c');
  ExpectAsPrintf("[%s][%8s][%-8s][%.3s][%.*s][%*s][%-*s][%s]", "text", "right", "left", "cut here", 2, "ab", 6, "w",
                 6, "w", "");
}

TEST(FixedFormat, OwnConventions) {
  char out[64];
  const char* none = nullptr;
  FixedFormat(out, sizeof out, "[%s][%.2s]", none, none);
  EXPECT_STREQ(out, "[(null)][(n]");

  void* p = reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x40A1B0));
  FixedFormat(out, sizeof out, "%p", p);
  EXPECT_EQ(std::string(out), std::string(2 * sizeof(void*) - 6, '0') + "40A1B0");

  // Floating point is not in the subset: nothing after it is read as an argument.
  EXPECT_EQ(FixedFormat(out, sizeof out, "a=%d b=%.1f c=%s", 1, 2.5, "x"), 15u);
  EXPECT_STREQ(out, "a=1 b=%.1f c=%s");
}

TEST(FixedFormat, CutsAtTheBufferAndAlwaysTerminates) {
  char out[8];
  EXPECT_EQ(FixedFormat(out, sizeof out, "%s-%d", "abcdef", 12345), 7u);
  EXPECT_STREQ(out, "abcdef-");

  EXPECT_EQ(FixedFormat(out, 1, "%s", "abc"), 0u);
  EXPECT_STREQ(out, "");

  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(FixedFormat(out, 0, "%s", "abc"), 0u);
  EXPECT_EQ(out[0], 'x') << "a buffer of size 0 is not written";

  // A width far beyond the buffer neither takes long nor writes past it.
  volatile int huge = INT_MAX, hugeLeft = INT_MIN;  // volatile: the compiler's own check would refuse them
  EXPECT_EQ(FixedFormat(out, sizeof out, "%*d", huge, 1), 7u);
  EXPECT_STREQ(out, "       ");
  EXPECT_EQ(FixedFormat(out, sizeof out, "%*d|", hugeLeft, 1), 2u);
  EXPECT_STREQ(out, "1|");
}

}  // namespace
