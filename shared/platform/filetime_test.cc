#include "shared/platform/filetime.h"

#include <gtest/gtest.h>

namespace tervane {

TEST(FileTimeTest, UnixEpochAndRoundTrip) {
  timespec epoch{};
  EXPECT_EQ(FileTimeFromTimespec(epoch), 116444736000000000ull);

  timespec t{};
  t.tv_sec = 1700000000;
  t.tv_nsec = 123456700;
  uint64_t ft = FileTimeFromTimespec(t);
  EXPECT_EQ(ft, 116444736000000000ull + 1700000000ull * 10000000ull + 1234567ull);
  timespec back = TimespecFromFileTime(ft);
  EXPECT_EQ(back.tv_sec, t.tv_sec);
  EXPECT_EQ(back.tv_nsec, t.tv_nsec);
}

TEST(FileTimeTest, BeforeUnixEpochAndBefore1601) {
  timespec t{};
  t.tv_sec = -86400;  // 1969-12-31
  uint64_t ft = FileTimeFromTimespec(t);
  EXPECT_EQ(ft, 116444736000000000ull - 86400ull * 10000000ull);
  EXPECT_EQ(TimespecFromFileTime(ft).tv_sec, -86400);

  t.tv_sec = -12000000000LL;  // before 1601
  EXPECT_EQ(FileTimeFromTimespec(t), 0u);
}

}  // namespace tervane
