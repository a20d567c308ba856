#include "server/net/open_file_table.h"

#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "server/store/file_registry.h"
#include "server/store/store_path.h"
#include "shared/platform/win_error.h"

namespace tervane {
namespace {

class OpenFileTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/tervane_oft_XXXXXX";
    dir_ = ::mkdtemp(name);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Opens (creating) `name` in the temporary directory, shared for all.
  uint32_t Open(const std::string& name) {
    StorePath path;
    EXPECT_EQ(path.SetHome(dir_), 0u);
    EXPECT_EQ(path.Append(name), 0u);
    uint32_t handle = 0;
    EXPECT_EQ(files_.Open(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS,
                          0x80, &handle),
              0u);
    return handle;
  }

  std::string dir_;
  FileRegistry files_;
  OpenFileTable table_;
};

TEST_F(OpenFileTableTest, HoldsSixteenFilesAndRefusesTheSeventeenth) {
  uint32_t handles[16];
  for (int i = 0; i < 16; ++i) {
    handles[i] = Open("f" + std::to_string(i));
    ASSERT_EQ(table_.Add(handles[i], "f" + std::to_string(i), files_), 0u);
  }
  EXPECT_EQ(table_.size(), 16u);
  uint32_t extra = Open("f16");
  EXPECT_EQ(table_.Add(extra, "f16", files_), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_FALSE(table_.Contains(extra));
  for (uint32_t h : handles) EXPECT_TRUE(table_.Contains(h));
  // The refused handle is still the caller's to close.
  EXPECT_EQ(files_.Close(extra), 0u);
}

TEST_F(OpenFileTableTest, TheSamePathOpenedAgainReplacesAndClosesTheOlderHandle) {
  uint32_t first = Open("a.txt");
  ASSERT_EQ(table_.Add(first, "dir\\a.txt", files_), 0u);
  uint32_t second = Open("a.txt");
  ASSERT_EQ(table_.Add(second, "dir\\a.txt", files_), 0u);
  EXPECT_EQ(table_.size(), 1u);
  EXPECT_FALSE(table_.Contains(first));
  EXPECT_TRUE(table_.Contains(second));
  EXPECT_EQ(files_.Close(first), ERROR_INVALID_HANDLE);  // already closed by the replacement

  // A name differing in case is another file on this file system.
  uint32_t other = Open("A.txt");
  ASSERT_EQ(table_.Add(other, "dir\\A.txt", files_), 0u);
  EXPECT_EQ(table_.size(), 2u);
  EXPECT_TRUE(table_.Contains(second));
}

TEST_F(OpenFileTableTest, CloseTouchesOnlyHandlesItHolds) {
  uint32_t mine = Open("mine");
  uint32_t foreign = Open("foreign");
  ASSERT_EQ(table_.Add(mine, "mine", files_), 0u);
  EXPECT_EQ(table_.Close(foreign, files_), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(table_.Close(0, files_), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(files_.OpenCount(), 2u);  // the foreign handle stays open
  EXPECT_EQ(table_.Close(mine, files_), 0u);
  EXPECT_FALSE(table_.Contains(mine));
  EXPECT_EQ(files_.OpenCount(), 1u);
  EXPECT_EQ(table_.Close(mine, files_), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(files_.Close(foreign), 0u);
}

TEST_F(OpenFileTableTest, CloseAllEmptiesTheTableAndClosesEveryHandle) {
  for (int i = 0; i < 5; ++i) {
    std::string name = "g" + std::to_string(i);
    ASSERT_EQ(table_.Add(Open(name), name, files_), 0u);
  }
  EXPECT_EQ(files_.OpenCount(), 5u);
  table_.CloseAll(files_);
  EXPECT_EQ(table_.size(), 0u);
  EXPECT_EQ(files_.OpenCount(), 0u);
  // The freed entries take new files again.
  EXPECT_EQ(table_.Add(Open("h"), "h", files_), 0u);
  table_.CloseAll(files_);
}

TEST_F(OpenFileTableTest, RefusesWhatItCannotHold) {
  uint32_t h = Open("x");
  EXPECT_EQ(table_.Add(0, "x", files_), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(table_.Add(h, std::string(OpenFileTable::kMaxPathLength + 1, 'p'), files_), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(table_.size(), 0u);
  EXPECT_EQ(table_.Add(h, std::string(OpenFileTable::kMaxPathLength, 'p'), files_), 0u);
  EXPECT_FALSE(table_.Contains(0));
  table_.CloseAll(files_);
}

}  // namespace
}  // namespace tervane
