// Start-up time of Kelvane.exe with the crash-report component against the same program whose
// settings disable the component, measured alternately in one run: from process creation until
// the main window is visible. Prints the medians, their difference and ratio.
//   StartupTime.exe [ROUNDS]   (default 20)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string Beside(const char* name) {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string dir(self);
  return dir.substr(0, dir.find_last_of("\\/") + 1) + name;
}

// Milliseconds until the window shows; negative when it did not within 20 s.
double StartOnce(const std::string& exe) {
  LARGE_INTEGER freq, t0, t1;
  QueryPerformanceFrequency(&freq);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::string cmd = "\"" + exe + "\"";
  QueryPerformanceCounter(&t0);
  if (!CreateProcessA(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
  double ms = -1;
  for (;;) {
    // One program runs at a time, so its main window is the one with the caption.
    HWND w = FindWindowA(nullptr, "Kelvane");
    QueryPerformanceCounter(&t1);
    const double elapsed = 1000.0 * static_cast<double>(t1.QuadPart - t0.QuadPart) / static_cast<double>(freq.QuadPart);
    if (w && IsWindowVisible(w)) {
      ms = elapsed;
      break;
    }
    if (elapsed > 20000) break;
    Sleep(1);
  }
  TerminateProcess(pi.hProcess, 0);
  WaitForSingleObject(pi.hProcess, 5000);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return ms;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
  // Two other programs beside this one may be named, to compare variants of the component.
  const std::string with = Beside(argc > 2 ? argv[2] : "Kelvane.exe"), without = Beside(argc > 3 ? argv[3] : "KelvaneNoKestrum.exe");
  std::vector<double> a, b;
  StartOnce(with);  // warm the file cache and Wine's own start-up
  StartOnce(without);
  for (int i = 0; i < rounds; ++i) {
    const double x = StartOnce(with), y = StartOnce(without);
    if (x < 0 || y < 0) {
      std::printf("a program did not show its window\n");
      return 1;
    }
    a.push_back(x);
    b.push_back(y);
  }
  const double ma = Median(a), mb = Median(b);
  std::printf("start-up until the main window shows, median of %d rounds\n", rounds);
  std::printf("  component enabled : %8.1f ms\n", ma);
  std::printf("  component disabled: %8.1f ms\n", mb);
  std::printf("  overhead          : %8.1f ms, ratio %.3f (goal: at most 5 ms or 1.05 times, whichever is larger)\n",
              ma - mb, mb > 0 ? ma / mb : 0.0);
  return 0;
}
