#include "client/app/local_walk.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
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
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sock_path = root + "/sock";
  ASSERT_LT(sock_path.size(), sizeof(addr.sun_path));
  std::strcpy(addr.sun_path, sock_path.c_str());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);

  std::vector<LocalEntry> entries;
  uint32_t read_error = 99;
  ASSERT_TRUE(ListLocalDirectory(root, &entries, &read_error));
  ::close(sock);
  EXPECT_EQ(read_error, 0u);
  std::map<std::string, LocalEntryKind> expected = {
      {"a.txt", LocalEntryKind::kFile},         {"empty.bin", LocalEntryKind::kFile},
      {"sub", LocalEntryKind::kDirectory},      {"link_file", LocalEntryKind::kFile},
      {"link_dir", LocalEntryKind::kSkipped},   {"dangling", LocalEntryKind::kFile},
      {"fifo", LocalEntryKind::kSkipped},       {"sock", LocalEntryKind::kSkipped},
  };
  EXPECT_EQ(Kinds(entries), expected);  // "." and ".." are not listed
  EXPECT_EQ(entries.size(), expected.size());
}

TEST(LocalWalkTest, AnEmptyDirectoryListsNothingAndAMissingOneFails) {
  testing::TempDir tmp;
  testing::MakeDirs(tmp.path() + "/empty");
  std::vector<LocalEntry> entries = {LocalEntry{"stale", LocalEntryKind::kFile}};
  uint32_t read_error = 99;
  ASSERT_TRUE(ListLocalDirectory(tmp.path() + "/empty", &entries, &read_error));
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(read_error, 0u);

  entries = {LocalEntry{"stale", LocalEntryKind::kFile}};
  EXPECT_FALSE(ListLocalDirectory(tmp.path() + "/missing", &entries, &read_error));
  EXPECT_TRUE(entries.empty());
  testing::WriteFile(tmp.path() + "/plain", "not a directory");
  EXPECT_FALSE(ListLocalDirectory(tmp.path() + "/plain", &entries, &read_error));
}

TEST(LocalWalkTest, ADirectoryOfThousandsIsListedWhole) {
  testing::TempDir tmp;
  const std::string root = tmp.path() + "/many";
  testing::MakeDirs(root);
  for (int i = 0; i < 3000; ++i) testing::WriteFile(root + "/f" + std::to_string(i), "");
  testing::MakeDirs(root + "/d");
  std::vector<LocalEntry> entries;
  uint32_t read_error = 0;
  ASSERT_TRUE(ListLocalDirectory(root, &entries, &read_error));
  EXPECT_EQ(entries.size(), 3001u);
  EXPECT_EQ(std::count_if(entries.begin(), entries.end(),
                          [](const LocalEntry& e) { return e.kind == LocalEntryKind::kDirectory; }),
            1);
}

}  // namespace
}  // namespace tervane
