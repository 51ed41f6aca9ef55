#include "crash/KestrumWatchdog.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

namespace kestrum {
namespace {

constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();

struct Span {
  std::uint64_t from, until;
};

// The watchdog thread's loop on a fake clock, against a main thread that answers a post at once
// except while it is frozen, and then when it wakes up. Exceptions being handled pause the
// watchdog from their start to their end.
struct FakeClockRun {
  FakeClockRun(std::uint32_t timeout, std::vector<Span> frozenSpans, std::vector<Span> handledSpans = {})
      : freezeTimeoutMs(timeout), frozen(std::move(frozenSpans)), handled(std::move(handledSpans)) {}

  std::uint32_t freezeTimeoutMs;
  std::vector<Span> frozen;   // in order
  std::vector<Span> handled;  // in order, not overlapping

  std::vector<std::uint64_t> reports;
  std::vector<std::uint64_t> posts;
  std::vector<std::uint32_t> intervals;  // interval after each report

  std::uint64_t AnsweredAt(std::uint64_t post) const {
    for (const Span& f : frozen) {
      if (post >= f.from && post < f.until) return f.until;
    }
    return post;
  }

  FakeClockRun& Until(std::uint64_t end) {
    FreezeWatchdog w(freezeTimeoutMs);
    std::uint64_t t = 0;
    std::optional<std::uint64_t> pending;
    std::size_t next = 0;  // the span of `handled` to start or end next
    bool inSpan = false;
    auto events = [&](std::uint64_t now) {
      while (next < handled.size()) {
        if (!inSpan && handled[next].from <= now) {
          w.Pause();
          inSpan = true;
        } else if (inSpan && handled[next].until <= now) {
          w.Resume();
          w.ResetMisses();
          inSpan = false;
          ++next;
        } else {
          break;
        }
      }
    };
    while (t < end) {
      events(t);
      if (w.Paused()) {  // the thread waits on the pause event
        t = handled[next].until;
        continue;
      }
      const FreezeWatchdog::Round r = w.BeginRound();
      if (r.post) {
        posts.push_back(t);
        pending = t;
      }
      t += r.sleepMs;
      events(t);
      const bool answered = pending && AnsweredAt(*pending) <= t;
      if (answered) pending.reset();
      if (w.EndRound(answered)) {
        reports.push_back(t);
        intervals.push_back(w.IntervalMs());
      }
    }
    return *this;
  }
};

TEST(Watchdog, ReportsAfterTenMissedRoundsAndWaitsHalfAgainAsLongEachTime) {
  // Rounds of 200, 300, 450, 675 ms: reports after 2 s, then 3 s, 4.5 s, 6.75 s more.
  const FakeClockRun run = FakeClockRun{2000, {{0, kNever}}}.Until(20'000);
  EXPECT_EQ(run.reports, (std::vector<std::uint64_t>{2000, 5000, 9500, 16'250}));
  EXPECT_EQ(run.intervals, (std::vector<std::uint32_t>{300, 450, 675, 1012}));
  // A main thread that answers the first post and freezes right after: counted from the next one.
  EXPECT_EQ(FakeClockRun(2000, {{1, kNever}}).Until(2500).reports, (std::vector<std::uint64_t>{2200}));
}

TEST(Watchdog, MinuteTimeout) {
  const FakeClockRun run = FakeClockRun{60000, {{0, kNever}}}.Until(200'000);
  EXPECT_EQ(run.reports, (std::vector<std::uint64_t>{60'000, 150'000}));  // 10 rounds of 6 s, then 10 of 9 s
}

TEST(Watchdog, OnePostWaitsForItsAnswer) {
  const FakeClockRun run = FakeClockRun{2000, {{0, 10'000}}}.Until(10'200);
  EXPECT_EQ(run.posts, (std::vector<std::uint64_t>{0, 10'175})) << "a frozen main thread finds one post when it wakes, not one per round";
}

TEST(Watchdog, AnAnswerResetsMissesAndInterval) {
  // Frozen until 5.5 s, answering until 6.1 s, frozen again from then on.
  const FakeClockRun run = FakeClockRun{2000, {{0, 5500}, {6100, kNever}}}.Until(12'000);
  // Answered in the round ending at 5.9 s; the second freeze is reported 2 s after its first post.
  EXPECT_EQ(run.reports, (std::vector<std::uint64_t>{2000, 5000, 8100, 11'100}));
}

TEST(Watchdog, NoReportWhileAnExceptionIsHandled) {
  FakeClockRun run{2000, {{0, kNever}}, {{1000, 30'000}}};
  run.Until(33'000);
  // Misses start afresh at the pause and at its end: 2 s after the handling is over.
  EXPECT_EQ(run.reports, (std::vector<std::uint64_t>{32'000}));
}

TEST(Watchdog, ShortTimeoutsNeitherSpinNorStandStill) {
  struct Case {
    std::uint32_t timeout, interval;
  } cases[] = {{0, 1}, {1, 1}, {9, 1}, {10, 1}, {25, 2}, {2000, 200}};
  for (const Case& c : cases) {
    FreezeWatchdog w(c.timeout);
    EXPECT_EQ(w.BeginRound().sleepMs, c.interval) << c.timeout;
  }
  // Growth is at least 1 ms: 1, 2, 3, 4, 6, 9.
  FreezeWatchdog w(0);
  std::vector<std::uint32_t> seen;
  for (int report = 0; report < 5; ++report) {
    for (std::uint32_t i = 0; i < FreezeWatchdog::kMissesPerReport; ++i) {
      w.BeginRound();
      w.EndRound(false);
    }
    seen.push_back(w.IntervalMs());
  }
  EXPECT_EQ(seen, (std::vector<std::uint32_t>{2, 3, 4, 6, 9}));
}

TEST(Watchdog, IntervalSaturatesInsteadOfWrapping) {
  for (std::uint32_t timeout : {60'000u, 0xFFFFFFFFu}) {
    FreezeWatchdog w(timeout);
    std::uint32_t last = w.IntervalMs();
    for (int report = 0; report < 100; ++report) {
      for (std::uint32_t i = 0; i < FreezeWatchdog::kMissesPerReport; ++i) {
        w.BeginRound();
        ASSERT_FALSE(w.EndRound(false) && i + 1 < FreezeWatchdog::kMissesPerReport);
      }
      ASSERT_GE(w.IntervalMs(), last) << "report " << report;
      last = w.IntervalMs();
    }
    EXPECT_EQ(last, FreezeWatchdog::kMaxIntervalMs) << timeout;
  }
}

TEST(Watchdog, PausesNest) {
  FreezeWatchdog w(2000);
  EXPECT_FALSE(w.Resume()) << "a resume without a pause";
  EXPECT_FALSE(w.Paused());
  EXPECT_TRUE(w.Pause()) << "first pause resets the event";
  EXPECT_FALSE(w.Pause());
  EXPECT_FALSE(w.Resume());
  EXPECT_TRUE(w.Paused()) << "one report still runs";
  EXPECT_TRUE(w.Resume()) << "last resume sets the event";
  EXPECT_FALSE(w.Paused());
  EXPECT_TRUE(w.Pause()) << "the stray resume earlier did not spoil later pauses";
}

TEST(Watchdog, PauseAndResumeStartTheMissCountAfresh) {
  FreezeWatchdog w(2000);
  for (int i = 0; i < 9; ++i) {
    w.BeginRound();
    w.EndRound(false);
  }
  w.Pause();
  EXPECT_EQ(w.Misses(), 0u);
  for (int i = 0; i < 3; ++i) w.EndRound(false);  // rounds already under way when the pause came
  w.Resume();
  EXPECT_EQ(w.Misses(), 0u);
  int rounds = 0;
  do {
    w.BeginRound();
    ++rounds;
  } while (!w.EndRound(false));
  EXPECT_EQ(rounds, 10);
}

TEST(Watchdog, FailedPostDoesNotWaitForAnAnswer) {
  FreezeWatchdog w(2000);
  ASSERT_TRUE(w.BeginRound().post);
  w.PostFailed();
  w.EndRound(false);
  EXPECT_TRUE(w.BeginRound().post);
}

}  // namespace
}  // namespace kestrum
