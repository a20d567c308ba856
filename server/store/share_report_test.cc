#include "server/store/share_report.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "shared/protocol/result_codes.h"
#include "testing/temp_dir.h"

namespace tervane {
namespace {

TEST(ShareReportTest, CountsEachWeekdayCopyAndMarksOldOrMissingCopiesStale) {
  testing::TempDir dir;
  const std::string pw = "\n0123456789abcdef0123456789abcdef\n";
  dir.WriteFile("Config.cfg", "[SharePath]\n" + dir.At("share") + "\n[User]\nalice" + pw + "[User]\nbob" + pw +
                                  "[User]\ncarol" + pw);
  const time_t now = 4'000'000'000;  // later than every time left as the files were made
  const time_t week = now - 7 * 24 * 3600;
  const time_t stale = now - kStaleAfterSeconds - 1;
  // alice: Mon made an hour ago although its files are older; Sun a week
  // old. bob: the newest copy is just over two days old. carol: no home.
  dir.WriteFile("share/alice/Mon/home/a.txt", "12345");
  dir.WriteFile("share/alice/Mon/home/sub/b.txt", "678");
  dir.MakeDir("share/alice/Mon/home/empty");
  dir.WriteFile("share/alice/Sun/c.txt", "x");
  dir.WriteFile("share/alice/notes.txt", "outside any copy");
  dir.WriteFile("share/bob/Tue/d.txt", "");
  const std::pair<const char*, time_t> times[] = {{"alice/Mon", now - 3600}, {"alice/Sun", week}, {"bob/Tue", stale}};
  for (const auto& [rel, when] : times) {
    const timespec ts[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, dir.At("share/" + std::string(rel)).c_str(), ts, AT_SYMLINK_NOFOLLOW), 0) << rel;
  }
  std::vector<AccountCopies> report;
  ASSERT_EQ(ReadShareReport(dir.At("Config.cfg"), now, &report), 0u);
  std::string summary;
  for (const AccountCopies& a : report) {
    summary += a.name + (a.stale ? " stale" : "") + " @" + std::to_string(now - a.newest) + ":";
    for (const WeekdayCopy& c : a.copies) {
      summary += " " + c.weekday + " " + std::to_string(c.files) + "f " + std::to_string(c.bytes) + "b @" +
                 std::to_string(now - c.newest);
    }
    summary += "\n";
  }
  EXPECT_EQ(summary, "alice @3600: Sun 1f 1b @604800 Mon 2f 8b @3600\n"
                     "bob stale @172801: Tue 1f 0b @172801\n"
                     "carol stale @" + std::to_string(now) + ":\n");
  EXPECT_EQ(ReadShareReport(dir.At("missing.cfg"), now, &report), RESULT_CONFIG_MISSING);
}

}  // namespace
}  // namespace tervane
