#include "crash/settings/KestrumResource.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrum {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Hand-made streams: the fixed head, then whatever bytes a case needs.
struct Stream {
  Bytes b{'T', 'P', 'F', '0', 8, 'T', 'K', 'e', 's', 't', 'r', 'u', 'm', 7, 'K', 'e', 's', 't', 'r', 'u', 'm'};
  Stream& Name(const std::string& n) {
    b.push_back(static_cast<std::uint8_t>(n.size()));
    b.insert(b.end(), n.begin(), n.end());
    return *this;
  }
  Stream& Raw(Bytes more) {
    b.insert(b.end(), more.begin(), more.end());
    return *this;
  }
  Stream& Text(const std::string& s) {
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  Stream& End() {
    b.push_back(0);
    return *this;
  }
};

ParsedProperty Int(const std::string& n, std::int32_t v) { return {n, ptInteger, false, v, ""}; }
ParsedProperty Bool(const std::string& n, bool v) { return {n, ptBoolean, v, 0, ""}; }
ParsedProperty Str(const std::string& n, const std::string& v) { return {n, ptString, false, 0, v}; }

// Parses from a heap block of exactly the stream's size, so that the sanitizer sees any read
// past its end.
ParsedResource ParseExact(const Bytes& bytes) {
  std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[bytes.size() ? bytes.size() : 1]);
  if (!bytes.empty()) std::memcpy(block.get(), bytes.data(), bytes.size());
  return ParseSettingsResource(block.get(), bytes.size());
}

TEST(SettingsResource, EveryValueType) {
  struct Case {
    const char* what;
    Stream stream;
    ParsedProperty expected;
  } cases[] = {
      {"int8", Stream().Name("A").Raw({2, 0xFB}), Int("A", -5)},
      {"int16", Stream().Name("A").Raw({3, 0xD4, 0xFE}), Int("A", -300)},
      {"int32", Stream().Name("A").Raw({4, 0xA0, 0x86, 0x01, 0x00}), Int("A", 100000)},
      {"int32 min", Stream().Name("A").Raw({4, 0, 0, 0, 0x80}), Int("A", INT32_MIN)},
      {"short string", Stream().Name("A").Raw({6, 3}).Text("abc"), Str("A", "abc")},
      {"empty short string", Stream().Name("A").Raw({6, 0}), Str("A", "")},
      {"false", Stream().Name("A").Raw({8}), Bool("A", false)},
      {"true", Stream().Name("A").Raw({9}), Bool("A", true)},
      {"long string", Stream().Name("A").Raw({12, 4, 0, 0, 0}).Text("long"), Str("A", "long")},
      {"utf-16 to 8-bit", Stream().Name("A").Raw({18, 3, 0, 0, 0, 'G', 0, 0xFC, 0x00, 0x3A, 0x26}), Str("A", "G\xFC?")},
  };
  for (auto& c : cases) {
    const ParsedResource r = ParseExact(c.stream.End().b);
    ASSERT_TRUE(r.prefixOk) << c.what;
    EXPECT_FALSE(r.truncated) << c.what;
    EXPECT_EQ(r.invalidType, -1) << c.what;
    ASSERT_EQ(r.props.size(), 1u) << c.what;
    EXPECT_EQ(r.props[0], c.expected) << c.what;
  }
}

TEST(SettingsResource, PropertiesKeepResourceOrderAndDuplicates) {
  const ParsedResource r =
      ParseExact(Stream().Name("Enabled").Raw({9}).Name("SmtpPort").Raw({2, 25}).Name("Enabled").Raw({8}).End().b);
  EXPECT_EQ(r.props, (std::vector<ParsedProperty>{Bool("Enabled", true), Int("SmtpPort", 25), Bool("Enabled", false)}));
}

