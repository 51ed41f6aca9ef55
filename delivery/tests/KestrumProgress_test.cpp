#include "delivery/KestrumProgress.h"

#include <gtest/gtest.h>

namespace delivery {
namespace {

struct Area {
  std::int64_t weight;
  const char* text;
};

// One step of driving the areas: -1 as area or position leaves it alone.
struct Step {
  int area;
  int position;
  int bar;
  const char* text;
};

TEST(ProgressAreas, BarAndTextFollowAreasAndPosition) {
  struct Case {
    const char* name;
    std::vector<Area> areas;
    std::vector<Step> steps;
  } cases[] = {
      {"weights 1000/100/100",
       {{1000, "a"}, {100, "b"}, {100, "c"}},
       {{-1, 0, 0, "a"}, {-1, 500, 416, "a"}, {1, -1, 833, "b"}, {-1, 500, 875, "b"}, {2, -1, 916, "c"}}},
      {"last area done", {{1000, "a"}, {100, "b"}, {100, "c"}}, {{3, -1, 1000, "c"}, {4, -1, 1000, "c"}}},
      {"no areas", {}, {{-1, 700, 0, ""}, {0, -1, 0, ""}, {1, -1, 0, ""}}},
      {"every weight 0", {{0, "x"}, {0, "y"}}, {{-1, 500, 0, "x"}, {1, 900, 0, "y"}, {2, -1, 0, "y"}}},
      {"empty texts repeat the one before", {{1, "first"}, {1, ""}, {1, ""}}, {{2, -1, 666, "first"}}},
      {"first text empty", {{1, ""}, {1, "b"}}, {{-1, -1, 0, ""}, {1, -1, 500, "b"}}},
      {"out of range and same area ignored",
       {{10, "a"}, {10, "b"}},
       {{-1, 400, 200, "a"}, {0, -1, 200, "a"}, {-1, -1, 200, "a"}, {-5, -1, 200, "a"}, {3, -1, 200, "a"}}},
      {"large weights stay exact",
       {{4'000'000'000'000LL, "big"}, {1'000'000'000'000LL, "small"}},
       {{-1, 999, 799, "big"}, {1, 1, 800, "small"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProgressAreas p;
    for (const Area& a : c.areas) p.AddArea(a.weight, a.text);
    for (const Step& s : c.steps) {
      if (s.area != -1) p.SetCurrentArea(s.area);
      if (s.position != -1) p.SetPosition(s.position);
      EXPECT_EQ(p.BarValue(), s.bar) << "area " << s.area << " position " << s.position;
      EXPECT_EQ(p.CurrentText(), s.text);
    }
  }
}

TEST(ProgressAreas, AreaChangesResetThePositionAndClearingStartsOver) {
  ProgressAreas p;
  p.AddArea(10, "a");
  p.AddArea(10, "b");
  p.SetPosition(300);
  EXPECT_TRUE(p.SetCurrentArea(1));
  EXPECT_EQ(p.Position(), 0);
  EXPECT_FALSE(p.SetCurrentArea(1));
  EXPECT_TRUE(p.SetCurrentArea(2));
  EXPECT_EQ(p.CurrentArea(), 1);
  EXPECT_EQ(p.Position(), 1000);
  EXPECT_EQ((std::vector<std::string>{"b"}), p.TextsFromCurrent());

  p.ClearAreas();
  EXPECT_EQ(p.CurrentArea(), 0);
  EXPECT_EQ(p.Total(), 0);
  EXPECT_EQ(p.BarValue(), 0);
  p.AddArea(1000, "again");
  EXPECT_EQ(p.CurrentText(), "again");
}

}  // namespace
}  // namespace delivery
