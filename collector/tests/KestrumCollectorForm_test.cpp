#include "collector/KestrumCollectorForm.h"

#include <gtest/gtest.h>

#include "collector/tests/CollectorFixtures.h"
#include "delivery/KestrumHttp.h"
#include "delivery/KestrumMailText.h"
#include "delivery/KestrumZip.h"

namespace collector {
namespace {

const std::string kBoundary(delivery::kMultipartBoundary);
const std::string kPng("\x89PNG\r\n\x1a\nrest-of-picture", 23);

// The body exactly as the component's upload sends it: the first CR LF ends the request head.
std::string ComponentBody(const delivery::FormFields& fields, const std::vector<std::tuple<std::string, std::string, std::string>>& files) {
  std::string body = delivery::FormFieldsPart(fields);
  for (const auto& [field, name, data] : files) body += delivery::FormFilePartHead(field, name) + data;
  body += delivery::FormClosing();
  return body.substr(2);
}

std::string Zip(const std::vector<std::pair<std::string, std::string>>& entries) {
  delivery::ZipBuilder zip;
  for (const auto& [name, data] : entries) EXPECT_TRUE(zip.Add({name, data}));
  return zip.Finish();
}

TEST(CollectorForm, ReadsTheComponentsUploadForm) {
  const std::string report = testing::MakeReport({});
  const std::string body = ComponentBody({{"MailFrom", "user@example.org"}, {"MailSubject", "Bug report"}, {"report_id", "abc-123"}},
                                         {{"BugReport", "bugreport.txt", report}, {"ScreenShot", "screenShot.png", kPng}});
  EXPECT_EQ(MultipartBoundary("multipart/form-data; boundary=" + kBoundary), kBoundary);
  std::string why;
  std::optional<std::vector<FormPart>> parts = ParseMultipart(body, kBoundary, &why);
  ASSERT_TRUE(parts) << why;
  ASSERT_EQ(parts->size(), 5u);
  EXPECT_EQ((*parts)[3].fileName, "bugreport.txt");
  EXPECT_EQ((*parts)[3].data, report);
  std::optional<Upload> u = ReadUpload(std::move(*parts), {}, &why);
  ASSERT_TRUE(u) << why;
  EXPECT_EQ(u->reportText, report);
  EXPECT_EQ(u->reportId, "abc-123");
  ASSERT_EQ(u->files.size(), 2u);
  EXPECT_EQ(u->files[1].kind, AttachmentKind::kScreenshot);
}

TEST(CollectorForm, ReadsReportsInsideZipArchivesAndCrashpadStyleFields) {
  const std::string report = testing::MakeReport({});
  const std::string zip = Zip({{"bugreport.txt", report}, {"screenShot.png", kPng}});
  std::string why;
  std::optional<Upload> u =
      ReadUpload(*ParseMultipart(ComponentBody({}, {{"bugreport.zip", "bugreport.zip", zip}}), kBoundary), {}, &why);
  ASSERT_TRUE(u) << why;
  EXPECT_EQ(u->reportText, report);
  EXPECT_EQ(u->files.size(), 2u);

  const std::string dump = "MDMP\x93\xa7" + std::string(100, '\0');
  u = ReadUpload(*ParseMultipart(ComponentBody({{"prod", "Kelvane"}, {"ver", "1.2"}, {"guid", "c0ffee"}},
                                               {{"upload_file_minidump", "crash.dmp", dump}}),
                                 kBoundary),
                 {}, &why);
  ASSERT_TRUE(u) << why;
  EXPECT_EQ(u->product, "Kelvane");
  EXPECT_EQ(u->version, "1.2");
  EXPECT_EQ(u->clientId, "c0ffee");
  EXPECT_TRUE(u->reportText.empty());
  ASSERT_EQ(u->files.size(), 1u);
  EXPECT_EQ(u->files[0].kind, AttachmentKind::kMinidump);
}

TEST(CollectorForm, RefusesBrokenFormsWithAReason) {
  const std::string good = ComponentBody({{"a", "b"}}, {{"BugReport", "bugreport.txt", testing::MakeReport({})}});
  struct Case {
    const char* what;
    std::string body, boundary;
  } cases[] = {
      {"truncated in a part", good.substr(0, good.size() / 2), kBoundary},
      {"truncated in the closing boundary", good.substr(0, good.size() - 4), kBoundary},
      {"another boundary", good, "other-boundary"},
      {"no boundary", good, ""},
      {"a part without its header's end", "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"a\"\r\nvalue", kBoundary},
      {"a part without a name", "--" + kBoundary + "\r\nContent-Disposition: form-data\r\n\r\nx\r\n--" + kBoundary + "--", kBoundary},
      {"not form-data", "--" + kBoundary + "\r\nContent-Disposition: attachment; name=\"a\"\r\n\r\nx\r\n--" + kBoundary + "--", kBoundary},
  };
  for (const Case& c : cases) {
    std::string why;
    EXPECT_FALSE(ParseMultipart(c.body, c.boundary, &why)) << c.what;
    EXPECT_FALSE(why.empty()) << c.what;
  }
  std::string why;
  EXPECT_FALSE(ReadUpload(*ParseMultipart(ComponentBody({{"MailBody", "hello"}}, {}), kBoundary), {}, &why));
  EXPECT_EQ(why, "the form carries neither a bug report nor a minidump");
  EXPECT_FALSE(ReadUpload(*ParseMultipart(ComponentBody({{"report_id", "../../etc"}}, {}), kBoundary), {}, &why));
}

TEST(CollectorForm, ZipArchivesStayWithinTheirLimits) {
  // A bomb: one megabyte of zeros packed small, with a limit below it.
  const std::string bomb = Zip({{"a.txt", std::string(1 << 20, '\0')}, {"b.txt", std::string(1 << 20, '\0')}});
  EXPECT_LT(bomb.size(), 8000u);
  std::string why;
  EXPECT_FALSE(ReadZip(bomb, {64, 1 << 20}, &why));
  EXPECT_EQ(why, "the ZIP archive unpacks to more than the limit");
  EXPECT_TRUE(ReadZip(bomb, {64, 2 << 20}, &why)) << why;

  // An archive that states small sizes but holds more: its entry does not unpack to them.
  std::string lying = Zip({{"a.txt", std::string(5000, 'x')}});
  const std::size_t central = lying.find("PK\x01\x02");
  ASSERT_NE(central, std::string::npos);
  lying[central + 24] = 10, lying[central + 25] = 0;  // uncompressed size 10
  EXPECT_FALSE(ReadZip(lying, {}, &why));
  EXPECT_EQ(why, "a ZIP entry does not unpack to its stated size");

  std::string names = Zip({{"../../etc/passwd", "date/time: x"}, {"C:\\boot.ini", "y"}});
  std::optional<std::vector<ZipFile>> files = ReadZip(names, {}, &why);
  ASSERT_TRUE(files) << "names are kept for showing, never used as paths";
  EXPECT_EQ((*files)[0].name, "../../etc/passwd");

  std::string corrupt = Zip({{"a.txt", "some text that is long enough"}});
  corrupt[40] ^= 0x55;
  EXPECT_FALSE(ReadZip(corrupt, {}, &why));
  EXPECT_FALSE(ReadZip(corrupt.substr(0, corrupt.size() - 3), {}, &why));
  EXPECT_FALSE(ReadZip(Zip({{"a", "b"}, {"c", "d"}}), {1, 100}, &why));
  EXPECT_EQ(why, "the ZIP archive has too many entries");
}

}  // namespace
}  // namespace collector