TEST(SettingsResource, WrongPrefixGivesAnEmptyListWithoutMessage) {
  Stream wrongClass;
  wrongClass.b[5] = 'X';
  Stream shortHead;
  shortHead.b.resize(10);
  Stream lowercase;
  lowercase.b[0] = 't';
  for (const Bytes& b : {Bytes{}, shortHead.b, wrongClass.Name("A").Raw({9}).End().b, lowercase.Name("A").Raw({9}).End().b}) {
    const ParsedResource r = ParseExact(b);
    EXPECT_FALSE(r.prefixOk);
    EXPECT_TRUE(r.props.empty());
    EXPECT_EQ(r.invalidType, -1);
  }
  EXPECT_FALSE(ParseSettingsResource(nullptr, 100).prefixOk);
}

TEST(SettingsResource, UnknownTypeStopsAndKeepsEarlierKeys) {
  const ParsedResource r = ParseExact(Stream().Name("Enabled").Raw({9}).Name("Odd").Raw({5, 1, 2, 3}).Name("Later").Raw({9}).End().b);
  EXPECT_TRUE(r.prefixOk);
  EXPECT_EQ(r.invalidType, 5);
  EXPECT_EQ(r.props, (std::vector<ParsedProperty>{Bool("Enabled", true)}));
  EXPECT_EQ(InvalidResourceMessage(5), "Internal error: Invalid settings resource ($5).");
  EXPECT_EQ(InvalidResourceMessage(0xAB), "Internal error: Invalid settings resource ($ab).");
  // Identifier, set and the other stream types this loader does not know are refused alike.
  for (std::uint8_t t : {0, 1, 5, 7, 10, 11, 13, 19, 255}) {
    EXPECT_EQ(ParseExact(Stream().Name("A").Raw({t, 0, 0, 0, 0}).End().b).invalidType, t);
  }
}

TEST(SettingsResource, TruncatedStreamsNeverReadPastTheEnd) {
  const Bytes full = Stream()
                         .Name("Enabled").Raw({9})
                         .Name("FreezeTimeout").Raw({4, 0x60, 0xEA, 0, 0})
                         .Name("Port").Raw({3, 0x50, 0})
                         .Name("Title").Raw({6, 9}).Text("%appname%")
                         .Name("Long").Raw({12, 2, 0, 0, 0}).Text("ab")
                         .Name("Wide").Raw({18, 2, 0, 0, 0, 'h', 0, 'i', 0})
                         .End().b;
  const ParsedResource whole = ParseExact(full);
  ASSERT_EQ(whole.props.size(), 6u);
  ASSERT_FALSE(whole.truncated);
  const std::size_t head = Stream().b.size();
  for (std::size_t cut = head; cut < full.size(); ++cut) {
    const ParsedResource r = ParseExact(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut)));
    EXPECT_TRUE(r.truncated) << "cut at " << cut;
    ASSERT_LE(r.props.size(), whole.props.size());
    for (std::size_t i = 0; i < r.props.size(); ++i) EXPECT_EQ(r.props[i], whole.props[i]) << "cut at " << cut;
  }
}

