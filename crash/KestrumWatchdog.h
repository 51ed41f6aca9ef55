// The freeze watchdog's rounds as a state machine. The watchdog thread asks BeginRound, posts the
// watchdog message to the main thread's handler window when told to, sleeps, drains its own queue
// and hands the outcome to EndRound; any thread that reports an exception pauses and resumes it.
// The caller serialises the calls (one small lock) and keeps one manual-reset pause event for the
// watchdog's whole life, reset when Pause answers true and set when Resume answers true.
#pragma once

#include <cstdint>

namespace kestrum {

class FreezeWatchdog {
 public:
  static constexpr std::uint32_t kMissesPerReport = 10;
  // The longest finite sleep: one more is the system's "wait for ever".
  static constexpr std::uint32_t kMaxIntervalMs = 0xFFFFFFFEu;

  explicit FreezeWatchdog(std::uint32_t freezeTimeoutMs);

  struct Round {
    bool post = false;  // post the watchdog message now
    std::uint32_t sleepMs = 0;
  };
  // Called only while not paused. A post is made only when no earlier one is still unanswered:
  // a frozen main thread would otherwise find a flood of them when it wakes up.
  Round BeginRound();
  // The post of this round failed: no answer is on its way.
  void PostFailed();
  // answered: the answer message was among the messages drained after the sleep. True means:
  // report a freeze now.
  bool EndRound(bool answered);

  // Nesting; each pause and the end of the last one start the miss count afresh. A resume without
  // a pause is ignored. True from Pause for the first pause, from Resume for the last resume.
  bool Pause();
  bool Resume();
  bool Paused() const { return pauseDepth_ > 0; }

  // After an exception was handled.
  void ResetMisses() { misses_ = 0; }

  std::uint32_t IntervalMs() const { return intervalMs_; }
  std::uint32_t Misses() const { return misses_; }
  bool AwaitingAnswer() const { return awaitingAnswer_; }

 private:
  std::uint32_t baseIntervalMs_;
  std::uint32_t intervalMs_;
  std::uint32_t misses_ = 0;
  std::uint32_t pauseDepth_ = 0;
  bool awaitingAnswer_ = false;
};

}  // namespace kestrum
