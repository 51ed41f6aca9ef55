#include "collector/KestrumCollectorFiles.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "collector/tests/CollectorProcess.h"

namespace collector {
namespace {

TEST(CollectorFiles, Sha256MatchesTheStandardsVectors) {
  struct Case {
    std::string data;
    const char* hash;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) EXPECT_EQ(Sha256Hex(c.data), c.hash) << c.data.size();
}

TEST(CollectorFiles, StoresByContentAndRemovesOnlyOldUnreferencedFiles) {
  testing::TempFolder folder;
  FileStore files(folder.Path());
  ASSERT_TRUE(files.Prepare());
  const std::string a = files.Put("first"), b = files.Put("second");
  EXPECT_EQ(files.Put("first"), a) << "the same content is one file";
  std::string data;
  ASSERT_TRUE(files.Get(a, data));
  EXPECT_EQ(data, "first");
  for (const char* hostile : {"../../etc/passwd", "", "ABCDEF", "0123"}) EXPECT_FALSE(files.Get(hostile, data)) << hostile;

  // A crash during a write leaves a temporary file; nothing refers to b any more.
  const std::string temp = files.FilesFolder() + "/" + a.substr(0, 2) + "/.tmp-1-1";
  { std::ofstream(temp) << "half"; }
  EXPECT_EQ(files.RemoveUnreferenced({a}), 0u) << "young files may belong to an upload being committed";
  const timespec old[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
  for (const std::string& path : {temp, files.FilesFolder() + "/" + b.substr(0, 2) + "/" + b, files.FilesFolder() + "/" + a.substr(0, 2) + "/" + a}) {
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), old, 0), 0) << path;
  }
  EXPECT_EQ(files.RemoveUnreferenced({a}), 2u);
  EXPECT_TRUE(files.Get(a, data));
  EXPECT_FALSE(files.Get(b, data));
  EXPECT_FALSE(std::filesystem::exists(temp));

  ASSERT_TRUE(files.Quarantine("body", "why", "127.0.0.1"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(files.QuarantineFolder()), std::filesystem::directory_iterator()), 2);
}

}  // namespace
}  // namespace collector
