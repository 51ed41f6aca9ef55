// Paths between Wine's Unix and Windows sides. The suite runs under Wine.
#include "platform/Wine_win.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/Modules_win.h"
#include "platform/WideText_win.h"

namespace {

TEST(Wine, PathsBothWays) {
  ASSERT_TRUE(platform::RunningOnWine());
  // The build folder, as the Unix side names it, holds this program.
  const char* binaryDir = std::getenv("KELVANE_BINARY_DIR");
  ASSERT_NE(binaryDir, nullptr);
  const std::string unixProgram = std::string(binaryDir) + "/bin/" + platform::ModuleFileName();

  const std::wstring windowsProgram = platform::WideFromAnsi(platform::ModulePath());
  EXPECT_EQ(platform::UnixPathOf(windowsProgram.c_str()), unixProgram);
  const std::wstring back = platform::WindowsPathOf(unixProgram.c_str());
  EXPECT_EQ(CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, back.c_str(), -1, windowsProgram.c_str(), -1), CSTR_EQUAL)
      << "back: " << std::string(back.begin(), back.end());

  EXPECT_EQ(platform::UnixPathOf(nullptr), "");
  EXPECT_EQ(platform::WindowsPathOf(nullptr), L"");
}

}  // namespace
