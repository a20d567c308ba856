#include "server/store/file_registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>

#include "testing/temp_dir.h"
#include "shared/platform/win_error.h"

namespace tervane {
namespace {

constexpr uint32_t kRW = GENERIC_READ | GENERIC_WRITE;
constexpr uint32_t kShareRW = FILE_SHARE_READ | FILE_SHARE_WRITE;

class FileRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.MakeDir("home/sub");
    dir_.WriteFile("home/f.txt", "0123456789");
  }
  Result Open(const std::string& rel, uint32_t access, uint32_t share, uint32_t disposition,
              uint32_t* handle, uint32_t flags = 0x80) {
    return reg_.Open(dir_.Path("home", rel), access, share, disposition, flags, handle);
  }
  // Closes whatever a test left open.
  void TearDown() override {
    for (uint32_t h : opened_) static_cast<void>(reg_.Close(h));  // some a test closed already
  }
  uint32_t Keep(uint32_t h) {
    opened_.push_back(h);
    return h;
  }

  testing::TempDir dir_;
  FileRegistry reg_;
  std::vector<uint32_t> opened_;
};

TEST_F(FileRegistryTest, DispositionsFollowTheCreateOpenRules) {
  uint32_t h = 0;
  EXPECT_EQ(Open("f.txt", kRW, 0, CREATE_NEW, &h), ERROR_FILE_EXISTS);
  EXPECT_EQ(h, 0u);
  EXPECT_EQ(Open("none.txt", GENERIC_READ, 0, OPEN_EXISTING, &h), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Open("nodir/none.txt", GENERIC_READ, 0, OPEN_EXISTING, &h), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Open("nodir/new.txt", kRW, 0, CREATE_ALWAYS, &h), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Open("none.txt", kRW, 0, TRUNCATE_EXISTING, &h), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Open("f.txt", GENERIC_READ, 0, TRUNCATE_EXISTING, &h), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Open("f.txt", GENERIC_READ, 0, 0, &h), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Open("f.txt", GENERIC_READ, 0, 6, &h), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Open("sub", GENERIC_READ, kShareRW, OPEN_EXISTING, &h), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Open("sub", kRW, kShareRW, OPEN_ALWAYS, &h), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Open("", GENERIC_READ, kShareRW, OPEN_EXISTING, &h), ERROR_ACCESS_DENIED);
  EXPECT_EQ(reg_.OpenCount(), 0u);

  mode_t old_mask = ::umask(0);
  ASSERT_EQ(Open("new.txt", kRW, 0, CREATE_NEW, &h), 0u);
  ::umask(old_mask);
  struct stat st;
  ASSERT_EQ(::stat(dir_.At("home/new.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "private whatever the umask";
  EXPECT_NE(h, 0u);
  EXPECT_EQ(reg_.Close(h), 0u);
  ASSERT_EQ(Open("always.txt", kRW, 0, OPEN_ALWAYS, &h), 0u);
  EXPECT_TRUE(dir_.Exists("home/always.txt"));
  EXPECT_EQ(reg_.Close(h), 0u);
  ASSERT_EQ(Open("f.txt", kRW, 0, OPEN_ALWAYS, &h), 0u);  // existing: kept
  uint64_t size = 0;
  EXPECT_EQ(reg_.GetFileSize(h, &size), 0u);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(reg_.Close(h), 0u);
  ASSERT_EQ(Open("f.txt", GENERIC_WRITE, 0, CREATE_ALWAYS, &h), 0u);  // existing: truncated
  EXPECT_EQ(reg_.GetFileSize(h, &size), 0u);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(reg_.Close(h), 0u);
  dir_.WriteFile("home/f.txt", "abc");
  ASSERT_EQ(Open("f.txt", GENERIC_WRITE, 0, TRUNCATE_EXISTING, &h), 0u);
  EXPECT_EQ(reg_.Close(h), 0u);
  EXPECT_EQ(dir_.ReadFile("home/f.txt"), "");
  EXPECT_EQ(reg_.OpenCount(), 0u);
}

TEST_F(FileRegistryTest, ReadOnlyFilesRefuseWritersButTheCreatorMayWrite) {
  ASSERT_EQ(::chmod(dir_.At("home/f.txt").c_str(), 0444), 0);
  uint32_t h = 0;
  EXPECT_EQ(Open("f.txt", GENERIC_WRITE, 0, OPEN_EXISTING, &h), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Open("f.txt", GENERIC_READ, 0, CREATE_ALWAYS, &h), ERROR_ACCESS_DENIED);
  EXPECT_EQ(dir_.ReadFile("home/f.txt"), "0123456789");
  ASSERT_EQ(Open("f.txt", GENERIC_READ, 0, OPEN_EXISTING, &h), 0u);
  EXPECT_EQ(reg_.Close(h), 0u);
  ASSERT_EQ(Open("ro.txt", kRW, 0, CREATE_NEW, &h, FILE_ATTRIBUTE_READONLY), 0u);
  const uint8_t data[3] = {'x', 'y', 'z'};
  EXPECT_EQ(reg_.WriteAt(h, data, 0, 3), 0u);
  EXPECT_EQ(reg_.Close(h), 0u);
  struct stat st;
  ASSERT_EQ(::stat(dir_.At("home/ro.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);
  EXPECT_EQ(dir_.ReadFile("home/ro.txt"), "xyz");
}

TEST_F(FileRegistryTest, SharingFollowsBothSidesOfTheShareModes) {
  uint32_t upload = 0;
  uint32_t h = 0;
  // An upload opens with share 0: nothing else may open the file.
  ASSERT_EQ(Open("f.txt", GENERIC_WRITE, 0, OPEN_ALWAYS, &upload), 0u);
  Keep(upload);
  EXPECT_EQ(Open("f.txt", GENERIC_READ, kShareRW, OPEN_EXISTING, &h), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(Open("f.txt", GENERIC_WRITE, 0, CREATE_ALWAYS, &h), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(dir_.ReadFile("home/f.txt"), "0123456789") << "a refused CREATE_ALWAYS must not truncate";
  const uint8_t data[2] = {'A', 'B'};
  EXPECT_EQ(reg_.WriteAt(upload, data, 0, 2), 0u) << "the first handle stays usable";
  EXPECT_EQ(reg_.Close(upload), 0u);

  uint32_t reader = 0;
  ASSERT_EQ(Open("f.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, &reader), 0u);
  Keep(reader);
  ASSERT_EQ(Open("f.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, &h), 0u);
  EXPECT_EQ(reg_.Close(h), 0u);
  EXPECT_EQ(Open("f.txt", GENERIC_WRITE, kShareRW, OPEN_EXISTING, &h), ERROR_SHARING_VIOLATION)
      << "the reader does not share writing";
  EXPECT_EQ(Open("f.txt", GENERIC_READ, FILE_SHARE_WRITE, OPEN_EXISTING, &h), ERROR_SHARING_VIOLATION)
      << "the new open does not share the existing read";
  EXPECT_EQ(Open("f.txt", 0, 0, OPEN_EXISTING, &h), 0u) << "an open without data access conflicts with nothing";
  EXPECT_EQ(reg_.Close(reader), 0u);
  uint32_t writer = 0;
  EXPECT_EQ(Open("f.txt", GENERIC_WRITE, 0, OPEN_EXISTING, &writer), 0u) << "nor does it hold others back";
  EXPECT_EQ(reg_.Close(writer), 0u);
  EXPECT_EQ(reg_.Close(h), 0u);

  uint32_t shared = 0;
  ASSERT_EQ(Open("f.txt", kRW, kShareRW, OPEN_EXISTING, &shared), 0u);
  Keep(shared);
  ASSERT_EQ(Open("f.txt", kRW, kShareRW, OPEN_EXISTING, &h), 0u);
  EXPECT_NE(h, shared);
  EXPECT_EQ(reg_.Close(h), 0u);
  ASSERT_EQ(Open("f.txt", DELETE, kShareRW, OPEN_EXISTING, &h), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(reg_.Close(shared), 0u);
  // Closed handles release their share.
  ASSERT_EQ(Open("f.txt", kRW, 0, OPEN_EXISTING, &h), 0u);
  EXPECT_EQ(reg_.Close(h), 0u);
}

TEST_F(FileRegistryTest, HandlesAreOpaqueNonzeroAndNeverRepeatedWithinARun) {
  std::set<uint32_t> seen;
  for (int i = 0; i < 3000; ++i) {
    uint32_t h = 0;
    ASSERT_EQ(Open("f.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, &h), 0u);
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(seen.insert(h).second) << "handle " << h << " given twice";
    ASSERT_EQ(reg_.Close(h), 0u);
  }
  uint32_t h = 0;
  ASSERT_EQ(Open("f.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, &h), 0u);
  EXPECT_EQ(reg_.Close(h), 0u);
  EXPECT_EQ(reg_.Close(h), ERROR_INVALID_HANDLE);
  uint8_t buf[4];
  EXPECT_EQ(reg_.ReadAt(h, buf, 0, 4), ERROR_INVALID_HANDLE);
  EXPECT_EQ(reg_.Close(0), ERROR_INVALID_HANDLE);
  EXPECT_EQ(reg_.SetSparse(0), ERROR_INVALID_HANDLE);
  uint64_t size = 0;
  EXPECT_EQ(reg_.GetFileSize(0x7FFFFFF3u, &size), ERROR_INVALID_HANDLE) << "never given";
  EXPECT_EQ(reg_.GetFileSize(3, &size), ERROR_INVALID_HANDLE) << "a descriptor number is no handle";
}

TEST_F(FileRegistryTest, ReadsAreExactAndAShortReadIsEndOfFile) {
  std::string content(4196, 'z');
  dir_.WriteFile("home/big.bin", content);
  uint32_t h = 0;
  ASSERT_EQ(Open("big.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, &h), 0u);
  Keep(h);
  std::vector<uint8_t> buf(4096);
  EXPECT_EQ(reg_.ReadAt(h, buf.data(), 100, 4096), 0u);
  EXPECT_EQ(reg_.ReadAt(h, buf.data(), 4096, 4096), ERROR_HANDLE_EOF) << "100 bytes before the end";
  EXPECT_EQ(reg_.ReadAt(h, buf.data(), 4096, 100), 0u);
  EXPECT_EQ(reg_.ReadAt(h, buf.data(), 4196, 1), ERROR_HANDLE_EOF);
  EXPECT_EQ(reg_.ReadAt(h, buf.data(), 1ull << 40, 1), ERROR_HANDLE_EOF);
  EXPECT_EQ(reg_.ReadAt(h, buf.data(), ~0ull, 1), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(reg_.ReadAt(h, buf.data(), 0, 0), 0u);
  const uint8_t data[1] = {1};
  EXPECT_EQ(reg_.WriteAt(h, data, 0, 1), ERROR_ACCESS_DENIED) << "opened for reading only";
  EXPECT_EQ(reg_.SetEndOfFileAt(h, 0), ERROR_ACCESS_DENIED);
  EXPECT_EQ(reg_.SetSparse(h), 0u);

  uint32_t w = 0;
  ASSERT_EQ(Open("w.bin", GENERIC_WRITE, 0, CREATE_NEW, &w), 0u);
  Keep(w);
  EXPECT_EQ(reg_.ReadAt(w, buf.data(), 0, 1), ERROR_ACCESS_DENIED) << "opened for writing only";
  const uint8_t piece[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(reg_.WriteAt(w, piece, 6, 4), 0u);
  uint64_t size = 0;
  EXPECT_EQ(reg_.GetFileSize(w, &size), 0u);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(reg_.SetEndOfFileAt(w, 8), 0u);
  EXPECT_EQ(dir_.ReadFile("home/w.bin"), std::string(6, '\0') + "ab");
  EXPECT_EQ(reg_.SetEndOfFileAt(w, 1ull << 20), 0u);
  EXPECT_EQ(reg_.GetFileSize(w, &size), 0u);
  EXPECT_EQ(size, 1u << 20);
  EXPECT_EQ(reg_.SetEndOfFileAt(w, ~0ull), ERROR_INVALID_PARAMETER);
}

TEST_F(FileRegistryTest, TimesRoundTripAndZeroLeavesATimeAlone) {
  uint32_t h = 0;
  ASSERT_EQ(Open("f.txt", kRW, 0, OPEN_EXISTING, &h), 0u);
  Keep(h);
  FileTimes before;
  ASSERT_EQ(reg_.GetFileTime(h, &before), 0u);
  EXPECT_NE(before.creation, 0u);
  EXPECT_NE(before.last_write, 0u);
  FileTimes set;
  set.last_write = 132000000000000000ull;  // 2019-04-17
  ASSERT_EQ(reg_.SetFileTime(h, set), 0u);
  FileTimes after;
  ASSERT_EQ(reg_.GetFileTime(h, &after), 0u);
  EXPECT_EQ(after.last_write, set.last_write);
  EXPECT_EQ(after.last_access, before.last_access);
  set = FileTimes();
  set.last_access = 131000000000000000ull;
  set.creation = 130000000000000000ull;  // accepted, cannot be set here
  ASSERT_EQ(reg_.SetFileTime(h, set), 0u);
  ASSERT_EQ(reg_.GetFileTime(h, &after), 0u);
  EXPECT_EQ(after.last_access, set.last_access);
  EXPECT_EQ(after.last_write, 132000000000000000ull);
  ASSERT_EQ(reg_.SetFileTime(h, FileTimes()), 0u);
  FileTimes same;
  ASSERT_EQ(reg_.GetFileTime(h, &same), 0u);
  EXPECT_EQ(same.last_write, after.last_write);
  EXPECT_EQ(same.last_access, after.last_access);

  uint32_t r = 0;
  ASSERT_EQ(Open("f.txt", GENERIC_READ, kShareRW, OPEN_EXISTING, &r), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(reg_.Close(h), 0u);
  ASSERT_EQ(Open("f.txt", GENERIC_READ, kShareRW, OPEN_EXISTING, &r), 0u);
  Keep(r);
  EXPECT_EQ(reg_.SetFileTime(r, set), ERROR_ACCESS_DENIED) << "setting times needs write access";
}

TEST_F(FileRegistryTest, CloseWhileAnotherThreadReadsWaitsForTheRead) {
  std::string content(1 << 16, 'q');
  dir_.WriteFile("home/big.bin", content);
  for (int round = 0; round < 20; ++round) {
    uint32_t h = 0;
    ASSERT_EQ(Open("big.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, &h), 0u);
    std::atomic<int> bad{0};
    std::thread reader([&] {
      std::vector<uint8_t> buf(1 << 16);
      for (int i = 0; i < 50; ++i) {
        Result r = reg_.ReadAt(h, buf.data(), 0, static_cast<uint32_t>(buf.size()));
        if (r == ERROR_INVALID_HANDLE) break;
        if (r != 0 || buf[100] != 'q') ++bad;
      }
    });
    EXPECT_EQ(reg_.Close(h), 0u);
    reader.join();
    EXPECT_EQ(bad.load(), 0);
  }
  EXPECT_EQ(reg_.OpenCount(), 0u);
}

}  // namespace
}  // namespace tervane
