#include "crash/KestrumWatchdog.h"

#include <algorithm>

namespace kestrum {

namespace {

// A tenth of the timeout, but never 0: a zero interval would post and report without pause.
std::uint32_t BaseInterval(std::uint32_t freezeTimeoutMs) { return std::max<std::uint32_t>(1, freezeTimeoutMs / 10); }

// Half again as long, by at least 1 ms so that short intervals grow too, and never past the cap.
std::uint32_t Grown(std::uint32_t interval) {
  const std::uint32_t step = std::max<std::uint32_t>(1, interval / 2);
  return interval >= FreezeWatchdog::kMaxIntervalMs - step ? FreezeWatchdog::kMaxIntervalMs : interval + step;
}

}  // namespace

FreezeWatchdog::FreezeWatchdog(std::uint32_t freezeTimeoutMs)
    : baseIntervalMs_(BaseInterval(freezeTimeoutMs)), intervalMs_(baseIntervalMs_) {}

FreezeWatchdog::Round FreezeWatchdog::BeginRound() {
  Round round;
  round.post = !awaitingAnswer_;
  awaitingAnswer_ = true;
  round.sleepMs = intervalMs_;
  return round;
}

void FreezeWatchdog::PostFailed() { awaitingAnswer_ = false; }

bool FreezeWatchdog::EndRound(bool answered) {
  if (answered) {
    awaitingAnswer_ = false;
    misses_ = 0;
    intervalMs_ = baseIntervalMs_;
    return false;
  }
  if (++misses_ < kMissesPerReport) return false;
  misses_ = 0;
  intervalMs_ = Grown(intervalMs_);
  return true;
}

bool FreezeWatchdog::Pause() {
  misses_ = 0;
  return pauseDepth_++ == 0;
}

bool FreezeWatchdog::Resume() {
  if (pauseDepth_ == 0) return false;
  misses_ = 0;
  return --pauseDepth_ == 0;
}

}  // namespace kestrum
