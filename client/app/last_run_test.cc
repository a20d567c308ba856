#include "client/app/last_run.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "client/app/failure_alert.h"
#include "client/app/run_recorder.h"
#include "testing/fake_notification_bus.h"
#include "testing/temp_dir.h"
#include "testing/test_recorders.h"

namespace tervane {
namespace {

constexpr time_t kNow = 1'800'000'000;

std::string StatusOutput(const std::string& settings_path, bool timer_on, int* status) {
  testing::CapturedStdout out;
  *status = RunStatusCommand(settings_path, timer_on, kNow, stdout);
  return out.Text();
}

LastRun FailedRun() {
  return {.ended = kNow - 3600,
          .account = "desk-ann",
          .result = 1,
          .summary = "已上传 2 个文件 (7 字节), 1 个目录, 失败 1 个, 用时 0 秒",
          .files = 2,
          .bytes = 7,
          .directories = 1,
          .failures = 1,
          .failed = {"  /home/ann/a.txt: 磁盘空间不足 (Error:112)"}};
}

// --status after a good, a failed, a missing and a missed run.
TEST(LastRunTest, StatusFollowsTheRecordedRunAndAMissedDay) {
  testing::TempDir tmp;
  const std::string settings = tmp.path() + "/BK_CLIENT_CFG.ini";
  EXPECT_EQ(LastRunPath(settings), tmp.path() + "/BK_CLIENT_CFG.last-run");
  int status = -1;
  EXPECT_EQ(StatusOutput(settings, false, &status), "no run recorded for " + settings + "\n");
  EXPECT_EQ(status, 2);

  LastRun failed = FailedRun();
  ASSERT_TRUE(WriteLastRun(LastRunPath(settings), failed));
  LastRun back;  // the figures the status text does not show
  ASSERT_TRUE(ReadLastRun(LastRunPath(settings), &back));
  EXPECT_EQ(back.bytes, 7u);
  const std::string text = StatusOutput(settings, true, &status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(text.find(", account desk-ann, result 1 (部分失败)\n" + failed.summary + "\n" + failed.failed[0] + "\n"),
            std::string::npos)
      << text;

  LastRun good = failed;
  good.result = 0;
  good.failed.clear();
  ASSERT_TRUE(WriteLastRun(LastRunPath(settings), good));
  EXPECT_NE(StatusOutput(settings, true, &status).find(", result 0 (成功)\n"), std::string::npos);
  EXPECT_EQ(status, 0);
  good.ended = kNow - kMissedRunSeconds - 1;
  ASSERT_TRUE(WriteLastRun(LastRunPath(settings), good));
  StatusOutput(settings, false, &status);
  EXPECT_EQ(status, 0) << "without the timer no run is missed";
  EXPECT_NE(StatusOutput(settings, true, &status).find("no run in the last 26 hours"), std::string::npos);
  EXPECT_EQ(status, 2);
}

TEST(LastRunTest, RecorderKeepsTheLastLineAndTheFailures) {
  RunRecorder recorder(nullptr);
  for (const char* line : {"开始一个目录备份...\n", "上传失败\n", "  /home/ann/a.txt: 磁盘空间不足 (Error:112)\n",
                           "待备份的目录无法打开: /mnt/usb: 系统找不到指定的路径。 (Error:3)\n", "目录备份完毕[x]",
                           "已上传 1 个文件\n"}) {
    recorder.ShowStatus(line);
  }
  EXPECT_EQ(recorder.last_line(), "已上传 1 个文件");
  EXPECT_EQ(recorder.failures(), (std::vector<std::string>{"  /home/ann/a.txt: 磁盘空间不足 (Error:112)",
                                                           "待备份的目录无法打开: /mnt/usb: 系统找不到指定的路径。 (Error:3)"}));
}

// The alert reaches a notification service on a private session bus; a good
// recent run raises none.
TEST(LastRunTest, AFailedRunIsNotifiedOnTheSessionBus) {
  testing::FakeNotificationBus bus;
  if (!bus.ready()) GTEST_SKIP() << "dbus-daemon or python3-dbus is missing";
  testing::TempDir tmp;
  const std::string settings = tmp.path() + "/BK_CLIENT_CFG.ini";
  ASSERT_TRUE(WriteLastRun(LastRunPath(settings), FailedRun()));
  EXPECT_EQ(RunNotifyFailureCommand(settings, true, kNow, bus.address(), stderr), 0);
  EXPECT_EQ(bus.Received().rfind("备份部分失败|上次备份[", 0), 0u) << bus.Received();
  EXPECT_NE(bus.Received().find("/home/ann/a.txt: 磁盘空间不足"), std::string::npos) << bus.Received();

  LastRun good = FailedRun();
  good.result = 0;
  ASSERT_TRUE(WriteLastRun(LastRunPath(settings), good));
  EXPECT_EQ(RunNotifyFailureCommand(settings, true, kNow, "unix:path=" + tmp.path() + "/no-bus", stderr), 0)
      << "nothing due, so no bus is needed (and none raised)";
  ASSERT_TRUE(WriteLastRun(LastRunPath(settings), FailedRun()));
  EXPECT_EQ(RunNotifyFailureCommand(settings, true, kNow, "unix:path=" + tmp.path() + "/no-bus", stderr), 1);
}

}  // namespace
}  // namespace tervane
