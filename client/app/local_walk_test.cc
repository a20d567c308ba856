#include "client/app/local_walk.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "testing/temp_dir.h"

namespace tervane {
namespace {

std::map<std::string, LocalEntryKind> Kinds(const std::vector<LocalEntry>& entries) {
  std::map<std::string, LocalEntryKind> kinds;
  for (const LocalEntry& e : entries) kinds[e.name] = e.kind;
  return kinds;
}

// Files and links to files are sent (a dangling link too, to fail
// visibly), directories walked; links to directories and other kinds (a
// FIFO here; sockets and devices take the same branch) are passed over
// without being opened (which would hang on a FIFO).
TEST(LocalWalkTest, EveryEntryGetsWhatTheBackupDoesWithIt) {
  testing::TempDir tmp;
  const std::string root = tmp.path() + "/data";
  testing::WriteFile(root + "/a.txt", "hello");
  testing::WriteFile(root + "/empty.bin", "");
  testing::MakeDirs(root + "/sub/deeper");
  testing::WriteFile(tmp.path() + "/outside/file", "x");
  ASSERT_EQ(::symlink((root + "/a.txt").c_str(), (root + "/link_file").c_str()), 0);
  ASSERT_EQ(::symlink((tmp.path() + "/outside").c_str(), (root + "/link_dir").c_str()), 0);
  ASSERT_EQ(::symlink((tmp.path() + "/nowhere").c_str(), (root + "/dangling").c_str()), 0);
  ASSERT_EQ(::mkfifo((root + "/fifo").c_str(), 0644), 0);

  std::vector<LocalEntry> entries;
  uint32_t read_error = 99;
  ASSERT_TRUE(ListLocalDirectory(root, &entries, &read_error));
  EXPECT_EQ(read_error, 0u);
  std::map<std::string, LocalEntryKind> expected = {
      {"a.txt", LocalEntryKind::kFile},         {"empty.bin", LocalEntryKind::kFile},
      {"sub", LocalEntryKind::kDirectory},      {"link_file", LocalEntryKind::kFile},
      {"link_dir", LocalEntryKind::kSkipped},   {"dangling", LocalEntryKind::kFile},
      {"fifo", LocalEntryKind::kSkipped},
  };
  EXPECT_EQ(Kinds(entries), expected);  // "." and ".." are not listed
  EXPECT_EQ(entries.size(), expected.size());
}

// An empty directory lists nothing; a missing one or a file fails, and
// leaves no stale entries; a directory of thousands is listed whole.
TEST(LocalWalkTest, EmptyMissingAndLargeDirectories) {
  testing::TempDir tmp;
  testing::MakeDirs(tmp.path() + "/empty");
  testing::WriteFile(tmp.path() + "/plain", "not a directory");
  std::vector<LocalEntry> entries = {LocalEntry{"stale", LocalEntryKind::kFile}};
  uint32_t read_error = 99;
  ASSERT_TRUE(ListLocalDirectory(tmp.path() + "/empty", &entries, &read_error));
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(read_error, 0u);
  for (const char* bad : {"/missing", "/plain"}) {
    entries = {LocalEntry{"stale", LocalEntryKind::kFile}};
    EXPECT_FALSE(ListLocalDirectory(tmp.path() + bad, &entries, &read_error)) << bad;
    EXPECT_TRUE(entries.empty()) << bad;
  }

  const std::string many = tmp.path() + "/many";
  for (int i = 0; i < 3000; ++i) testing::WriteFile(many + "/f" + std::to_string(i), "");
  testing::MakeDirs(many + "/d");
  ASSERT_TRUE(ListLocalDirectory(many, &entries, &read_error));
  EXPECT_EQ(entries.size(), 3001u);
  EXPECT_EQ(std::count_if(entries.begin(), entries.end(),
                          [](const LocalEntry& e) { return e.kind == LocalEntryKind::kDirectory; }),
            1);
}

}  // namespace
}  // namespace tervane
