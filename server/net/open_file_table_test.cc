#include "server/net/open_file_table.h"

#include <string>

#include <gtest/gtest.h>

#include "server/store/file_registry.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/open_flags.h"
#include "testing/temp_dir.h"

namespace tervane {
namespace {

class OpenFileTableTest : public ::testing::Test {
 protected:
  // Opens (creating) `name` in the temporary directory, shared for all.
  uint32_t Open(const std::string& name) {
    uint32_t handle = 0;
    const uint32_t share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    EXPECT_EQ(files_.Open(dir_.Path("", name), GENERIC_READ | GENERIC_WRITE, share, OPEN_ALWAYS, 0x80, &handle), 0u);
    return handle;
  }

  testing::TempDir dir_;
  FileRegistry files_;  // closes what a test leaves open
  OpenFileTable table_;
};

// The same path (byte for byte) again replaces and closes the older handle.
// Close touches only handles the table holds; a path too long or handle 0
// is refused and nothing stored.
TEST_F(OpenFileTableTest, ReplacesTheSamePathAndRefusesWhatItDoesNotHold) {
  const uint32_t first = Open("a.txt");
  ASSERT_EQ(table_.Add(first, "dir\\a.txt", files_), 0u);
  const uint32_t second = Open("a.txt");
  ASSERT_EQ(table_.Add(second, "dir\\a.txt", files_), 0u);
  EXPECT_FALSE(table_.Contains(first));
  EXPECT_EQ(files_.Close(first), ERROR_INVALID_HANDLE);  // already closed
  const uint32_t upper = Open("A.txt");
  ASSERT_EQ(table_.Add(upper, "dir\\A.txt", files_), 0u);
  EXPECT_TRUE(table_.size() == 2 && table_.Contains(second));

  const uint32_t foreign = Open("foreign");
  EXPECT_EQ(table_.Close(foreign, files_), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(table_.Close(0, files_), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(table_.Close(upper, files_), 0u);
  EXPECT_EQ(files_.OpenCount(), 2u);  // second and the foreign handle stay open
  EXPECT_EQ(table_.Add(0, "x", files_), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(table_.Add(foreign, std::string(OpenFileTable::kMaxPathLength + 1, 'p'), files_),
            ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(table_.size(), 1u);
  EXPECT_EQ(table_.Add(foreign, std::string(OpenFileTable::kMaxPathLength, 'p'), files_), 0u);
  EXPECT_FALSE(table_.Contains(0));
}

}  // namespace
}  // namespace tervane
