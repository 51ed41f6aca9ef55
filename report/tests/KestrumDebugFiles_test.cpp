// The fallback readers through the constructor, on files made by the fixture generator.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "report/KorbMapFile.h"
#include "report/tests/DebugFileFixtures.h"
#include "report/tests/DebugInfoFixtures.h"

namespace {

using report::testing::FakeModule;
using report::testing::JclFile;
using report::testing::MapText;
using report::testing::Td32File;

constexpr const char* kMap = "C:\\app\\Prog.map";
constexpr const char* kJdbg = "C:\\app\\Prog.jdbg";
constexpr const char* kTds = "C:\\app\\Prog.tds";

struct Seen {
  std::vector<std::tuple<bool, std::uint32_t, std::uint32_t, std::string>> segments;
  std::vector<std::pair<std::string, std::uint32_t>> publics;
  std::vector<std::pair<std::int32_t, std::uint32_t>> lines;
};

// Addresses relative to the base of code (code) or the base of data (data, 0x00403000).
Seen Tables(const TMapFile& map) {
  Seen seen;
  const std::uint32_t code = FakeModule::kBase + 0x1000, data = FakeModule::kBase + 0x3000;
  for (int i = 0; i < map.SegmentCount(); ++i) {
    const TMfSegment s = map.FindSegment(i);
    seen.segments.emplace_back(s.Code, s.StartAddress - (s.Code ? code : data), s.Length, s.Unit_);
  }
  for (int i = 0; i < map.PublicCount(); ++i) {
    const TMfPublic p = map.FindPublic(i);
    seen.publics.emplace_back(p.Name, p.Address - (p.Code ? code : data));
  }
  for (int i = 0; i < map.LineCount(); ++i) seen.lines.emplace_back(map.LineAt(i).Line, map.LineAt(i).Address - code);
  return seen;
}

using ::testing::ElementsAre;
using ::testing::Pair;

// ---------------------------------------------------------------------------------------------
// Map text

TEST(MapText, SegmentsPublicsLinesAndEntry) {
  MapText map;
  map.SegmentListHeader()
      .SegmentListEntry(1, 0x401000, 0x1800, ".text", "CODE")
      .SegmentListEntry(2, 0x403000, 0x100, ".init", "ICODE")
      .SegmentListEntry(3, 0x404000, 0x200, ".data", "DATA")
      .Blank()
      .DetailedHeader()
      .Detailed(1, 0x0000, 0x100, "Alpha")
      .Detailed(1, 0x0100, 0x200, "Beta")
      .Detailed(2, 0x0000, 0x40, "Gamma")  // gains the code offset, 0x2000
      .Detailed(3, 0x0010, 0x20, "Alpha")
      .Detailed(4, 0x0000, 0x20, "Ignored")  // above the data segment number
      .Blank()
      .PublicsHeader()
      .Public(1, 0x0010, "Alpha.Start")  // the unit is cut from the name
      .Public(1, 0x0120, "Helper (near)")
      .Public(2, 0x0004, "Gamma.Init")
      .Public(3, 0x0010, "Alpha.Counter")
      .Public(4, 0x0000, "Ignored")
      .Blank()
      .LinesHeader("Alpha")
      .LinePairs({{10, 1, 0x00}, {11, 1, 0x10}, {12, 1, 0x08}})  // first text line: all taken
      .LinePairs({{13, 1, 0x20}, {14, 1, 0x18}, {15, 1, 0x30}})  // later: 0x18 is not above 0x20
      .LinePairs({{16, 2, 0x04}, {17, 3, 0x00}, {18, 0, 0x40}})  // segment 2 gains the offset; 3 and 0 skipped
      .Blank()
      .EntryPoint("0001:00000044");

  FakeModule module;
  module.files[kMap] = map.text;
  const auto loaded = module.Load();
  ASSERT_TRUE(loaded->IsValid());
  const Seen seen = Tables(*loaded);
  EXPECT_THAT(seen.segments, ElementsAre(std::make_tuple(true, 0x0u, 0x100u, "Alpha"), std::make_tuple(true, 0x100u, 0x200u, "Beta"),
                                         std::make_tuple(true, 0x2000u, 0x40u, "Gamma"), std::make_tuple(false, 0x10u, 0x20u, "Alpha")));
  EXPECT_THAT(seen.publics, ElementsAre(Pair("Start", 0x10u), Pair("Helper", 0x120u), Pair("Init", 0x2004u), Pair("Counter", 0x10u)));
  EXPECT_THAT(seen.lines,
              ElementsAre(Pair(10, 0x00u), Pair(12, 0x08u), Pair(11, 0x10u), Pair(13, 0x20u), Pair(15, 0x30u), Pair(16, 0x2004u)));
  EXPECT_EQ(loaded->EntryPoint(), module.BaseOfCode() + 0x44);
}

TEST(MapText, DamagedLinesAreSkippedAndAnUnknownMapIsValidAndEmpty) {
  struct Case {
    const char* what;
    std::string text;
    int publics;
    std::uint32_t entry;
  };
  const Case cases[] = {
      {"nothing recognisable", "just some text\r\nand more\r\n", 0, 0},
      {"entry point line of 35 characters", "Program entry point at 0001:0000004\r\n", 0, 0},
      {"entry point line of 36 characters", "Program entry point at 0001:00000040\r\n", 0, 0x40},
      {"entry point with bad digits", "Program entry point at 0001:0000004G\r\n", 0, 0},
      {"public with bad digits, then a good one",
       MapText().PublicsHeader().Public(1, 0x10, "Good").Line(" 00X1:00000010       Bad").Public(1, 0x20, "Also").text, 2, 0},
      {"short lines", MapText().PublicsHeader().Line("0001:").Line("0001:0000").Public(1, 0x20, "Kept").text, 1, 0},
      {"line numbers without a closing parenthesis", "Line numbers for Alpha(Alpha.pas segment\r\n\r\n    10 0001:00000000\r\n", 0, 0},
  };
  for (const Case& c : cases) {
    FakeModule module;
    module.files[kMap] = c.text;
    const auto loaded = module.Load();
    EXPECT_TRUE(loaded->IsValid()) << c.what;
    EXPECT_EQ(loaded->PublicCount(), c.publics) << c.what;
    EXPECT_EQ(loaded->LineCount(), 0) << c.what;
    EXPECT_EQ(loaded->EntryPoint(), c.entry ? module.BaseOfCode() + c.entry : 0) << c.what;
  }
}

// ---------------------------------------------------------------------------------------------
// JCL debug files

JclFile SampleJcl() {
  JclFile jcl;
  jcl.sources = {{0x000, "C:\\src\\Alpha.pas"}, {0x100, "C:\\src\\Beta.pas"}, {0x180, "Beta.pas"}};
  jcl.symbols = {{0x000, "Alpha", "Start"}, {0x040, "TThing", "Run"}, {0x100, "@Helper", ""}, {0x140, "Beta", "Go"}};
  jcl.lines = {{0x000, 10}, {0x010, 11}, {0x100, 20}, {0x104, 19}};
  return jcl;
}

TEST(JclDebugFile, SourcesSymbolsAndLinesInBothNameForms) {
  for (const auto form : {JclFile::NameForm::packed, JclFile::NameForm::xored}) {
    JclFile jcl = SampleJcl();
    jcl.form = form;
    FakeModule module;
    module.files[kJdbg] = jcl.Build();
    const auto loaded = module.Load();
    ASSERT_TRUE(loaded->IsValid());
    const Seen seen = Tables(*loaded);
    // Closing compaction joins Beta's two pieces; the last segment reaches the top of code (0x2000).
    EXPECT_THAT(seen.segments, ElementsAre(std::make_tuple(true, 0x0u, 0x100u, "Alpha"), std::make_tuple(true, 0x100u, 0x1F00u, "Beta")));
    EXPECT_THAT(seen.publics, ElementsAre(Pair("Start", 0x0u), Pair("TThing.Run", 0x40u), Pair("@Helper", 0x100u), Pair("Go", 0x140u)));
    EXPECT_THAT(seen.lines, ElementsAre(Pair(10, 0x0u), Pair(11, 0x10u), Pair(20, 0x100u), Pair(19, 0x104u)));
  }
}

TEST(JclDebugFile, RejectedFilesLeaveTheModuleWithoutDebugInformation) {
  const std::string good = SampleJcl().Build();
  std::string badChecksum = good;
  badChecksum[30] ^= 1;
  std::string noChecksum = good;
  noChecksum[33] = 0;
  noChecksum[30] ^= 1;  // not looked at
  std::string badVersion = good;
  badVersion[4] = 2;
  struct Case {
    const char* what;
    std::string file;
    bool accepted;
  };
  const Case cases[] = {
      {"intact", good, true},
      {"checksum differs", badChecksum, false},
      {"no checksum present", noChecksum, true},
      {"version 2", badVersion, false},
      {"length not a multiple of 4", good + "x", false},
      {"34 bytes", good.substr(0, 34), false},
      {"other signature", "JDBX" + good.substr(4), false},
  };
  for (const Case& c : cases) {
    FakeModule module;
    module.files[kJdbg] = c.file;
    EXPECT_EQ(module.Load()->IsValid(), c.accepted) << c.what;
  }
}

TEST(JclDebugFile, OffsetsBeyondTheFileReadNothing) {
  std::string file = SampleJcl().Build();
  report::testing::SetLe32(file, 13, 0x7FFFFFF0);  // symbols
  report::testing::SetLe32(file, 21, 0xFFFFFFF0);  // name area
  file[33] = 0;
  FakeModule module;
  module.files[kJdbg] = file;
  const auto loaded = module.Load();
  ASSERT_TRUE(loaded->IsValid());
  EXPECT_EQ(loaded->PublicCount(), 0);
  EXPECT_EQ(loaded->FindSegment(0).Unit_, "") << "names beyond the file are empty";
}

// ---------------------------------------------------------------------------------------------
// TD32

Td32File SampleTd32() {
  Td32File td;
  td.units.push_back({"C:\\src\\Alpha.pas", {{1, 0x000, 0x100}, {2, 0x010, 0x20}}, "C:\\src\\Alpha.pas", {{0x000, 10}, {0x020, 12}}});
  td.units.push_back({"Beta", {{1, 0x100, 0x80}, {1, 0x180, 0x80}}, "", {}});
  td.symbols = {{0x205, 0x000, "@Alpha@Start$qqrv"},
                {0x205, 0x120, "@Beta@Go$qqrv"},
                {0x202, 0x010, "@Alpha@Counter"},
                {0x205, 0x300, "@Gamma@Far$qqrv"}};
  return td;
}

TEST(Td32, ModulesSourceLinesAndSymbols) {
  FakeModule module;
  module.files[kTds] = SampleTd32().Build();
  const auto loaded = module.Load();
  ASSERT_TRUE(loaded->IsValid());
  const Seen seen = Tables(*loaded);
  // A public of another unit outside every segment keeps its plain name and gets a segment of its own.
  EXPECT_THAT(seen.publics, ElementsAre(Pair("Start", 0x0u), Pair("Go", 0x120u), Pair("Far", 0x300u), Pair("Counter", 0x10u)));
  EXPECT_THAT(seen.lines, ElementsAre(Pair(10, 0x0u), Pair(12, 0x20u)));
  // Alpha's code, Beta's two merged pieces, a segment for Gamma's public (closing compaction makes
  // Beta reach it), and Alpha's data.
  EXPECT_THAT(seen.segments, ElementsAre(std::make_tuple(true, 0x0u, 0x100u, "Alpha"), std::make_tuple(true, 0x100u, 0x200u, "Beta"),
                                         std::make_tuple(true, 0x300u, 1u, "Gamma"), std::make_tuple(false, 0x10u, 0x20u, "Alpha")));
}

TEST(Td32, WhereTheDataAreLooked) {
  struct Case {
    const char* what;
    std::map<std::string, std::string> files;
    std::map<std::string, std::int64_t> days;
    bool td32;
  };
  const std::string td = SampleTd32().Build();
  const std::string map = MapText().PublicsHeader().Public(1, 0x10, "FromMap").text;
  const Case cases[] = {
      {".tds beside the module", {{kTds, td}}, {}, true},
      {"the module file itself", {{"C:\\app\\Prog.exe", td}}, {}, true},
      {".tds older than the .map is not used", {{kTds, td}, {kMap, map}}, {{kTds, 5}, {kMap, 6}}, false},
      {".tds of the same day is used", {{kTds, td}, {kMap, map}}, {{kTds, 6}, {kMap, 6}}, true},
      {"other signature", {{kTds, "FB0X" + td.substr(4)}}, {}, false},
  };
  for (const Case& c : cases) {
    FakeModule module;
    module.files = c.files;
    module.days = c.days;
    const auto loaded = module.Load();
    const bool fromTd32 = loaded->IsValid() && loaded->PublicCount() == 4;
    EXPECT_EQ(fromTd32, c.td32) << c.what;
  }
}

TEST(Td32, DamagedDirectoriesStopCleanly) {
  const std::string good = SampleTd32().Build();
  const std::uint32_t directory = static_cast<std::uint32_t>(
      static_cast<unsigned char>(good[4]) | static_cast<unsigned char>(good[5]) << 8 | static_cast<unsigned char>(good[6]) << 16);
  struct Case {
    const char* what;
    std::size_t at;
    std::uint32_t value;
  };
  const Case cases[] = {
      {"directory beyond the data", 4, 0xFFFFFF00},
      {"directory chain loops", directory + 8, directory},
      {"entry count far beyond the data", directory + 4, 0x7FFFFFFF},
      {"subsection beyond the data", directory + 16 + 4, 0xFFFFFFF0},
      {"subsection size beyond the data", directory + 16 + 8, 0xFFFFFFF0},
  };
  for (const Case& c : cases) {
    std::string damaged = good;
    report::testing::SetLe32(damaged, c.at, c.value);
    FakeModule module;
    module.files[kTds] = damaged;
    EXPECT_TRUE(module.Load()->IsValid()) << c.what << ": the signature is right, the reader succeeds with what it could read";
  }
}

}  // namespace
