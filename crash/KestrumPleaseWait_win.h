// The please-wait window of one exception object: shown by a thread that waits for the report's
// completion, with an area per traced thread weighted by its stack's size, so the bar moves as
// the traces do.
//
// The window belongs to the thread that shows it and only that thread drives it (the progress
// window has no lock). The completing thread only records where it stands; the waiting thread
// brings the window up to date between its waits (Pump). When both are one thread (the report
// completed where it was asked for), the progress goes to the window at once.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "crash/KestrumProgressAlert_win.h"
#include "report/KorbStackTrace.h"

namespace kestrum {

class PleaseWait final : public report::TraceProgress {
 public:
  PleaseWait() = default;
  PleaseWait(const PleaseWait&) = delete;
  PleaseWait& operator=(const PleaseWait&) = delete;
  ~PleaseWait() override;

  // The areas, one per thread to be traced, in trace order; before anyone waits.
  void SetAreas(const std::vector<std::int64_t>& weights, const std::string& text);

  // From the completing thread.
  void Position(int perMille) override;
  void AreaDone();

  // From a waiting thread: the window with that title and the icon of module, made through the
  // delivery's hook. False when there is none to show (no hook, no window, or another thread
  // shows it already); Pump and Close are then for nothing.
  bool Show(const std::string& title, HMODULE module);
  // The window brought up to date and its messages handled; on the showing thread only.
  void Pump();
  void Close();

 private:
  IProgressAlert* alert_ = nullptr;
  std::vector<std::int64_t> weights_;
  std::string text_;
  std::atomic<int> area_{0};
  std::atomic<int> position_{0};
  std::atomic<DWORD> owner_{0};  // the thread that shows the window, 0: not shown
  int shownArea_ = -1, shownPosition_ = -1;
};

}  // namespace kestrum
