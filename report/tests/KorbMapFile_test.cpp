#include "report/KorbMapFile.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "platform/Bytes.h"
#include "report/tests/DebugInfoFixtures.h"

namespace {

using report::testing::ContainerFor;
using report::testing::FakeModule;
using report::testing::FromHex;
using ::testing::ElementsAre;

// ---------------------------------------------------------------------------------------------
// Container header

TEST(Container, HeaderChecks) {
  const std::string signature(report::kDebugInfoSignature);
  const auto le = [](std::uint32_t v) {
    std::string s(4, '\0');
    platform::StoreLe32(reinterpret_cast<std::uint8_t*>(s.data()), v);
    return s;
  };
  struct Case {
    const char* what;
    std::string data;
    bool accepted;
  };
  const Case cases[] = {
      {"exactly N + 8 bytes", signature + le(0) + le(2), false},
      {"N + 9 bytes, version 2", signature + le(0) + le(2) + "x", true},
      {"version 1", signature + le(0) + le(1) + "xxxx", false},
      {"version 4", signature + le(0) + le(4) + "xxxx", false},
      {"other signature", "KestrumDbgInfX" + le(0) + le(2) + "xxxx", false},
      {"version 3 cut inside its fields", signature + le(0) + le(3) + "xxxxxxx", false},
      {"version 3 header alone", signature + le(0) + le(3) + std::string(12, '\0'), true},
      {"version 3 and one byte", signature + le(0) + le(3) + std::string(13, '\0'), true},
  };
  for (const Case& c : cases) EXPECT_EQ(report::ParseContainerHeader(c.data).has_value(), c.accepted) << c.what;
}

// ---------------------------------------------------------------------------------------------
// Round trips through Export and the loader

std::unique_ptr<TMapFile> SampleTables() {
  auto map = TMapFile::ForBuilding(true);
  map->AddSegment(true, true, 0x0000, "Alpha", 0x100, TMapFile::SegmentAdd::plain);
  map->AddSegment(true, true, 0x0100, "Beta.pas", 0x300, TMapFile::SegmentAdd::plain);
  map->AddSegment(true, true, 0x0400, "Gamma", 0x80, TMapFile::SegmentAdd::plain);
  map->SortSegments();
  map->AddPublic(true, "Alpha::Start()", 0x0000, false);
  map->AddPublic(true, "Alpha::Helper(int)", 0x0040, false);
  map->AddPublic(true, "NoLines", 0x0100, false);
  map->AddPublic(true, "Far", 0x0100 + 0x200, false);  // a distance above 127
  map->AddPublic(true, std::string(300, 'n'), 0x0400, false);
  map->AddLine(10, 0x0000, false);
  map->AddLine(11, 0x0010, false);
  map->AddLine(300, 0x0040, false);  // a line step beyond a byte
  map->AddLine(12, 0x0044, false);   // and back down
  map->AddLine(5, 0x0400, false);
  map->AddLine(6, 0x0420, false);
  map->SetEntryPoint(0x0044);
  return map;
}

struct Tables {
  std::vector<std::tuple<std::uint32_t, std::uint32_t, std::string, bool>> segments;
  std::vector<std::pair<std::string, std::uint32_t>> publics;
  std::vector<std::pair<std::int32_t, std::uint32_t>> lines;
  std::uint32_t entry = 0;
  bool operator==(const Tables&) const = default;
};

Tables TablesOf(const TMapFile& map, std::uint32_t base) {
  Tables t;
  for (int i = 0; i < map.SegmentCount(); ++i) {
    const TMfSegment s = map.FindSegment(i);
    t.segments.emplace_back(s.StartAddress - base, s.Length, s.Unit_, s.LineNumbers);
  }
  for (int i = 0; i < map.PublicCount(); ++i) t.publics.emplace_back(map.FindPublic(i).Name, map.FindPublic(i).Address - base);
  for (int i = 0; i < map.LineCount(); ++i) t.lines.emplace_back(map.LineAt(i).Line, map.LineAt(i).Address - base);
  t.entry = map.EntryPoint() - base;
  return t;
}

// The sample's tables as the format keeps them: names of at most 255 characters.
Tables StoredSample() {
  Tables expected = TablesOf(*SampleTables(), 0);
  expected.publics[4].first.resize(255);
  return expected;
}

TEST(RoundTrip, ExportThenLoadGivesTheSameTablesInBothVersions) {
  const auto original = SampleTables();
  const Tables expected = StoredSample();
  for (const bool newFormat : {false, true}) {
    FakeModule module;
    module.resources[report::DebugInfoSource::Resource::debugInfo] = original->Export(newFormat, false, false);
    EXPECT_EQ(module.resources[report::DebugInfoSource::Resource::debugInfo].size() % 4, 0u);
    const auto loaded = module.Load();
    ASSERT_TRUE(loaded->IsValid());
    EXPECT_EQ(TablesOf(*loaded, module.BaseOfCode()), expected) << "version " << (newFormat ? 3 : 2);
    EXPECT_EQ(loaded->MinDebugInfo(), "");
  }
}

TEST(RoundTrip, MinimalResourceWithItsKorbFile) {
  const auto original = SampleTables();
  const std::string full = original->Export(true, false, false, 0x12345678);
  const std::string minimal = original->Export(true, true, false, 0x12345678);
  const auto* fullBytes = reinterpret_cast<const std::uint8_t*>(full.data());
  const std::string identifier = report::MinDebugInfoIdentifier(static_cast<std::uint32_t>(full.size()), platform::LoadLe32(fullBytes + 22),
                                                                platform::LoadLe32(fullBytes + 26));
  ASSERT_EQ(identifier.size(), 31u);
  EXPECT_EQ(platform::LoadLe32(fullBytes + 22), 0x12345678u);

  FakeModule module;
  module.resources[report::DebugInfoSource::Resource::debugInfo] = minimal;
  module.resources[report::DebugInfoSource::Resource::settings] = module.SettingsWithMinDebugInfo(identifier);
  module.files["C:\\app\\Prog.korb"] = full;
  const auto loaded = module.Load();
  ASSERT_TRUE(loaded->IsValid());
  EXPECT_EQ(TablesOf(*loaded, module.BaseOfCode()), StoredSample()) << "the .korb file's full tables";
  EXPECT_EQ(loaded->MinDebugInfo(), "");

  // A .korb file of another build is not used: the resource's own minimal tables are.
  module.files["C:\\app\\Prog.korb"] = SampleTables()->Export(true, false, false, 0x12345679);
  const auto fallback = module.Load();
  ASSERT_TRUE(fallback->IsValid());
  EXPECT_EQ(fallback->MinDebugInfo(), identifier);
  ASSERT_EQ(fallback->SegmentCount(), 3);
  EXPECT_EQ(fallback->FindSegment(0).Unit_, "segment%0");
  EXPECT_EQ(fallback->FindPublic(4).Name, "public%4");
  EXPECT_EQ(fallback->LineCount(), 0);
  const std::uint32_t base = module.BaseOfCode();
  EXPECT_EQ(fallback->FindPublic(base + 0x41).Address, base + 0x40);
  // Alpha and Gamma have lines, Beta has none (its last byte has no line above 0).
  EXPECT_EQ(fallback->FindLine(base + 0x10), -1);
  EXPECT_EQ(fallback->FindLine(base + 0x150), 0);
  EXPECT_EQ(fallback->FindLine(base + 0x410), -1);
  EXPECT_EQ(fallback->EntryPoint(), base + 0x44);
}

TEST(RoundTrip, MinimalResourceWithoutTheSettingsValueIsReadAsMinimal) {
  FakeModule module;
  module.resources[report::DebugInfoSource::Resource::debugInfo] = SampleTables()->Export(true, true, false);
  const auto loaded = module.Load();
  ASSERT_TRUE(loaded->IsValid());
  EXPECT_TRUE(loaded->HoldsMinimalInfo());
  EXPECT_EQ(loaded->FindSegment(2).Unit_, "segment%2");
  EXPECT_EQ(loaded->PublicCount(), 5);
}

TEST(RoundTrip, HideUglyItemsEmptiesNamesWithoutLines) {
  FakeModule module;
  module.resources[report::DebugInfoSource::Resource::debugInfo] = SampleTables()->Export(true, false, true);
  const auto loaded = module.Load();
  EXPECT_EQ(loaded->FindPublic(0).Name, "Alpha.Start()");
  EXPECT_EQ(loaded->FindPublic(2).Name, "") << "Beta has no lines";
}

// ---------------------------------------------------------------------------------------------
// The stream's edges, through hand-made streams

TEST(Stream, EntryPointOnlyWithExactlyFourBytesLeft) {
  const std::string tables = FromHex(
      "00000000"
      "00000000"
      "00000000");  // no segments, publics, lines
  for (const auto& [tail, expected] :
       std::vector<std::pair<std::string, std::uint32_t>>{{"102030", 0}, {"10203040", 0x40302010}, {"1020304050", 0}}) {
    FakeModule module;
    module.resources[report::DebugInfoSource::Resource::debugInfo] = ContainerFor(tables + FromHex(tail));
    const auto loaded = module.Load();
    ASSERT_TRUE(loaded->IsValid());
    EXPECT_EQ(loaded->EntryPoint(), expected ? expected + module.BaseOfCode() : 0) << tail;
  }
}

TEST(Stream, DamageStopsCleanly) {
  struct Case {
    const char* what;
    std::string container;
    int segments;
  };
  const std::string good =
      ContainerFor(FromHex("01000000"
                           "00000000"
                           "10000000"
                           "01"
                           "41"
                           "00000000"
                           "00000000"));
  std::string longPayload = good;
  platform::StoreLe32(reinterpret_cast<std::uint8_t*>(longPayload.data()) + 14, 0x7FFFFFFF);
  std::string flipped = good;
  flipped[34 + 12] ^= 0x55;  // the second enciphered block: CRC and the start of the deflate stream
  const Case cases[] = {
      {"intact", good, 1},
      {"payload length beyond the container", longPayload, 0},
      {"damaged payload", flipped, 0},
      {"count far beyond the bytes left",
       ContainerFor(FromHex("FFFFFF7F"
                            "00000000"
                            "10000000"
                            "01")),
       1},
      {"negative count",
       ContainerFor(FromHex("FFFFFFFF"
                            "00000000")),
       0},
      {"stream ends inside a segment",
       ContainerFor(FromHex("02000000"
                            "00000000"
                            "10000000"
                            "05"
                            "41")),
       1},
  };
  for (const Case& c : cases) {
    FakeModule module;
    module.resources[report::DebugInfoSource::Resource::debugInfo] = c.container;
    const auto loaded = module.Load();
    EXPECT_TRUE(loaded->IsValid()) << c.what << ": a container that passes its header is valid";
    EXPECT_EQ(loaded->SegmentCount(), c.segments) << c.what;
    EXPECT_EQ(loaded->PublicCount(), 0) << c.what;
  }
}

TEST(Stream, RejectedContainerTriesTheNextSource) {
  FakeModule module;
  module.resources[report::DebugInfoSource::Resource::debugInfo] = "KestrumDbgInfo\x10\0\0\0\x04\0\0\0xxxx";
  module.files["C:\\app\\Prog.korb"] = SampleTables()->Export(false, false, false);
  const auto loaded = module.Load();
  ASSERT_TRUE(loaded->IsValid());
  EXPECT_EQ(loaded->SegmentCount(), 3);
  EXPECT_FALSE(FakeModule().Load()->IsValid()) << "no source at all";
}

// ---------------------------------------------------------------------------------------------
// Lookups

class Lookups : public ::testing::Test {
 protected:
  void SetUp() override {
    module_.resources[report::DebugInfoSource::Resource::debugInfo] = SampleTables()->Export(true, false, false);
    map_ = module_.Load();
    base_ = module_.BaseOfCode();
  }
  FakeModule module_;
  std::unique_ptr<TMapFile> map_;
  std::uint32_t base_ = 0;
};

TEST_F(Lookups, SegmentPublicAndLineByAddress) {
  struct Case {
    std::uint32_t offset;
    const char* unit;
    std::string publicName;
    std::int32_t line;
  };
  const std::string longName(255, 'n');
  const Case cases[] = {
      {0x00, "Alpha", "Alpha.Start()", 10},
      {0x0F, "Alpha", "Alpha.Start()", 10},
      {0x10, "Alpha", "Alpha.Start()", 11},
      {0x43, "Alpha", "Alpha.Helper(int)", 300},
      {0x44, "Alpha", "Alpha.Helper(int)", 12},
      {0xFF, "Alpha", "Alpha.Helper(int)", 12},  // the last line entry before the next segment still belongs to Alpha
      {0x100, "Beta", "NoLines", 0},             // the line entry at 0x44 lies outside Beta
      {0x47F, "Gamma", longName, 6},
      {0x480, "", longName, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(map_->FindSegment(true, base_ + c.offset).Unit_, c.unit) << std::hex << c.offset;
    EXPECT_EQ(map_->FindPublic(base_ + c.offset).Name, c.publicName) << std::hex << c.offset;
    EXPECT_EQ(map_->FindLine(base_ + c.offset), c.line) << std::hex << c.offset;
  }
  EXPECT_FALSE(map_->FindPublic(base_ - 1).IsValid);
  EXPECT_FALSE(map_->FindSegment(false, base_).IsValid) << "no data segments";
  EXPECT_FALSE(map_->FindPublic(base_ + 0x2000 + 5).IsValid) << "beyond the top of code";
  std::uint32_t next = 0;
  EXPECT_EQ(map_->FindLine(base_ + 0x12, next), 11);
  EXPECT_EQ(next, base_ + 0x40);
}

TEST_F(Lookups, PublicByUnitAndName) {
  EXPECT_EQ(map_->FindPublic(true, "alpha", "Alpha.Helper(int)", true), base_ + 0x40);
  EXPECT_EQ(map_->FindPublic(true, "Alpha", "alpha.helper(INT)", true), 0u);
  EXPECT_EQ(map_->FindPublic(true, "Alpha", "alpha.helper(INT)", false), base_ + 0x40);
  EXPECT_EQ(map_->FindPublic(true, "Beta", "NoLines", true), base_ + 0x100) << ".pas was cut from the unit";
  EXPECT_EQ(map_->FindPublic(false, "Beta", "NoLines", true), 0u);

  auto map = TMapFile::ForBuilding(true);
  map->AddSegment(true, true, 0x10, "uMain.cpp", 0x10, TMapFile::SegmentAdd::plain);
  map->AddSegment(true, true, 0x20, "Other.DPR", 0x10, TMapFile::SegmentAdd::plain);
  map->AddPublic(true, "Run", 0x14, false);
  map->AddPublic(true, "Go", 0x20, false);
  EXPECT_EQ(map->FindPublic(true, "uMain", "Run", true), 0x14u) << "the unit found with .cpp";
  EXPECT_EQ(map->FindPublic(true, "uMain.h", "Run", true), 0u) << "a unit with a dot is taken as it is";
  EXPECT_EQ(map->FindPublic(true, "Other", "Go", true), 0x20u) << ".DPR cut in any case";
}

TEST(FindLine, OneLineTableFindsNothing) {
  auto map = TMapFile::ForBuilding(true);
  map->AddSegment(true, false, 0x1000, "U", 0x100, TMapFile::SegmentAdd::plain);
  map->AddLine(7, 0x1000, false);
  for (const std::uint32_t address : {0x1000u, 0x1001u, 0x10FFu}) EXPECT_EQ(map->FindLine(address), 0);
  map->AddLine(8, 0x1010, false);
  EXPECT_EQ(map->FindLine(0x1001), 7);
}

// ---------------------------------------------------------------------------------------------
// Table building

TEST(TableBuilding, MergingCompactionAndPublicNames) {
  auto map = TMapFile::ForBuilding(false);
  map->AddSegment(true, true, 0x100, "U", 0x10, TMapFile::SegmentAdd::merging);
  map->AddSegment(true, true, 0x112, "U", 0x10, TMapFile::SegmentAdd::merging);  // within end + 2: merged
  map->AddSegment(true, true, 0x130, "U", 0x10, TMapFile::SegmentAdd::merging);  // a gap: a new segment
  map->AddSegment(true, true, 0x200, "V", 0x0, TMapFile::SegmentAdd::plain);     // empty: dropped by compaction
  map->AddSegment(true, true, 0x208, "W", 0x8, TMapFile::SegmentAdd::plain);
  map->AddSegment(false, true, 0x10, "D", 0x8, TMapFile::SegmentAdd::plain);
  map->SortSegments();
  ASSERT_EQ(map->SegmentCount(), 5);
  EXPECT_EQ(map->FindSegment(0).Length, 0x22u);
  map->CompactSegments(true);
  std::vector<std::tuple<bool, std::uint32_t, std::uint32_t, std::string>> got;
  for (int i = 0; i < map->SegmentCount(); ++i) {
    const TMfSegment s = map->FindSegment(i);
    got.emplace_back(s.Code, s.StartAddress, s.Length, s.Unit_);
  }
  // Closing: U's two pieces join across the gap and U reaches the empty V's start; V goes; the data kind is left alone.
  EXPECT_THAT(got, ElementsAre(std::make_tuple(true, 0x100u, 0x100u, "U"), std::make_tuple(true, 0x208u, 0x8u, "W"),
                               std::make_tuple(false, 0x10u, 0x8u, "D")));

  map->AddPublic(true, "W", 0x20A, false);
  map->AddPublic(true, "@Other@Run$qqrv", 0x100, false);
  map->AddPublic(true, "@$xp$Thing", 0x104, false);
  EXPECT_EQ(map->PublicCount(), 2);
  EXPECT_EQ(map->FindPublic(0).Name, "initialization") << "a public named as its unit";
  EXPECT_EQ(map->FindPublic(1).Name, "Other.Run") << "another unit's routine keeps its unit";

  auto touching = TMapFile::ForBuilding(true);
  touching->AddSegment(true, true, 0x100, "A", 0x10, TMapFile::SegmentAdd::plain);
  touching->AddSegment(true, true, 0x120, "A", 0x10, TMapFile::SegmentAdd::plain);
  touching->CompactSegments(false);
  EXPECT_EQ(touching->SegmentCount(), 2) << "touching mode leaves a gap alone";
  EXPECT_FALSE(TMapFile::ForBuilding(true)->IsValid() == false);
}

TEST(TableBuilding, CodeOnlyDropsDataAndCheckedLinesKeepOrder) {
  auto map = TMapFile::ForBuilding(true);
  map->AddSegment(false, true, 0x10, "D", 0x8, TMapFile::SegmentAdd::plain);
  map->AddPublic(false, "Data", 0x10, false);
  EXPECT_EQ(map->SegmentCount(), 0);
  EXPECT_EQ(map->PublicCount(), 0);
  map->AddLine(1, 0x10, true);
  map->AddLine(2, 0x10, true);
  map->AddLine(3, 0x08, true);
  map->AddLine(4, 0x20, true);
  EXPECT_EQ(map->LineCount(), 2);
}

}  // namespace
