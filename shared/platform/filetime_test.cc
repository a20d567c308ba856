#include "shared/platform/filetime.h"

#include <gtest/gtest.h>

namespace tervane {

// FILETIME counts 100 ns from 1601; times before it become 0.
TEST(FileTimeTest, ConvertsBothWaysAroundTheUnixEpoch) {
  const struct {
    time_t sec;
    long nsec;
    uint64_t filetime;
  } cases[] = {
      {0, 0, kFileTimeUnixEpoch},
      {1700000000, 123456700, kFileTimeUnixEpoch + 1700000000ull * 10000000ull + 1234567ull},
      {-86400, 0, kFileTimeUnixEpoch - 86400ull * 10000000ull},  // 1969-12-31
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FileTimeFromTimespec(timespec{c.sec, c.nsec}), c.filetime) << c.sec;
    const timespec back = TimespecFromFileTime(c.filetime);
    EXPECT_EQ(back.tv_sec, c.sec);
    EXPECT_EQ(back.tv_nsec, c.nsec);
  }
  EXPECT_EQ(FileTimeFromTimespec(timespec{-12000000000LL, 0}), 0u);  // before 1601
  EXPECT_EQ(FileTimeFromTimespec(timespec{0, 99}), kFileTimeUnixEpoch) << "sub-100 ns parts are dropped";
}

}  // namespace tervane
