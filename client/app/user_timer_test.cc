#include "client/app/user_timer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "testing/temp_dir.h"
#include "testing/test_recorders.h"

namespace tervane {
namespace {

// A user manager that records each call and answers with `status`.
struct FakeManager {
  std::vector<std::string> calls;
  int status = 0;
  UserManager Function() {
    return [this](const std::vector<std::string>& args) {
      std::string call;
      for (const std::string& a : args) call += (call.empty() ? "" : " ") + a;
      calls.push_back(call);
      return status;
    };
  }
};

StartTime At(int hour, int minute, int second) { return StartTime{2000, 1, 1, hour, minute, second}; }

TEST(UserTimerTest, TheDropInFollowsTheStartTimeAndScheduleOnOffShow) {
  testing::TempDir tmp;
  const std::string folder = tmp.path() + "/systemd/user";
  const std::string drop_in = folder + "/tervaneclt-sync.timer.d/start-time.conf";
  FakeManager manager;
  std::string error;
  ASSERT_TRUE(FollowStartTime(folder, At(18, 0, 0), manager.Function(), &error));
  EXPECT_NE(::access(drop_in.c_str(), F_OK), 0) << "no schedule: nothing written";
  EXPECT_TRUE(manager.calls.empty());

  testing::MakeDirs(folder + "/timers.target.wants");  // what the real enable leaves behind
  ASSERT_EQ(::symlink("/usr/lib/systemd/user/tervaneclt-sync.timer",
                      (folder + "/timers.target.wants/tervaneclt-sync.timer").c_str()),
            0);
  ASSERT_TRUE(FollowStartTime(folder, At(18, 0, 0), manager.Function(), &error)) << error;
  EXPECT_EQ(testing::ReadFile(drop_in),
            "# Written by tervaneclt from the start time of its settings; rewritten\n"
            "# when they change.\n[Timer]\nOnCalendar=\nOnCalendar=*-*-* 18:00:00\nPersistent=true\n");
  ASSERT_TRUE(FollowStartTime(folder, At(18, 0, 0), manager.Function(), &error));
  ASSERT_TRUE(FollowStartTime(folder, At(7, 5, 9), manager.Function(), &error));
  EXPECT_EQ(manager.calls, (std::vector<std::string>{"daemon-reload", "daemon-reload"})) << "only on a change";

  manager.status = 1;
  EXPECT_FALSE(FollowStartTime(folder, At(9, 0, 0), manager.Function(), &error));
  EXPECT_EQ(error, "systemctl --user daemon-reload failed (status 1)");

  // --schedule on the same folder, the timer enabled above.
  const std::string settings_path = tmp.path() + "/BK_CLIENT_CFG.ini";
  manager = FakeManager{};
  testing::CapturedStdout captured;
  EXPECT_EQ(RunScheduleCommand("on", settings_path, folder, manager.Function(), stdout), 2) << "no settings";
  EXPECT_EQ(RunScheduleCommand("sometimes", settings_path, folder, manager.Function(), stdout), 2);
  EXPECT_TRUE(manager.calls.empty());

  const SyncSettings settings{.start_time = At(21, 15, 0), .directories = {"/home/ann/docs"}, .user = {}};
  ASSERT_EQ(SaveSettings(settings_path, settings), 0u);
  EXPECT_EQ(RunScheduleCommand("on", settings_path, folder, manager.Function(), stdout), 0);
  EXPECT_EQ(manager.calls, (std::vector<std::string>{"daemon-reload", "enable --now tervaneclt-sync.timer",
                                                     "enable tervaneclt-notify.service"}));
  EXPECT_EQ(RunScheduleCommand("show", settings_path, folder, manager.Function(), stdout), 0);
  EXPECT_EQ(RunScheduleCommand("off", settings_path, folder, manager.Function(), stdout), 0);
  EXPECT_EQ(manager.calls.back(), "disable tervaneclt-notify.service");
  manager.status = 1;
  EXPECT_EQ(RunScheduleCommand("off", settings_path, folder, manager.Function(), stdout), 1);

  EXPECT_EQ(captured.Text(), "schedule on, daily at 21:15:00\nschedule on, daily at 21:15:00\nschedule off\n");
}

}  // namespace
}  // namespace tervane
