#include "crash/KestrumRestart.h"

#include <gtest/gtest.h>

#include <vector>

namespace kestrum {
namespace {

TEST(Restart, SectionNameCarriesTheNewProcessId) {
  EXPECT_EQ(RestartSectionName(0x1a2c), "KestrumRestart$1a2c");
  EXPECT_EQ(RestartSectionName(0), "KestrumRestart$0");
}

TEST(Restart, HandOverLayout) {
  RestartHandOver h;
  h.predecessorId = 0x00001a2c;
  h.sectionHandle = 0x000000f4;
  h.history = {13'400'000'003, 13'400'000'001, 0, 0, 0, 0, 0, 0, 0, 0};
  const RestartSectionBytes b = WriteRestartSection(h);
  const std::vector<std::uint8_t> head(b.begin(), b.begin() + 9);
  EXPECT_EQ(head, (std::vector<std::uint8_t>{0x2c, 0x1a, 0, 0, 0xf4, 0, 0, 0, 13'400'000'003 & 0xFF}));
  EXPECT_EQ(b[16], 13'400'000'001 & 0xFF);
  EXPECT_EQ(ReadRestartSection(b.data(), b.size()), h);
  // A view is a whole page in practice; a longer one reads the same, a shorter one nothing.
  std::vector<std::uint8_t> page(b.begin(), b.end());
  page.resize(4096, 0xCC);
  EXPECT_EQ(ReadRestartSection(page.data(), page.size()), h);
  EXPECT_EQ(ReadRestartSection(b.data(), b.size() - 1), std::nullopt);
  EXPECT_EQ(ReadRestartSection(nullptr, 88), std::nullopt);
}

TEST(Restart, WaitOnlyForAProcessOlderThanThisOne) {
  const std::uint64_t own = 133'000'000'000'000'000;
  struct Case {
    const char* what;
    CreationTime predecessor, self;
    bool wait;
  } cases[] = {
      {"the process that restarted us", own - 20'000'000, own, true},
      {"its id now names a process started after us", own + 5'000'000, own, false},
      {"started in the same tick: cannot be told apart", own, own, false},
      {"predecessor's time unknown", std::nullopt, own, false},
      {"own time unknown", own - 1, std::nullopt, false},
  };
  for (const Case& c : cases) EXPECT_EQ(ShouldWaitForPredecessor(c.predecessor, c.self), c.wait) << c.what;
}

}  // namespace
}  // namespace kestrum
