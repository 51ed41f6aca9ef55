#include "report/KestrumReportHeader.h"

#include <gtest/gtest.h>

namespace report {
namespace {

TEST(ReportHeaderTexts, CommandLineParameters) {
  const struct {
    const char* line;
    bool parameters;
  } cases[] = {
      {"Kelvane.exe", false},
      {"Kelvane.exe   \t", false},
      {"Kelvane.exe /sim", true},
      {"\"C:\\Program Files\\Kelvane\\Kelvane.exe\"", false},
      // A blank inside the quoted program name is no parameter.
      {"\"C:\\Program Files\\Kelvane\\Kelvane.exe\"  ", false},
      {"\"C:\\Program Files\\Kelvane\\Kelvane.exe\" x", true},
      // A program name quoted up to a quote in its middle: the rest after it is a parameter.
      {"\"C:\\a b\"c", true},
      {"\"unclosed quote and blanks", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(HasCommandLineParameters(c.line), c.parameters) << c.line;
}

TEST(ReportHeaderTexts, Values) {
  EXPECT_EQ(CompilerName(2), "GCC (MinGW-w64)");
  EXPECT_EQ(CompilerName(std::nullopt), "GCC (MinGW-w64)") << "an unreadable header counts as ours";
  EXPECT_EQ(CompilerName(14), "another compiler");
  EXPECT_EQ(PhysicalMemoryText(524288, 1048576 + 524287), "1/1 MB (free/total)") << "rounded to the nearest MB";
  EXPECT_EQ(DisplayModeText(1024, 768, 8, 4), "1024x768, 32 bit") << "bits per pixel times planes";
  EXPECT_EQ(DriveFreeText('c', 1536, ","), "(C:) 1,50 KB");
  EXPECT_EQ(DriveLetterOf("z:\\work\\Kelvane.exe"), 'z');
  EXPECT_EQ(DriveLetterOf("\\\\server\\share\\Kelvane.exe"), 0) << "a share names no drive";
  EXPECT_EQ(DriveLetterOf("1:\\x"), 0);
  EXPECT_EQ(ProgramUpTimeText(0), "0 milliseconds");
  EXPECT_EQ(ProgramUpTimeText(999), "999 milliseconds");
  EXPECT_EQ(ProgramUpTimeText(1000), "1 second");
  EXPECT_EQ(ProgramUpTimeText(-5), "0 milliseconds") << "a counter that went back";
  EXPECT_EQ(ProcessorText(1, "  Intel(R)   Core(TM)  i7 "), "Intel(R) Core(TM) i7");
  EXPECT_EQ(ProcessorText(4, "Quick  CPU"), "4x Quick CPU");
  EXPECT_EQ(ProcessorText(4, "   "), "") << "no name, no field, whatever the count";
}

}  // namespace
}  // namespace report
