// Latency from a frame entering the simulated receiver to its listing in the log, measured on
// the worker as the program runs it (default pass delay 50 ms). The reference, measured in the
// same run, is the pass period: delay plus one poll exchange.
//
//   ReceiverLatency [FRAMES] [DELAY_MS]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "app/uHID_win.h"
#include "sim/SimControl.h"

namespace {

LARGE_INTEGER freq;
double NowMs() {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return 1000.0 * static_cast<double>(t.QuadPart) / static_cast<double>(freq.QuadPart);
}

struct TimingView : IReceiverView {
  std::vector<double> listed;
  bool connected = false;
  void AddLogLine(const std::string& line) override {
    if (line == "IR Code received:") listed.push_back(NowMs());
  }
  void SetStatus(const std::string& d, const std::string&) override { connected = d == "Device: connected"; }
};

void PumpFor(double ms, const std::function<bool()>& done = [] { return false; }) {
  const double end = NowMs() + ms;
  while (NowMs() < end && !done()) {
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
    while (CheckSynchronize()) {
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
  }
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::atoi(argv[1]) : 200;
  const int delay = argc > 2 ? std::atoi(argv[2]) : 50;
  QueryPerformanceFrequency(&freq);
  InitUIThread();
  KelvaneSimDevice rx{};
  rx.Name = "rx";
  if (!KelvaneSimPlug(&rx)) {
    std::fprintf(stderr, "the simulated receiver is not loaded (WINEDLLOVERRIDES=hid,setupapi=n,b)\n");
    return 1;
  }
  TimingView view;
  THIDThread worker(&view);
  worker.SetVendorID(kReceiverVendorID);
  worker.SetProductID(kReceiverProductID);
  worker.SetPoolingDelay(delay);
  worker.Start();
  PumpFor(5000, [&] { return view.connected; });
  if (!view.connected) {
    std::fprintf(stderr, "the receiver was not taken into use\n");
    return 1;
  }

  // Reference: the worker's actual pass period, from the simulator's log of its polls.
  char tmp[MAX_PATH];
  GetTempPathA(MAX_PATH, tmp);
  const std::string logPath = std::string(tmp) + "kelvane-latency-bench.log";
  DeleteFileA(logPath.c_str());
  KelvaneSimSetLog(logPath.c_str());
  PumpFor(3000);
  KelvaneSimSetLog(nullptr);
  std::vector<double> polls, gaps;
  if (FILE* f = std::fopen(logPath.c_str(), "r")) {
    char line[512];
    while (std::fgets(line, sizeof line, f)) {
      double t;
      char name[64], dir[8];
      int id;
      if (std::sscanf(line, "%lf %63s %7s %d", &t, name, dir, &id) == 4 && id == 1) polls.push_back(t);
    }
    std::fclose(f);
  }
  DeleteFileA(logPath.c_str());
  for (size_t i = 1; i < polls.size(); ++i) gaps.push_back(polls[i] - polls[i - 1]);
  if (gaps.empty()) {
    std::fprintf(stderr, "no polls seen\n");
    return 1;
  }

  std::mt19937 rng(12345);
  std::uniform_real_distribution<double> phase(0.0, delay);
  std::vector<double> latency;
  for (int i = 0; i < frames; ++i) {
    PumpFor(phase(rng));  // enter at a random point of the pass
    const size_t seen = view.listed.size();
    const double t0 = NowMs();
    KelvaneSimQueueFrame("rx", 2, 0x00FF, static_cast<uint16_t>(i), 0);
    PumpFor(5000, [&] { return view.listed.size() > seen; });
    if (view.listed.size() > seen) latency.push_back(view.listed[seen] - t0);
  }
  worker.Terminate();
  worker.WaitFor();

  const double period = Percentile(gaps, 0.5);
  const double median = Percentile(latency, 0.5), worst = *std::max_element(latency.begin(), latency.end());
  std::printf("frames listed: %zu of %d, pass delay %d ms\n", latency.size(), frames, delay);
  std::printf("latency median %.1f ms, 90th %.1f ms, worst %.1f ms\n", median, Percentile(latency, 0.9), worst);
  std::printf("reference: pass period median %.1f ms over %zu passes\n", period, gaps.size());
  std::printf("ratio to pass period: median %.2f, worst %.2f\n", median / period, worst / period);
  return 0;
}
