#include "client/app/local_walk.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "testing/temp_dir.h"

namespace tervane {
namespace {

// Files and links to files are sent (a dangling link too, to fail
// visibly), directories walked; links to directories and other kinds (a
// FIFO here) are passed over without being opened, which would hang on a
// FIFO. "." and ".." are not listed. An empty directory lists nothing; a
// missing one or a file fails and leaves no stale entries.
TEST(LocalWalkTest, EveryEntryGetsWhatTheBackupDoesWithIt) {
  testing::TempDir tmp;
  const std::string root = tmp.path() + "/data";
  testing::WriteFile(root + "/a.txt", "hello");
  testing::MakeDirs(root + "/sub/deeper");
  testing::MakeDirs(tmp.path() + "/empty");
  testing::WriteFile(tmp.path() + "/outside/file", "x");
  ASSERT_EQ(::symlink((root + "/a.txt").c_str(), (root + "/link_file").c_str()), 0);
  ASSERT_EQ(::symlink((tmp.path() + "/outside").c_str(), (root + "/link_dir").c_str()), 0);
  ASSERT_EQ(::symlink((tmp.path() + "/nowhere").c_str(), (root + "/dangling").c_str()), 0);
  ASSERT_EQ(::mkfifo((root + "/fifo").c_str(), 0644), 0);

  std::vector<LocalEntry> entries;
  uint32_t read_error = 99;
  ASSERT_TRUE(ListLocalDirectory(root, &entries, &read_error));
  EXPECT_EQ(read_error, 0u);
  std::map<std::string, LocalEntryKind> kinds;
  for (const LocalEntry& e : entries) kinds[e.name] = e.kind;
  EXPECT_EQ(kinds, (std::map<std::string, LocalEntryKind>{{"a.txt", LocalEntryKind::kFile},
                                                          {"sub", LocalEntryKind::kDirectory},
                                                          {"link_file", LocalEntryKind::kFile},
                                                          {"link_dir", LocalEntryKind::kSkipped},
                                                          {"dangling", LocalEntryKind::kFile},
                                                          {"fifo", LocalEntryKind::kSkipped}}));
  EXPECT_EQ(entries.size(), kinds.size());

  for (const char* dir : {"/empty", "/missing", "/outside/file"}) {
    entries = {LocalEntry{"stale", LocalEntryKind::kFile}};
    EXPECT_EQ(ListLocalDirectory(tmp.path() + dir, &entries, &read_error), dir[1] == 'e') << dir;
    EXPECT_TRUE(entries.empty()) << dir;
  }
}

}  // namespace
}  // namespace tervane
