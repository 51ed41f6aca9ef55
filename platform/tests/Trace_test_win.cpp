// The quiet trace: off by default, to the debugger's output or to a file when asked for.
#include "platform/Trace_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// OutputDebugStringA raises DBG_PRINTEXCEPTION_C with the text; a vectored handler sees it first.
std::vector<std::string> g_debugStrings;

LONG CALLBACK CatchDebugString(EXCEPTION_POINTERS* ep) {
  const EXCEPTION_RECORD* r = ep->ExceptionRecord;
  if (r->ExceptionCode == DBG_PRINTEXCEPTION_C && r->NumberParameters >= 2)
    g_debugStrings.emplace_back(reinterpret_cast<const char*>(r->ExceptionInformation[1]));
  return EXCEPTION_CONTINUE_SEARCH;
}

class Trace : public ::testing::Test {
 protected:
  void SetUp() override {
    g_debugStrings.clear();
    handler_ = AddVectoredExceptionHandler(1, CatchDebugString);
    wchar_t folder[MAX_PATH], file[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"trc", 0, file);
    char ansi[MAX_PATH];
    WideCharToMultiByte(CP_ACP, 0, file, -1, ansi, MAX_PATH, nullptr, nullptr);
    path_ = ansi;
  }
  void TearDown() override {
    RemoveVectoredExceptionHandler(handler_);
    SetSetting(nullptr);
    DeleteFileA(path_.c_str());
  }
  static void SetSetting(const char* value) {
    SetEnvironmentVariableA("KELVANE_TRACE", value);
    platform::ReloadTraceSetting();
  }
  std::string FileText() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static std::string Prefix() { return std::to_string(GetCurrentProcessId()) + "." + std::to_string(GetCurrentThreadId()) + " "; }

  void* handler_ = nullptr;
  std::string path_;
};

TEST_F(Trace, OffUnlessTheVariableAsks) {
  for (const char* off : {static_cast<const char*>(nullptr), "", "0"}) {
    SetSetting(off);
    EXPECT_FALSE(platform::TraceEnabled()) << (off ? off : "(unset)");
    platform::Trace("not shown %d", 1);
  }
  EXPECT_TRUE(g_debugStrings.empty());
  EXPECT_EQ(FileText(), "");
}

TEST_F(Trace, OneLineEachToTheDebuggerOutput) {
  SetSetting("1");
  EXPECT_TRUE(platform::TraceEnabled());
  platform::Trace("window creation failed (error %lu)", 1400UL);
  platform::Trace("ends in a break already\n");
  EXPECT_EQ(g_debugStrings, (std::vector<std::string>{Prefix() + "window creation failed (error 1400)\n",
                                                      Prefix() + "ends in a break already\n"}));
  EXPECT_EQ(FileText(), "");
}

TEST_F(Trace, AppendsToTheNamedFile) {
  {
    std::ofstream(path_, std::ios::binary) << "earlier\n";
  }
  SetSetting(path_.c_str());
  platform::Trace("%s: %d", "first", 1);
  platform::Trace("second");
  EXPECT_EQ(FileText(), "earlier\n" + Prefix() + "first: 1\n" + Prefix() + "second\n");
  EXPECT_TRUE(g_debugStrings.empty());
}

TEST_F(Trace, CutsLongLinesAndKeepsTheCallersLastError) {
  SetSetting(path_.c_str());
  const std::string longText(3 * platform::kTraceLineMax, 'x');
  SetLastError(ERROR_FILE_NOT_FOUND);
  platform::Trace("%s", longText.c_str());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  const std::string text = FileText();
  ASSERT_EQ(text.size(), platform::kTraceLineMax - 1);
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text.substr(0, Prefix().size()), Prefix());
}

}  // namespace
