#include "crash/KestrumRedact.h"

#include <gtest/gtest.h>

namespace kestrum {
namespace {

PersonalFacts Planted() {
  PersonalFacts f;
  f.computerName = "KELV-PC7";
  f.userName = "mira";
  f.registeredOwner = "Mira Quell";
  f.registeredOrganization = "Quell & Sons";
  f.clientName = "THINCLIENT9";
  f.profileFolders = {"C:\\Users\\mira", "C:\\Users\\mira\\AppData\\Roaming\\"};
  return f;
}

TEST(RedactPersonal, NamesAndProfilePathsBecomeTokens) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"computer name  : KELV-PC7\r\nuser name      : mira\r\n", "computer name  : <computer>\r\nuser name      : <user>\r\n"},
      {"registered     : Mira Quell, Quell & Sons", "registered     : <owner>, <organization>"},
      {"session from thinclient9.", "session from <client>."},
      // The path goes as a whole, the user name inside it with it; the rest of the path stays.
      {"c:\\users\\MIRA\\Desktop\\tool.exe", "<profile>\\Desktop\\tool.exe"},
      {"C:\\Users\\mira\\AppData\\Roaming\\Kelvane\\x.ini", "<profile>\\Kelvane\\x.ini"},
      // Only whole names: not inside longer words, and another profile is not this one.
      {"Admiral miranda C:\\Users\\miranda\\x amira_1 mira2", "Admiral miranda C:\\Users\\miranda\\x amira_1 mira2"},
      {"mira/mira-mira", "<user>/<user>-<user>"},
      {"", ""},
  };
  const PersonalFacts facts = Planted();
  for (const Case& c : cases) EXPECT_EQ(RedactPersonal(c.in, facts), c.out) << c.in;
}

TEST(RedactPersonal, EqualReportsStayEqualAndEmptyFactsChangeNothing) {
  PersonalFacts facts = Planted();
  // The same name for two kinds takes the first kind's token every time.
  facts.registeredOwner = "MIRA";
  const std::string report = "user: mira owner: Mira path C:\\Users\\mira\\a";
  EXPECT_EQ(RedactPersonal(report, facts), "user: <user> owner: <user> path <profile>\\a");
  EXPECT_EQ(RedactPersonal(report, facts), RedactPersonal(report, facts));
  // Unknown facts (empty or blank) must not match the empty text between any two characters.
  const PersonalFacts blank{"", " ", "", "\t", "", {"", "\\"}};
  EXPECT_EQ(RedactPersonal(report, blank), report);
}

}  // namespace
}  // namespace kestrum