TEST(SettingsResource, LyingLengthsEndParsingCleanly) {
  struct Case {
    const char* what;
    Bytes tail;
  } cases[] = {
      {"long string longer than the rest", {12, 0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b'}},
      {"long string just one byte too long", {12, 3, 0, 0, 0, 'a', 'b'}},
      {"utf-16 count that doubles past 32 bits", {18, 0x01, 0x00, 0x00, 0x80, 'a', 0}},
      {"utf-16 odd byte at the end", {18, 2, 0, 0, 0, 'a', 0, 'b'}},
      {"short string longer than the rest", {6, 200, 'x', 'y'}},
      {"name longer than the rest", {}},
  };
  for (auto& c : cases) {
    Stream s;
    s.Name("Kept").Raw({9});
    if (c.tail.empty()) s.Raw({50, 'N', 'a'});
    else s.Name("Bad").Raw(c.tail);
    const ParsedResource r = ParseExact(s.b);
    EXPECT_TRUE(r.truncated) << c.what;
    EXPECT_EQ(r.props, (std::vector<ParsedProperty>{Bool("Kept", true)})) << c.what;
  }
}

TEST(SettingsResource, ZeroBytesCutTheStoredTexts) {
  const ParsedResource r = ParseExact(Stream().Name(std::string("Na\0me", 5)).Raw({6, 3, 'a', 0, 'b'}).End().b);
  ASSERT_EQ(r.props.size(), 1u);
  EXPECT_EQ(r.props[0].name, "Na");
  EXPECT_EQ(r.props[0].vStr, "a");
}

TEST(SettingsResourceWriter, SmallestTypesAndRoundTrip) {
  struct Case {
    std::int32_t value;
    std::uint8_t type;
  } ints[] = {{0, 2},     {127, 2},   {-128, 2},   {128, 3},          {-129, 3},        {32767, 3},
              {-32768, 3}, {32768, 4}, {-32769, 4}, {100000, 4},       {INT32_MAX, 4},   {INT32_MIN, 4}};
  for (const Case& c : ints) {
    const Bytes b = WriteSettingsResource({Int("N", c.value)});
    EXPECT_EQ(b[Stream().b.size() + 2], c.type) << c.value;
    EXPECT_EQ(ParseExact(b).props, (std::vector<ParsedProperty>{Int("N", c.value)}));
  }
  const std::vector<ParsedProperty> props = {Bool("T", true), Bool("F", false), Str("Empty", ""),
                                             Str("Short", std::string(255, 's')), Str("Long", std::string(256, 'l'))};
  const Bytes b = WriteSettingsResource(props);
  const ParsedResource r = ParseExact(b);
  EXPECT_FALSE(r.truncated);
  EXPECT_EQ(r.props, props);
  EXPECT_EQ(b[b.size() - 1], 0) << "end mark";
  const std::size_t shortType = Stream().b.size() + 3 + 3 + 8 + 6;  // T, F, Empty, then "Short" with its length byte
  EXPECT_EQ(b[shortType], vaString);
  EXPECT_EQ(b[shortType + 1], 255);
  EXPECT_EQ(b[shortType + 2 + 255 + 5], vaLString);
  EXPECT_THROW(WriteSettingsResource({Bool(std::string(256, 'n'), true)}), std::invalid_argument);
}

TEST(SettingsText, ReadsEveryKindOfLine) {
  const auto props = ParseSettingsText(
      "# comment\r\n"
      "\n"
      "Enabled = True\r\n"
      "  AutoSave=False  \n"
      "FreezeTimeout = 60000\n"
      "Offset = -129\n"
      "BitFaultMsg = \"The file \"%modname%\" seems to be corrupt!\"\n"
      "MailAddr = \"\"\n"
      "Last = \" x \"");
  EXPECT_EQ(props, (std::vector<ParsedProperty>{Bool("Enabled", true), Bool("AutoSave", false), Int("FreezeTimeout", 60000),
                                                Int("Offset", -129), Str("BitFaultMsg", "The file \"%modname%\" seems to be corrupt!"),
                                                Str("MailAddr", ""), Str("Last", " x ")}));
}

TEST(SettingsText, RefusesWhatItCannotStoreNamingTheLine) {
  struct Case {
    const char* text;
    const char* line;
  } cases[] = {
      {"A = True\nNoValue\n", "line 2"},
      {"A = yes", "line 1"},
      {"A = true", "line 1"},
      {"\n\nA = \"open", "line 3"},
      {"A = \"", "line 1"},
      {"A = 1\nA = 2", "line 2"},
      {"A = 2147483648", "line 1"},
      {"A = -2147483649", "line 1"},
      {"A = 12x", "line 1"},
      {"A = -", "line 1"},
      {"Bad Key = 1", "line 1"},
      {" = 1", "line 1"},
  };
  for (const Case& c : cases) {
    try {
      ParseSettingsText(c.text);
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()).rfind(c.line, 0), 0u) << c.text << " -> " << e.what();
    }
  }
  EXPECT_EQ(ParseSettingsText("A = -2147483648")[0].vInt, INT32_MIN);
}

}  // namespace
}  // namespace kestrum
