// The pages as a browser shows them: headless Chromium reads the groups list and a group page of
// a running collector. Report text that looks like markup stays text.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "collector/KestrumCollectorPages.h"
#include "collector/tests/CollectorFixtures.h"
#include "collector/tests/CollectorProcess.h"
#include "delivery/tests/HostNetwork.h"

namespace collector {
namespace {

using testing::CollectorProcess;
using testing::FormBody;
using testing::FormType;
using testing::MakeReport;
using testing::ReportRecipe;
using testing::TempFolder;

// The page's DOM after loading (and running whatever scripts it would run).
std::string BrowserDom(const std::string& url, const std::string& profile, const std::string& screenshot = "") {
  std::string command = "/usr/bin/chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
                        "--disable-background-networking --disable-component-update --disable-sync --user-data-dir=" +
                        profile + " --window-size=1200,900 ";
  command += screenshot.empty() ? "--dump-dom " : "--screenshot=" + screenshot + " ";
  std::string out;
  const int status = delivery::testing::RunProgram(command + "'" + url + "' 2>/dev/null", out);
  EXPECT_EQ(status, 0) << command;
  return out;
}

TEST(CollectorPages, EscapesEverythingThatCameFromAReport) {
  EXPECT_EQ(Html("<script>\"a\" & 'b'</script>"), "&lt;script&gt;&quot;a&quot; &amp; &#39;b&#39;&lt;/script&gt;");
  EXPECT_EQ(Html("ung\xFCltig"), "ung\xC3\xBCltig");
  EXPECT_EQ(UrlEncode("1.0 & x/y"), "1.0%20%26%20x%2Fy");
}

TEST(CollectorPages, ChromiumShowsCountsAndKeepsHostileTextAsText) {
  TempFolder data, profile, shots;
  CollectorProcess c(data.Path(), {"--admin-token", "t"});
  ASSERT_GT(c.Port(), 0);
  ReportRecipe hostile;
  hostile.message = "<script>document.title='pwned'</script> \"quoted\" & <b id=\"injected\">bold</b>";
  hostile.version = "1.0\"><i id=\"fromversion\">";
  ReportRecipe other;
  other.trace = testing::CrashTrace("TFormMain.btSendClick(TObject*)", 0x00403700);
  for (const ReportRecipe& s : {hostile, hostile, other}) {
    auto res = c.Client().Post("/upload", FormBody({{"BugReport", "bugreport.txt", MakeReport(s)}}), FormType().c_str());
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << res->body;
  }
  const std::string base = "http://127.0.0.1:" + std::to_string(c.Port());

  const std::string list = BrowserDom(base + "/?sort=count", profile.Path());
  std::smatch row;
  ASSERT_TRUE(std::regex_search(list, row, std::regex(R"re(<td><a href="/groups/(\d+)">EAccessViolation in TFormMain.btOpenClick\(TObject\*\)</a></td><td>Kelvane.exe</td><td class="n count">(\d+)</td>)re")))
      << list;
  EXPECT_EQ(row[2], "2");
  EXPECT_NE(list.find(">EAccessViolation in TFormMain.btSendClick(TObject*)</a></td><td>Kelvane.exe</td><td class=\"n count\">1</td>"),
            std::string::npos);
  EXPECT_EQ(list.find("<i id=\"fromversion\">"), std::string::npos) << "a version in an attribute value or text, never markup";

  const std::string group = BrowserDom(base + "/groups/" + row[1].str(), profile.Path());
  EXPECT_NE(group.find("<td class=\"count\">2</td>"), std::string::npos) << group;
  EXPECT_NE(group.find("&lt;script&gt;document.title='pwned'&lt;/script&gt; \"quoted\" &amp; &lt;b id=\"injected\"&gt;bold&lt;/b&gt;"),
            std::string::npos)
      << "the message is shown as text";
  EXPECT_EQ(group.find("<title>pwned"), std::string::npos);
  EXPECT_EQ(group.find("<b id=\"injected\">"), std::string::npos);
  EXPECT_EQ(group.find("<i id=\"fromversion\">"), std::string::npos);
  // The trace as a table, line by line.
  EXPECT_NE(group.find("<td>004035f8</td><td>+8</td><td>Kelvane.exe</td><td>uMain</td><td class=\"n\">176</td><td class=\"n\">+2</td>"
                       "<td>TFormMain.btOpenClick(TObject*)</td>"),
            std::string::npos);

  const std::string shot = shots.Path() + "/group.png";
  BrowserDom(base + "/groups/" + row[1].str(), profile.Path(), shot);
  std::ifstream png(shot, std::ios::binary);
  std::string head(8, '\0');
  png.read(head.data(), 8);
  EXPECT_EQ(head, "\x89PNG\r\n\x1a\n");
  EXPECT_GT(std::filesystem::file_size(shot), 10000u) << "a page was drawn";
  if (const char* keep = std::getenv("KELVANE_KEEP_SCREENSHOT")) std::filesystem::copy_file(shot, keep, std::filesystem::copy_options::overwrite_existing);
}

}  // namespace
}  // namespace collector
