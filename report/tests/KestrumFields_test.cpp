#include "report/KestrumFields.h"

#include <gtest/gtest.h>

#include <thread>

namespace report {
namespace {

// Counts what the list tells its owner and checks that updates are balanced.
class CountingOwner : public FieldListOwner {
 public:
  void BeginUpdate() override { ++open; }
  void EndUpdate() override {
    EXPECT_GT(open, 0);
    --open;
  }
  void Modified(const FieldList&) override {
    EXPECT_GT(open, 0) << "changes are made under the lock";
    ++modified;
  }
  int open = 0;
  int modified = 0;
};

std::string Names(const FieldList& list) {
  std::string names;
  for (const auto& [name, content] : list.Items()) names += (names.empty() ? "" : ",") + name;
  return names;
}

TEST(FieldList, NothingIsStoredBeforeAcceptData) {
  FieldList list;
  list.SetContent("a", "1");
  list.Insert(0, "b", "2");
  EXPECT_EQ(list.Count(), 0);
  list.AcceptData();
  list.Add("a", "1");
  EXPECT_EQ(list.Count(), 1);
}

TEST(FieldList, SetContentTrimsReplacesAndDeletes) {
  FieldList list;
  CountingOwner owner;
  list.SetOwner(&owner);
  list.AcceptData();
  list.SetContent("Version", " \t1.0\r\n");
  EXPECT_EQ(list.Content("version"), "1.0");
  EXPECT_EQ(owner.modified, 1);
  list.SetContent("Version", "1.0");
  EXPECT_EQ(owner.modified, 1) << "same name, same content: no change";
  list.SetContent("VERSION", "1.0");
  EXPECT_EQ(list.Name(0), "VERSION") << "the name's exact form counts";
  EXPECT_EQ(owner.modified, 2);
  list.SetContent("version", "   ");
  EXPECT_EQ(list.Count(), 0) << "blank content deletes";
  EXPECT_EQ(owner.modified, 3);
  list.SetContent("absent", "");
  EXPECT_EQ(owner.modified, 3);
  EXPECT_EQ(owner.open, 0);
  EXPECT_EQ(list.Name(5), "");
  EXPECT_EQ(list.Find("absent"), -1);
}

TEST(FieldList, NamesAreUniqueWithoutRegardToCase) {
  FieldList list;
  list.AcceptData();
  for (const char* name : {"a", "b", "c"}) list.Add(name, name);
  list.Insert(0, "C", "new");
  EXPECT_EQ(Names(list), "C,a,b") << "an existing name moves to the insertion point";
  list.Insert(0, "c", "new");
  EXPECT_EQ(Names(list), "C,a,b") << "already there with that content";
  list.Insert(99, "\xC4rger", "x");
  list.Insert(-4, "\xE4RGER", "y");
  EXPECT_EQ(Names(list), "\xE4RGER,C,a,b") << "indices clamp; code page 1252 letters fold too";
  list.Insert(3, "c", "new");
  EXPECT_EQ(Names(list), "\xE4RGER,a,c,b") << "moving forwards counts the removed place";
  list.SetName(1, "B");
  EXPECT_EQ(Names(list), "\xE4RGER,a,c,b") << "a rename never makes two equal names";
  list.SetName(1, "A");
  EXPECT_EQ(Names(list), "\xE4RGER,A,c,b");
}

TEST(FieldList, NewFieldsGoToTheAddIndex) {
  // A header built from collected pairs where one value ("wts client name") came out empty.
  const std::pair<const char*, const char*> pairs[] = {
      {"date/time", "now"}, {"computer name", "pc"}, {"wts client name", ""}, {"user name", "me"},
      {"callstack crc", "will be calculated soon"}, {"exception number", "1"}};
  FieldList header;
  CountingOwner owner;
  header.SetOwner(&owner);
  header.AcceptData();
  header.Lock();
  for (const auto& [name, value] : pairs) header.SetContent(name, value);
  header.SetAddIndex(4 - 1);  // pairs before "callstack crc", the empty one counted, minus one
  header.Unlock();
  EXPECT_EQ(owner.open, 0);

  header.SetContent("handler field", "x");
  header.SetContent("second field", "y");
  EXPECT_EQ(Names(header), "date/time,computer name,user name,handler field,second field,callstack crc,exception number");
  header.Delete("computer name");
  header.SetContent("third", "z");
  EXPECT_EQ(Names(header), "date/time,user name,handler field,second field,third,callstack crc,exception number")
      << "a deletion in front moves the add index back";
}

TEST(FieldList, CopiesAndSettingsText) {
  FieldList list;
  list.AcceptData();
  list.Add("Ticket", "123");
  list.Add("Customer", "ACME");
  EXPECT_EQ(list.AddFieldsText(), "Ticket=123|Customer=ACME");
  FieldList copy;
  list.CopyTo(copy);
  EXPECT_EQ(copy.Items(), list.Items());
  copy.Add("more", "1");
  EXPECT_EQ(list.Count(), 2);
}

TEST(FieldList, ConcurrentWritersLoseNothing) {
  FieldList list;
  CountingOwner owner;
  list.SetOwner(&owner);
  list.AcceptData();
  auto writer = [&list](char tag) {
    for (int i = 0; i < 500; ++i) list.Add(std::string(1, tag) + std::to_string(i), "v");
  };
  std::thread a(writer, 'a'), b(writer, 'b');
  a.join();
  b.join();
  EXPECT_EQ(list.Count(), 1000);
  EXPECT_EQ(owner.modified, 1000);
  EXPECT_EQ(owner.open, 0);
}

}  // namespace
}  // namespace report
