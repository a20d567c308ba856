#include "server/store/share_report.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "testing/temp_dir.h"
#include "shared/protocol/result_codes.h"

namespace tervane {
namespace {

void SetTime(const std::string& path, time_t when) {
  timespec times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

TEST(ShareReportTest, CountsEachWeekdayCopyAndMarksOldOrMissingCopiesStale) {
  testing::TempDir dir;
  const std::string pw = "0123456789abcdef0123456789abcdef";
  dir.WriteFile("Config.cfg", "[SharePath]\n" + dir.At("share") + "\n[User]\nalice\n" + pw + "\n[User]\nbob\n" + pw +
                                  "\n[User]\ncarol\n" + pw + "\n");
  const time_t now = 1'800'000'000;
  auto write = [&dir](const std::string& rel, const std::string& content) {
    dir.MakeDir(rel.substr(0, rel.rfind('/')));
    dir.WriteFile(rel, content);
  };
  // alice: Mon made an hour ago although its files keep older times; Sun a week old.
  write("share/alice/Mon/home/a.txt", "12345");
  write("share/alice/Mon/home/sub/b.txt", "678");
  dir.MakeDir("share/alice/Mon/home/empty");
  write("share/alice/Sun/c.txt", "x");
  write("share/alice/notes.txt", "outside any copy");
  for (const char* p : {"Mon/home/a.txt", "Mon/home/sub/b.txt", "Mon/home/sub", "Mon/home/empty", "Mon/home"}) {
    SetTime(dir.At("share/alice/") + p, now - 30 * 24 * 3600);
  }
  SetTime(dir.At("share/alice/Mon"), now - 3600);
  SetTime(dir.At("share/alice/Sun/c.txt"), now - 7 * 24 * 3600);
  SetTime(dir.At("share/alice/Sun"), now - 7 * 24 * 3600);
  // bob: the newest copy is just over two days old. carol: no home at all.
  write("share/bob/Tue/d.txt", "");
  SetTime(dir.At("share/bob/Tue/d.txt"), now - kStaleAfterSeconds - 1);
  SetTime(dir.At("share/bob/Tue"), now - kStaleAfterSeconds - 1);

  std::vector<AccountCopies> report;
  ASSERT_EQ(ReadShareReport(dir.At("Config.cfg"), now, &report), 0u);
  ASSERT_EQ(report.size(), 3u);
  const AccountCopies& alice = report[0];
  EXPECT_EQ(alice.name, "alice");
  EXPECT_FALSE(alice.stale);
  EXPECT_EQ(alice.newest, now - 3600);
  ASSERT_EQ(alice.copies.size(), 2u);
  EXPECT_EQ(alice.copies[0].weekday, "Sun");
  EXPECT_EQ(alice.copies[0].files, 1u);
  EXPECT_EQ(alice.copies[1].weekday, "Mon");
  EXPECT_EQ(alice.copies[1].files, 2u);
  EXPECT_EQ(alice.copies[1].bytes, 8u);
  EXPECT_EQ(alice.copies[1].newest, now - 3600);
  EXPECT_EQ(report[1].name, "bob");
  EXPECT_TRUE(report[1].stale);
  ASSERT_EQ(report[1].copies.size(), 1u);
  EXPECT_EQ(report[1].copies[0].files, 1u);
  EXPECT_TRUE(report[2].stale);
  EXPECT_TRUE(report[2].copies.empty());

  EXPECT_EQ(ReadShareReport(dir.At("missing.cfg"), now, &report), RESULT_CONFIG_MISSING);
}

}  // namespace
}  // namespace tervane
