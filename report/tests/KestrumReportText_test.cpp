#include "report/KestrumReportText.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/Text.h"

namespace report {
namespace {

TEST(ReportLayout, HeaderAndSections) {
  const ReportItems header = {{"date/time", "2026-12-10, 17:00:00, 5ms"},
                              {"exception class", "EConvertError"},
                              {"exception message", "two\r\nlines  and\rmore\nblanks."}};
  const ReportItems sections = {{"stack dump", "a\r\n\r\nb   \r\n"}, {"main thread ($1):", "x\n\ry"}};
  EXPECT_EQ(ComposeReport(header, sections),
            "date/time         : 2026-12-10, 17:00:00, 5ms\r\n"
            "exception class   : EConvertError\r\n"
            "exception message : two lines and more blanks.\r\n"
            "\r\n"
            "stack dump:\r\n"
            "a\r\n"
            ".\r\n"
            "b\r\n"
            ".\r\n"
            "\r\n"
            "main thread ($1):\r\n"
            "x\r\n"
            ".\r\n"
            "y")
      << "names padded to the longest + 1; no line end after the last line";
}

TEST(ReportLayout, SectionLinesAndTitles) {
  struct Case {
    const char* content;
    const char* lines;
  } cases[] = {
      {"a\r\n\r\nb", "a\r\n.\r\nb"},
      {"a\r\nb", "a\r\nb"},
      {"a\n\nb", "a\r\n.\r\nb"},
      {"a\r\rb", "a\r\n.\r\nb"},
      {"a\t \x01", "a"},
      {"", "."},
      {"  lead", "  lead"},
  };
  for (const Case& c : cases) EXPECT_EQ(SectionLines(c.content), c.lines) << testing::PrintToString(c.content);
  EXPECT_EQ(SectionTitle("stack dump"), "stack dump:");
  EXPECT_EQ(SectionTitle("main thread ($1): <suspended>"), "main thread ($1): <suspended>");
  EXPECT_EQ(ComposeReport({}, {}), "");
}

TEST(ReportValues, Messages) {
  struct Case {
    const char* message;
    const char* normalised;
  } cases[] = {
      {"Access violation!!", "Access violation."},
      {"done.", "done."},
      {"no end", "no end."},
      {"line one\r\nline two..!", "line one line two."},
      {"", "."},
  };
  for (const Case& c : cases) EXPECT_EQ(NormaliseMessage(c.message), c.normalised) << c.message;
  EXPECT_EQ(NormaliseMessage(std::string("zero\0\0", 6)), "zero.");
}

TEST(ReportValues, BreakMessageOnlyBetweenTheTwentiethAndTheTenthLastCharacter) {
  struct Case {
    const char* message;
    const char* broken;
  } cases[] = {
      {"", ""},
      {"A. B. C.", "A. B. C."},
      {"Short. Message. Of thirty ch.", "Short. Message. Of thirty ch."},
      {"123456789012345678. x. 1234567890123. end. 12345678",
       "123456789012345678. x.\r\n1234567890123.\r\nend. 12345678"},
      {"12345678901234567890. 3456789012345. 89", "12345678901234567890.\r\n3456789012345. 89"},
  };
  for (const Case& c : cases) EXPECT_EQ(BreakMessage(c.message), c.broken) << c.message;
  // Every length around the bounds, for a message of nothing but ". ".
  for (int n = 0; n < 40; ++n) {
    std::string m;
    while (static_cast<int>(m.size()) < n) m += ". ";
    m.resize(n);
    const std::string b = BreakMessage(m);
    if (n <= 30) {
      EXPECT_EQ(b, m) << n;
    }
    EXPECT_EQ(b.substr(0, 20), m.substr(0, 20)) << n;
  }
}

TEST(ReportValues, Durations) {
  struct Case {
    std::int64_t seconds;
    const char* text;
  } cases[] = {
      {86400 + 3600 + 1, "1 day 1 hour"},
      {3600 + 120 + 5, "1 hour 2 minutes"},
      {59, "59 seconds"},
      {60, "1 minute"},
      {2 * 86400, "2 days"},
      {2 * 86400 + 7200, "2 days 2 hours"},
      {3600 * 5, "5 hours"},
      {1, "1 second"},
      {0, ""},
      {-5, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(DurationText(c.seconds), c.text) << c.seconds;
}

TEST(ReportValues, Sizes) {
  struct Case {
    std::uint64_t bytes;
    const char* separator;
    const char* text;
  } cases[] = {
      {0, ",", "0 Bytes"},
      {1023, ",", "1023 Bytes"},
      {1024, ",", "1,00 KB"},
      {1536, ",", "1,50 KB"},
      {1536, ".", "1.50 KB"},
      {1048575, ",", "1023,99 KB"},
      {1048576, ",", "1,00 MB"},
      {3 * 1048576 + 1048576 / 4, ",", "3,25 MB"},
      {1073741824ull * 5 / 2, ",", "2,50 GB"},
      {~0ull, ",", "17179869183,99 GB"},
  };
  for (const Case& c : cases) EXPECT_EQ(SizeText(c.bytes, c.separator), c.text) << c.bytes;
  EXPECT_EQ(RoundedMegabytes(524287), 0u);
  EXPECT_EQ(RoundedMegabytes(524288), 1u);
  EXPECT_EQ(RoundedMegabytes(~0ull), 17592186044416u);
}

TEST(ReportValues, DatesAndNumbers) {
  EXPECT_EQ(DateTimeText(2026, 1, 2, 3, 4, 5, 6), "2026-01-02, 03:04:05, 6ms");
  EXPECT_EQ(FileDateTimeText(2026, 12, 10, 17, 3), "2026-12-10 17:03");
  EXPECT_EQ(platform::DollarHex(0x1A2B), "$1a2b");
  EXPECT_EQ(platform::DollarHex(0), "$0");
  EXPECT_EQ(platform::Hex8(0x1A2B), "00001a2b");
}

TEST(ReportValues, OperatingSystemNames) {
  auto nt = [](std::uint32_t major, std::uint32_t minor, bool workstation = true) {
    OsFacts f;
    f.major = major;
    f.minor = minor;
    f.workstation = workstation;
    return f;
  };
  auto w9x = [](std::uint32_t minor, std::uint32_t build, std::uint32_t major = 4) {
    OsFacts f;
    f.win9x = true;
    f.major = major;
    f.minor = minor;
    f.build = build;
    return f;
  };
  OsFacts xpMedia = nt(5, 1);
  xpMedia.mediaCenter = true;
  xpMedia.servicePack = "Service Pack 3";
  OsFacts sevenMedia = nt(6, 1);
  sevenMedia.mediaCenter = true;
  sevenMedia.x64 = true;
  OsFacts r2 = nt(5, 2, false);
  r2.r2 = true;
  struct Case {
    OsFacts facts;
    const char* text;
  } cases[] = {
      {w9x(0, 950), "Windows 95"},          {w9x(0, 1111), "Windows 95 OSR-2"},
      {w9x(10, 1998), "Windows 98"},        {w9x(10, 2222), "Windows 98 SE"},
      {w9x(10, 3000), "Windows ME"},        {w9x(90, 3000), "Windows ME"},
      {w9x(91, 3000), "Windows 9x New"},    {w9x(0, 950, 3), "None"},
      {w9x(10, 0x04000000 | 1998), "Windows 98"},
      {nt(3, 51), "Windows NT 3"},          {nt(4, 0), "Windows NT 4"},
      {nt(5, 0), "Windows 2000"},           {nt(5, 2), "Windows XP"},
      {nt(5, 2, false), "Windows 2003"},    {nt(6, 0), "Windows Vista"},
      {nt(6, 0, false), "Windows 2008"},    {nt(6, 1), "Windows 7"},
      {nt(6, 1, false), "Windows 2008 R2"}, {nt(10, 0), "Windows NT New"},
      {xpMedia, "Windows XP Media Center Service Pack 3"},
      {sevenMedia, "Windows 7 x64"},
      {r2, "Windows 2003 R2"},
  };
  for (const Case& c : cases) EXPECT_EQ(OsDescription(c.facts), c.text);
}

// The register update bit by bit, as the checksum is defined.
std::uint32_t BitwiseCrc(std::uint32_t reg, std::string_view data) {
  for (unsigned char c : data) {
    reg ^= c;
    for (int i = 0; i < 8; ++i) reg = (reg >> 1) ^ (reg & 1 ? 0xEDB88320u : 0);
  }
  return reg;
}

TEST(CallstackChecksum, CrcIsTheRegisterUpdateWithoutInversion) {
  EXPECT_EQ(CrcUpdate(0xFFFFFFFF, "123456789", 9) ^ 0xFFFFFFFF, 0xCBF43926u) << "the usual CRC-32 with the inversions added";
  for (std::uint32_t seed : {0u, 1u, 0x12345678u, 0xFFFFFFFFu}) {
    for (const char* data : {"", "a", "kelvane.exe", "tform1.button1click"}) {
      EXPECT_EQ(CrcUpdate(seed, data, std::strlen(data)), BitwiseCrc(seed, data)) << seed << " " << data;
    }
  }
  EXPECT_EQ(ChecksumLowerCase("ABC\xC4\xD6\xDC\xC9z"), "abc\xE4\xF6\xFC\xC9z") << "only A-Z and the three umlauts";
}

TEST(CallstackChecksum, LinesThreadsAndText) {
  TraceLineFacts known{0x401234, 0x401200, "Kelvane.EXE", "uMain", "TForm1.Button1Click"};
  const std::uint32_t v = BitwiseCrc(BitwiseCrc(BitwiseCrc(0x34, "kelvane.exe"), "umain"), "tform1.button1click");
  EXPECT_EQ(LineChecksum(known), v);
  TraceLineFacts noUnit = known;
  noUnit.unit.clear();
  EXPECT_EQ(LineChecksum(noUnit), BitwiseCrc(BitwiseCrc(0x34, "kelvane.exe"), "tform1.button1click"));
  for (auto drop : {&TraceLineFacts::module, &TraceLineFacts::function}) {
    TraceLineFacts partial = known;
    partial.*drop = "";
    EXPECT_EQ(LineChecksum(partial), 0x401234u) << "without module or function the address stands";
  }
  TraceLineFacts noStart = known;
  noStart.functionStart.reset();
  EXPECT_EQ(LineChecksum(noStart), 0x401234u);

  const std::uint32_t single[] = {v};
  EXPECT_EQ(ChecksumsOfThread(single).crc1, v);
  EXPECT_EQ(ChecksumsOfThread(single).crc2, v) << "one line: the trace checksum is the line's";
  const std::uint32_t three[] = {v, 0x11223344, 5};
  const ThreadChecksums t = ChecksumsOfThread(three);
  EXPECT_EQ(t.crc1, v);
  EXPECT_EQ(t.crc2, BitwiseCrc(BitwiseCrc(v, std::string_view("\x44\x33\x22\x11", 4)), std::string_view("\x05\0\0\0", 4)));
  EXPECT_EQ(ChecksumsOfThread({}).crc2, 0u);

  const std::uint32_t crc[3] = {0xBADF00D, 0x11111111, 0x11111111};
  const std::string text = CallstackCrcText(crc);
  EXPECT_EQ(text, "$0badf00d, $11111111, $11111111");
  EXPECT_EQ(text.size(), 31u);
  EXPECT_EQ(text.substr(0, 9), "$0badf00d");
}

TEST(ReportSections, CpuRegisters) {
  const std::uint32_t regs[9] = {1, 2, 3, 4, 5, 6, 0x401000, 0x12ff00, 0xdeadbeef};
  EXPECT_EQ(CpuRegistersText(regs),
            "eax = 00000001\r\nebx = 00000002\r\necx = 00000003\r\nedx = 00000004\r\nesi = 00000005\r\n"
            "edi = 00000006\r\neip = 00401000\r\nesp = 0012ff00\r\nebp = deadbeef");
}

TEST(ReportSections, StackDump) {
  struct Case {
    std::uint32_t sp;
    std::optional<std::uint64_t> end;
    std::size_t length;
  } lengths[] = {
      {0x12ff00, 0x130000, 256}, {0x12ffd8, 0x130000, 40}, {0x120000, 0x130000, 320},
      {0x12ff00, std::nullopt, 320}, {0x130000, 0x130000, 0}, {0x130010, 0x130000, 0},
      {0xFFFFFFF0, 0x100000000ull, 16},
  };
  for (const Case& c : lengths) EXPECT_EQ(StackDumpLength(c.sp, c.end), c.length) << std::hex << c.sp;

  std::uint8_t bytes[40];
  for (int i = 0; i < 40; ++i) bytes[i] = static_cast<std::uint8_t>(0x30 + i);
  bytes[0] = 0;
  bytes[1] = 0x7F;
  EXPECT_EQ(StackDumpText(0x12ffd8, bytes),
            "0012ffd8  00 7f 32 33 34 35 36 37 - 38 39 3a 3b 3c 3d 3e 3f  ..23456789:;<=>?\r\n"
            "0012ffe8  40 41 42 43 44 45 46 47 - 48 49 4a 4b 4c 4d 4e 4f  @ABCDEFGHIJKLMNO\r\n"
            "0012fff8  50 51 52 53 54 55 56 57                            PQRSTUVW")
      << "the last line: eight columns, blanks in place of \"- \" and of the missing bytes";
  EXPECT_EQ(StackDumpText(0, {}), "");
}

TEST(ReportSections, CodeAddressDescriptions) {
  CodeLocation loc{0x34, "Kelvane.exe", "uMain", "TForm1.Button1Click", 120, 117};
  CodeLocation noLine = loc;
  noLine.line = 0;
  struct Case {
    const CodeLocation* location;
    bool relAddrs, relLines;
    const char* text;
  } cases[] = {
      {&loc, true, true, "00401234 +34 Kelvane.exe uMain 120 +3 TForm1.Button1Click"},
      {&loc, false, false, "00401234 Kelvane.exe uMain 120 TForm1.Button1Click"},
      {&loc, false, true, "00401234 Kelvane.exe uMain 120 +3 TForm1.Button1Click"},
      {&noLine, true, false, "00401234 +34 Kelvane.exe uMain TForm1.Button1Click"},
      {nullptr, true, true, "00401234 +0 ???"},
      {nullptr, false, true, "00401234 ???"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatCodeAddress(0x401234, c.location, c.relAddrs, c.relLines), c.text);

  const std::string where = "00401234 ???";
  EXPECT_EQ(InternalErrorText("GetStackDump"), ">> internal error in GetStackDump");
  EXPECT_EQ(InternalErrorText("plugin", &where), ">> internal error in plugin:\r\n00401234 ???");
}

}  // namespace
}  // namespace report
