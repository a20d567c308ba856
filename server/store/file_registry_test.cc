#include "server/store/file_registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "shared/platform/win_error.h"
#include "testing/temp_dir.h"

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
  Result Open(const std::string& rel, uint32_t access, uint32_t share, uint32_t disposition, uint32_t* handle,
              uint32_t flags = 0x80) {
    return reg_.Open(dir_.Path("home", rel), access, share, disposition, flags, handle);
  }
  // Opens, and closes again at once: 0 or the open's error.
  Result Try(const std::string& rel, uint32_t access, uint32_t share, uint32_t disposition, uint32_t flags = 0x80) {
    uint32_t h = 0;
    Result r = Open(rel, access, share, disposition, &h, flags);
    if (r.ok()) {
      EXPECT_EQ(reg_.Close(h), 0u);
    }
    return r;
  }

  testing::TempDir dir_;
  FileRegistry reg_;  // closes what a test leaves open
};

TEST_F(FileRegistryTest, DispositionsFollowTheCreateOpenRulesAndReadOnlyHolds) {
  uint32_t h = 7;
  EXPECT_TRUE(Open("f.txt", kRW, 0, CREATE_NEW, &h) == ERROR_FILE_EXISTS && h == 0u);
  const struct { const char* rel; uint32_t access; uint32_t disposition; uint32_t result; } refused[] = {
      {"none.txt", GENERIC_READ, OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
      {"nodir/none.txt", GENERIC_READ, OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
      {"nodir/new.txt", kRW, CREATE_ALWAYS, ERROR_PATH_NOT_FOUND},
      {"none.txt", kRW, TRUNCATE_EXISTING, ERROR_FILE_NOT_FOUND},
      {"f.txt", GENERIC_READ, TRUNCATE_EXISTING, ERROR_INVALID_PARAMETER},
      {"f.txt", GENERIC_READ, 0, ERROR_INVALID_PARAMETER}, {"f.txt", GENERIC_READ, 6, ERROR_INVALID_PARAMETER},
      {"sub", GENERIC_READ, OPEN_EXISTING, ERROR_ACCESS_DENIED}, {"sub", kRW, OPEN_ALWAYS, ERROR_ACCESS_DENIED},
      {"", GENERIC_READ, OPEN_EXISTING, ERROR_ACCESS_DENIED}};
  for (const auto& c : refused) EXPECT_EQ(Try(c.rel, c.access, kShareRW, c.disposition), c.result) << c.rel;
  mode_t old_mask = ::umask(0);
  EXPECT_EQ(Try("new.txt", kRW, 0, CREATE_NEW), 0u);
  ::umask(old_mask);
  EXPECT_EQ(testing::ReadTree(dir_.At("home"), /*with_modes=*/true).at("new.txt"), "600:") << "private whatever the umask";
  // OPEN_ALWAYS makes a missing file and keeps an existing one; the others truncate.
  const struct { const char* rel; uint32_t disposition; const char* left; } opened[] = {
      {"always.txt", OPEN_ALWAYS, ""}, {"f.txt", OPEN_ALWAYS, "0123456789"}, {"f.txt", CREATE_ALWAYS, ""},
      {"f.txt", TRUNCATE_EXISTING, ""}};
  for (const auto& c : opened) {
    if (std::string(c.rel) == "f.txt") dir_.WriteFile("home/f.txt", "0123456789");
    EXPECT_EQ(Try(c.rel, GENERIC_WRITE, 0, c.disposition), 0u) << c.disposition;
    EXPECT_EQ(dir_.ReadFile(std::string("home/") + c.rel), c.left) << c.disposition;
  }

  // A read-only file refuses writers, even for a server running as root;
  // the creator of a read-only file may still write it.
  dir_.WriteFile("home/f.txt", "0123456789");
  ASSERT_EQ(::chmod(dir_.At("home/f.txt").c_str(), 0444), 0);
  EXPECT_EQ((std::vector<Result>{Try("f.txt", GENERIC_WRITE, 0, OPEN_EXISTING), Try("f.txt", GENERIC_READ, 0, CREATE_ALWAYS),
                                 Try("f.txt", GENERIC_READ, 0, OPEN_EXISTING)}),
            (std::vector<Result>{ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, 0}));
  EXPECT_EQ(dir_.ReadFile("home/f.txt"), "0123456789");
  ASSERT_EQ(Open("ro.txt", kRW, 0, CREATE_NEW, &h, FILE_ATTRIBUTE_READONLY), 0u);
  const uint8_t data[3] = {'x', 'y', 'z'};
  EXPECT_EQ(reg_.WriteAt(h, data, 0, 3), 0u);
  EXPECT_EQ(reg_.Close(h), 0u);
  EXPECT_EQ(testing::ReadTree(dir_.At("home"), /*with_modes=*/true).at("ro.txt"), "400:xyz");
  EXPECT_EQ(reg_.OpenCount(), 0u);
}

TEST_F(FileRegistryTest, SharingFollowsBothSidesOfTheShareModes) {
  // A second open must share the held one's access, and the held one the
  // second's; an open without data access takes part in neither side.
  const struct { uint32_t held_access, held_share, access, share, disposition, result; } cases[] = {
      {GENERIC_WRITE, 0, GENERIC_READ, kShareRW, OPEN_EXISTING, ERROR_SHARING_VIOLATION},  // an upload's share 0
      {GENERIC_WRITE, 0, GENERIC_WRITE, 0, CREATE_ALWAYS, ERROR_SHARING_VIOLATION},
      {GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0},
      {GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, kShareRW, OPEN_EXISTING, ERROR_SHARING_VIOLATION},
      {GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_WRITE, OPEN_EXISTING, ERROR_SHARING_VIOLATION},
      {0, 0, GENERIC_WRITE, 0, OPEN_EXISTING, 0}, {GENERIC_WRITE, 0, 0, 0, OPEN_EXISTING, 0},
      {kRW, kShareRW, kRW, kShareRW, OPEN_EXISTING, 0},
      {kRW, kShareRW, DELETE, kShareRW, OPEN_EXISTING, ERROR_SHARING_VIOLATION}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.held_access << "/" << c.held_share << " then " << c.access << "/" << c.share);
    uint32_t held = 0;
    ASSERT_EQ(Open("f.txt", c.held_access, c.held_share, OPEN_EXISTING, &held), 0u);
    EXPECT_EQ(Try("f.txt", c.access, c.share, c.disposition), c.result);
    EXPECT_EQ(reg_.Close(held), 0u) << "the held handle outlives a refused open";
  }
  EXPECT_EQ(dir_.ReadFile("home/f.txt"), "0123456789") << "a refused CREATE_ALWAYS truncates nothing";
  EXPECT_TRUE(Try("f.txt", kRW, 0, OPEN_EXISTING).ok() && reg_.OpenCount() == 0u) << "closes release their share";
}

TEST_F(FileRegistryTest, HandlesAreNonzeroNeverRepeatedDeadOnceClosedAndClosingWaitsForARead) {
  std::set<uint32_t> seen;
  uint32_t h = 0;
  for (int i = 0; i < 3000; ++i) {
    ASSERT_EQ(Open("f.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, &h), 0u);
    ASSERT_TRUE(h != 0 && seen.insert(h).second) << "handle " << h << " given twice";
    ASSERT_EQ(reg_.Close(h), 0u);
  }
  uint8_t buf[4];
  uint64_t size = 0;  // closed, zero, never given, and a descriptor number are no handles
  const std::vector<Result> got = {reg_.Close(h), reg_.ReadAt(h, buf, 0, 4), reg_.Close(0), reg_.SetSparse(0),
                                   reg_.GetFileSize(0x7FFFFFF3u, &size), reg_.GetFileSize(3, &size)};
  EXPECT_EQ(got, std::vector<Result>(got.size(), ERROR_INVALID_HANDLE));
  // A close while another thread reads waits for the read.
  dir_.WriteFile("home/big.bin", std::string(1 << 16, 'q'));
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(Open("big.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, &h), 0u);
    std::atomic<int> bad{0};
    std::thread reader([&] {
      std::vector<uint8_t> data(1 << 16);
      for (int i = 0; i < 50; ++i) {
        Result r = reg_.ReadAt(h, data.data(), 0, static_cast<uint32_t>(data.size()));
        if (r == ERROR_INVALID_HANDLE) break;
        if (r != 0 || data[100] != 'q') ++bad;
      }
    });
    EXPECT_EQ(reg_.Close(h), 0u);
    reader.join();
    EXPECT_EQ(bad.load(), 0);
  }
  EXPECT_EQ(reg_.OpenCount(), 0u);
}

TEST_F(FileRegistryTest, ReadsWritesAndTimesAreExactBoundedAndNeedTheirAccess) {
  dir_.WriteFile("home/big.bin", std::string(4196, 'z'));
  uint32_t r = 0;
  ASSERT_EQ(Open("big.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, &r), 0u);
  std::vector<uint8_t> buf(4096);
  const struct { uint64_t offset; uint32_t count; uint32_t result; } reads[] = {
      {100, 4096, 0}, {4096, 4096, ERROR_HANDLE_EOF}, {4096, 100, 0}, {4196, 1, ERROR_HANDLE_EOF},
      {1ull << 40, 1, ERROR_HANDLE_EOF}, {~0ull, 1, ERROR_INVALID_PARAMETER}, {0, 0, 0}};
  for (const auto& c : reads) EXPECT_EQ(reg_.ReadAt(r, buf.data(), c.offset, c.count), c.result) << c.offset;
  const uint8_t piece[4] = {'a', 'b', 'c', 'd'};
  const FileTimes set{130000000000000000ull, 131000000000000000ull, 0};  // creation: accepted, cannot be set here
  EXPECT_EQ((std::vector<Result>{reg_.WriteAt(r, piece, 0, 1), reg_.SetEndOfFileAt(r, 0), reg_.SetFileTime(r, set)}),
            std::vector<Result>(3, ERROR_ACCESS_DENIED))
      << "opened for reading only";
  EXPECT_EQ(reg_.SetSparse(r), 0u);

  uint32_t w = 0;
  ASSERT_EQ(Open("w.bin", GENERIC_WRITE, 0, CREATE_NEW, &w), 0u);
  EXPECT_EQ(reg_.ReadAt(w, buf.data(), 0, 1), ERROR_ACCESS_DENIED) << "opened for writing only";
  EXPECT_EQ(reg_.WriteAt(w, piece, 6, 4), 0u);
  uint64_t size = 0;
  EXPECT_TRUE(reg_.GetFileSize(w, &size) == 0u && size == 10u);
  EXPECT_EQ(reg_.SetEndOfFileAt(w, 8), 0u);
  EXPECT_EQ(dir_.ReadFile("home/w.bin"), std::string(6, '\0') + "ab");
  EXPECT_EQ(reg_.SetEndOfFileAt(w, 1ull << 20), 0u);
  EXPECT_TRUE(reg_.GetFileSize(w, &size) == 0u && size == 1u << 20);
  EXPECT_EQ(reg_.SetEndOfFileAt(w, ~0ull), ERROR_INVALID_PARAMETER);

  // Times round-trip, and a zero time leaves that time alone.
  auto times = [&] {
    FileTimes t;
    EXPECT_EQ(reg_.GetFileTime(w, &t), 0u);
    return t;
  };
  const FileTimes before = times();
  EXPECT_TRUE(before.creation != 0 && before.last_write != 0);
  const uint64_t write = 132000000000000000ull;  // 2019-04-17
  ASSERT_EQ(reg_.SetFileTime(w, FileTimes{0, 0, write}), 0u);
  EXPECT_TRUE(times().last_write == write && times().last_access == before.last_access);
  ASSERT_TRUE(reg_.SetFileTime(w, set).ok() && reg_.SetFileTime(w, FileTimes()).ok());
  EXPECT_TRUE(times().last_access == set.last_access && times().last_write == write);
}

}  // namespace
}  // namespace tervane
