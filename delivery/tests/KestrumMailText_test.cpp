#include "delivery/KestrumMailText.h"

#include <gtest/gtest.h>

namespace delivery {
namespace {

TEST(MailAddresses, NormalizeAngleAndHeaderField) {
  const struct {
    std::string in, out;
    int count;
  } lists[] = {
      {"", "", 0},
      {"   ", "", 0},
      {"a@x.org", "a@x.org", 1},
      {" a@x.org ; b@y.org,c@z.org ", "a@x.org,b@y.org,c@z.org", 3},
      {"Ann <a@x.org>;\tb@y.org", "Ann <a@x.org>,b@y.org", 2},
  };
  for (const auto& c : lists) {
    std::string list = c.in;
    EXPECT_EQ(NormalizeAddressList(list), c.count) << c.in;
    EXPECT_EQ(list, c.out);
  }
  EXPECT_EQ(SplitAddressList("a@x.org; Ann <b@y.org>"), (std::vector<std::string>{"a@x.org", "Ann <b@y.org>"}));

  EXPECT_EQ(AngleAddress("a@x.org", false), "<a@x.org>");
  EXPECT_EQ(AngleAddress("a@x.org", true), "<a@x.org>");
  EXPECT_EQ(AngleAddress("Ann <a@x.org>", false), "<a@x.org>");
  EXPECT_EQ(AngleAddress("Ann <a@x.org>", true), "Ann <a@x.org>");

  const std::string report = "date/time : x\r\nexception class   : EAccessViolation \r\nexception message : Zugriff: verletzt\r\n";
  EXPECT_EQ(ReportHeaderField(report, "exception class"), "EAccessViolation");
  EXPECT_EQ(ReportHeaderField(report, "exception message"), "Zugriff: verletzt");
  EXPECT_EQ(ReportHeaderField(report, "missing"), "");
}

// Separators inside a quoted name or inside angle brackets belong to the entry; the header form
// quotes or encodes what a reader would otherwise take apart.
TEST(MailAddresses, ListsWithDisplayNames) {
  const struct {
    std::string list;
    std::vector<MailAddress> parsed;
    std::string header;
  } cases[] = {
      {"", {}, ""},
      {"a@x.org", {{"", "a@x.org"}}, "<a@x.org>"},
      {"Ann Lee <a@x.org>;b@y.org", {{"Ann Lee", "a@x.org"}, {"", "b@y.org"}}, "Ann Lee <a@x.org>, <b@y.org>"},
      {"\"Doe, Jane\" <j@x.org>", {{"Doe, Jane", "j@x.org"}}, "\"Doe, Jane\" <j@x.org>"},
      {"\"a \\\"b\\\" c;d\" <q@x.org>", {{"a \"b\" c;d", "q@x.org"}}, "\"a \\\"b\\\" c;d\" <q@x.org>"},
      {"Ann O'Neil (QA) <a@x.org>", {{"Ann O'Neil (QA)", "a@x.org"}}, "\"Ann O'Neil (QA)\" <a@x.org>"},
      {"J\xF6rg <j@x.org>", {{"J\xF6rg", "j@x.org"}}, "=?windows-1252?Q?J=F6rg?= <j@x.org>"},
      {"odd <a,b@x.org>, ; <c@x.org>", {{"odd", "a,b@x.org"}, {"", "c@x.org"}}, "odd <a,b@x.org>, <c@x.org>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.list);
    EXPECT_EQ(ParseAddressList(c.list), c.parsed);
    EXPECT_EQ(AddressListHeader(c.parsed, 4), c.header);
  }
  // Long lists fold between entries; long 8-bit names become several words of at most 75 characters.
  std::vector<MailAddress> many(6, {"", "somebody.with.a.long.name@kelvane.example"});
  many.push_back({std::string(60, '\xE4'), "u@x.org"});
  const std::string header = AddressListHeader(many, 4);
  std::size_t start = 0, lines = 0;
  for (std::size_t end; start <= header.size(); start = end + 2, ++lines) {
    end = header.find("\r\n", start);
    if (end == std::string::npos) end = header.size();
    EXPECT_LE(end - start + (lines == 0 ? 4 : 0), 78u) << header.substr(start, end - start);
    if (end == header.size()) break;
  }
  EXPECT_GT(lines, 2u);
  EXPECT_EQ(header.find("?==?"), std::string::npos);
}

TEST(MailEncoding, Base64Vectors) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {std::string("\xFF\xFE\x00", 3), "//4A"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(EncodeBase64(in), out) << in;
}

// Decodes a folded Subject header back to its bytes, checking the limits on the way.
std::string DecodeSubject(const std::string& header) {
  EXPECT_TRUE(header.starts_with("Subject: "));
  EXPECT_TRUE(header.ends_with("\r\n"));
  std::string out;
  std::size_t at = 9;
  while (at < header.size()) {
    const std::size_t end = header.find("?=", at + 15);
    const std::string word = header.substr(at, end + 2 - at);
    EXPECT_LE(word.size(), 75u) << word;
    EXPECT_TRUE(word.starts_with("=?ISO-8859-1?Q?")) << word;
    for (std::size_t i = 15; i < word.size() - 2; ++i) {
      if (word[i] == '=') {
        out += static_cast<char>(std::stoi(word.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        out += word[i];
      }
    }
    at = end + 2;
    if (header.compare(at, 3, "\r\n ") == 0) {
      at += 3;
    } else {
      EXPECT_EQ(header.substr(at), "\r\n");
      break;
    }
  }
  return out;
}

TEST(MailEncoding, SubjectIsEncodedAndFoldedIntoWords) {
  EXPECT_EQ(EncodeSubjectHeader("Fehler in Kelvane"), "Subject: =?ISO-8859-1?Q?Fehler=20in=20Kelvane?=\r\n");
  EXPECT_EQ(EncodeSubjectHeader("\xC4rger \xFC"), "Subject: =?ISO-8859-1?Q?=C4rger=20=FC?=\r\n");
  EXPECT_EQ(EncodeSubjectHeader(""),
            "Subject: =?ISO-8859-1?Q?"
            "?=\r\n");
  const std::string subjects[] = {
      std::string(300, '\xE4'),
      "Zugriffsverletzung bei Adresse 0040A1B2 in Modul 'Kelvane.exe'. Lesen von Adresse 00000000 " + std::string(200, 'x'),
      std::string(58, 'a') + "=" + std::string(58, 'b'),
  };
  for (const std::string& s : subjects) {
    const std::string header = EncodeSubjectHeader(s);
    EXPECT_GT(header.find("\r\n "), 0u);
    EXPECT_EQ(DecodeSubject(header), s);
    for (std::size_t start = 0, end; (end = header.find("\r\n", start)) != std::string::npos; start = end + 2) {
      EXPECT_LE(end - start, 78u);
    }
  }
}

TEST(MailEncoding, BodyIsDotStuffedWithCrLfLineEnds) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"a", "a\r\n"},
      {"a\r\n", "a\r\n"},
      {".", "..\r\n"},
      {".\r\n", "..\r\n"},
      {".foo\r\nbar\r\n", "..foo\r\nbar\r\n"},
      {"a\r\n.\r\nb", "a\r\n..\r\nb\r\n"},
      {"a\n.b\rc", "a\r\n..b\r\nc\r\n"},
      {"a.b\r\n..c", "a.b\r\n...c\r\n"},
      {"\r\n\r\n", "\r\n\r\n"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(BodyAsSmtpData(in), out) << in;
}

TEST(MailEncoding, DateAndMessageId) {
  EXPECT_EQ(MailDate({2026, 12, 10, 7, 3, 9}), "10 Dec 2026 07:03:09 UT");
  EXPECT_EQ(MailDate({2000, 1, 1, 23, 59, 59}), "1 Jan 2000 23:59:59 UT");
  EXPECT_EQ(MessageId(0x01DB4A2B3C4D5E6FULL), "<01db4a2b3c4d5e6f@Kestrum>");
}

TEST(Mailto, EscapesAndCommandLine) {
  EXPECT_EQ(EscapeMailto("a b\r\n\"#%&+<>?z/"), "a%20b%0D%0A%22%23%25%26%2B%3C%3E%3Fz/");
  EXPECT_EQ(MailtoUrl(" a@x.org; b@y.org ", "Bug 1", "x&y"), "mailto:a@x.org,b@y.org?subject=Bug%201&body=x%26y");
  // The URL lists bare addresses: a display name would be read as part of an address.
  EXPECT_EQ(MailtoUrl("\"Doe, Jane\" <jane@x.org>; Bob <b@y.org>", "", ""), "mailto:jane@x.org,b@y.org?subject=&body=");
  const struct {
    std::string command, url;
    std::size_t max;
    std::string out;
  } cases[] = {
      {"mail.exe -compose \"%1\"", "mailto:a", 100, "mail.exe -compose \"mailto:a\""},
      {"mail.exe", "mailto:a", 100, "mail.exe mailto:a"},
      {"mail.exe ", "mailto:a", 100, "mail.exe mailto:a"},
      {"m %1 %1", "u", 100, "m u u"},
      {"m %1", "ab%20cd", 7, "m ab%20"},
      {"m %1", "ab%20cd", 6, "m ab"},
      {"m %1", "ab%20cd", 5, "m ab"},
      {"m %1", "ab%20cd", 8, "m ab%20c"},
  };
  for (const auto& c : cases) EXPECT_EQ(MailtoCommand(c.command, c.url, c.max), c.out) << c.command << " " << c.max;
}

std::string FromHex(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  return out;
}

TEST(StoredPassword, DecodesTheTwoCounterPasses) {
  // Enciphered by an independent implementation (pycryptodome's Blowfish) of the same passes.
  const std::string stored = FromHex("6bc72df070bd57d7c5b160c699a5d1f95265c5153f4fc1ab");
  EXPECT_EQ(DecodePassword(stored, "alice", "smtp.example.org"), "Geheim!42");
  EXPECT_EQ(EncodePassword("Geheim!42", "alice", "smtp.example.org"), stored);
  for (const std::string plain : {"", "x", "12345678", "a longer password of many blocks"}) {
    EXPECT_EQ(DecodePassword(EncodePassword(plain, "acc", "srv"), "acc", "srv"), plain);
  }
  // A stored text shorter than a block passes through; an empty key skips its pass.
  EXPECT_EQ(DecodePassword("short", "acc", "srv"), "short");
  EXPECT_EQ(DecodePassword(stored, "", ""), stored);
  EXPECT_EQ(DecodePassword(EncodePassword("pw", "", "srv"), "", "srv"), "pw");
  EXPECT_EQ(DecodePassword(EncodePassword("pw", "acc", ""), "acc", ""), "pw");
}

}  // namespace
}  // namespace delivery
