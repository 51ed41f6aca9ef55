// Cost of one C++ throw that is caught normally, as the program throws (an Exception with a short
// message, caught two frames up). Built twice: ThrowCostWrapped links the crash component and so
// goes through its __cxa_throw wrapper, ThrowCostPlain does not. bench/throw.sh runs both.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>

#include "platform/Exceptions.h"

namespace {

volatile int g_sink = 0;

__attribute__((noinline)) void Thrower(int i) {
  if (i >= 0) throw Exception("x");
  g_sink = i;
}

__attribute__((noinline)) void Middle(int i) {
  Thrower(i);
  g_sink = g_sink + 1;
}

double NanosecondsPerThrow(int count) {
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  for (int i = 0; i < count; ++i) {
    try {
      Middle(i);
    } catch (const Exception& e) {
      g_sink = g_sink + static_cast<int>(e.Message().size());
    }
  }
  QueryPerformanceCounter(&end);
  return 1e9 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart) / count;
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 20000;
  NanosecondsPerThrow(count / 10);  // warm up: the unwinder's tables, the caches
  double best = 1e300;
  for (int round = 0; round < 5; ++round) best = std::min(best, NanosecondsPerThrow(count));
  std::printf("%.0f\n", best);
  return 0;
}
