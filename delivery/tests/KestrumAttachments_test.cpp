#include "delivery/KestrumAttachments.h"

#include <gtest/gtest.h>

#include <set>

namespace delivery {
namespace {

TEST(AttachmentList, DefaultsDeleteClearAndFormat) {
  AttachmentList list;
  EXPECT_FALSE(list.Add({"", "x", "", ""}));
  EXPECT_TRUE(list.Add({"C:\\Temp\\bugreport.txt", "", "", ""}));
  EXPECT_TRUE(list.Add({"C:\\Temp\\shot.png", "screen.shot.png", "all.zip", ""}));
  EXPECT_TRUE(list.Add({"readme", "", "", "Field"}));
  EXPECT_EQ(list.Items()[0], (AttachmentSpec{"C:\\Temp\\bugreport.txt", "bugreport.txt", "", "bugreport"}));
  EXPECT_EQ(list.Items()[1].fieldName, "screen.shot");
  EXPECT_EQ(list.Items()[2], (AttachmentSpec{"readme", "readme", "", "Field"}));
  EXPECT_EQ(list.Format(),
            "C:\\Temp\\bugreport.txt>bugreport.txt>>bugreport|C:\\Temp\\shot.png>screen.shot.png>all.zip>screen.shot|readme>readme>>Field");
  // The format reads back as the settings read AddAttachs.
  EXPECT_EQ(kestrum::ParseAttachments(list.Format()), list.Items());
  EXPECT_TRUE(list.Delete("c:\\temp\\SHOT.png"));
  EXPECT_FALSE(list.Delete("c:\\temp\\SHOT.png"));
  EXPECT_EQ(list.Items().size(), 2u);
  EXPECT_TRUE(list.Clear());
  EXPECT_FALSE(list.Clear());
}

TEST(AttachmentList, ResolvesPlainFilesAndArchives) {
  const std::vector<AttachmentSpec> items = {
      {"bugreport.txt", "bugreport.txt", "Report.zip", "BugReport"},
      {"C:\\gone.txt", "gone.txt", "", "Gone"},
      {"C:\\extra.log", "extra.log", "", "Extra"},
      {"C:\\shot.png", "screenshot.png", "report.ZIP", "ScreenShot"},
      {"C:\\gone2.txt", "gone2.txt", "empty.zip", "X"},
      {"C:\\bad.txt", "bad.txt", "broken.zip", "Y"},
  };
  const std::set<std::string> present = {"C:\\app\\bugreport.txt", "C:\\extra.log", "C:\\shot.png", "C:\\bad.txt"};
  std::vector<std::pair<std::string, std::vector<std::string>>> zipped;
  const AttachmentSet s = ResolveAttachments(
      items, "C:\\Temp\\K\\", [](const std::string& p) { return p.find(':') == std::string::npos ? "C:\\app\\" + p : p; },
      [&](const std::string& p) { return present.count(p) > 0; },
      [&](const std::string& archive, const std::vector<std::string>& files, const std::vector<std::string>& names) {
        zipped.emplace_back(archive, names);
        EXPECT_EQ(files.size(), names.size());
        return archive.find("broken") == std::string::npos;
      });
  EXPECT_EQ(s.files, (std::vector<std::string>{"C:\\Temp\\K\\Report.zip", "C:\\extra.log"}));
  EXPECT_EQ(s.sendAsNames, (std::vector<std::string>{"Report.zip", "extra.log"}));
  EXPECT_EQ(s.fieldNames, (std::vector<std::string>{"Report.zip", "Extra"}));
  ASSERT_EQ(zipped.size(), 2u);
  EXPECT_EQ(zipped[0].second, (std::vector<std::string>{"bugreport.txt", "screenshot.png"}));
  EXPECT_EQ(zipped[1].first, "C:\\Temp\\K\\broken.zip");
}

}  // namespace
}  // namespace delivery
