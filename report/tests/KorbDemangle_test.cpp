#include "report/KorbDemangle.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

TEST(Demangle, Table) {
  struct Case {
    const char* symbol;
    const char* name;
    const char* unit;
  };
  const Case cases[] = {
      {"@Classes@CheckSynchronize$qqri", "CheckSynchronize", "Classes"},
      {"@System@@HandleFinally$qqrv", "@HandleFinally", "System"},
      {"@Classes@TList@$bctr$qqrv", "TList.Create", "Classes"},
      {"@Classes@TList@$bdtr$qqrv", "TList.Destroy", "Classes"},
      {"@Unit1@TForm1@Button1Click$qqrp14System@TObject", "TForm1.Button1Click", "Unit1"},
      {"@foo$qqrv", "foo", ""},
      {"report::Foo::Bar(int)", "report.Foo.Bar(int)", ""},
      {"plain", "plain", ""},
      {"@Unit@Name$qqrv ", "Name", "Unit"},
      {"@%Pair$i%@First", "Pair.First", ""},
  };
  for (const Case& c : cases) {
    std::string name = c.symbol, unit = "stale";
    Demangle(name, unit);
    EXPECT_EQ(name, c.name) << c.symbol;
    EXPECT_EQ(unit, c.unit) << c.symbol;
  }
}

}  // namespace
