#include "client/app/command_line.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "client/app/copy_browser.h"
#include "client/app/last_run.h"
#include "client/app/run_lock.h"
#include "client/app/settings.h"
#include "client/app/sync_engine.h"
#include "testing/child_process.h"
#include "testing/loopback.h"
#include "testing/temp_dir.h"
#include "testing/test_server.h"
#include "shared/platform/filetime.h"

namespace tervane {
namespace {

using ::testing::Each;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

std::vector<char*> Argv(std::vector<std::string>* args) {
  args->insert(args->begin(), "tervaneclt");
  std::vector<char*> argv;
  for (auto& a : *args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return argv;
}

bool Parse(std::vector<std::string> args, CommandLineOptions* options) {
  std::vector<char*> argv = Argv(&args);
  return ParseCommandLine(static_cast<int>(args.size()), argv.data(), options);
}

TEST(CommandLineTest, ParsesModesAndOptionsAndRefusesBadOnes) {
  CommandLineOptions o;
  ASSERT_TRUE(Parse({}, &o));
  EXPECT_FALSE(o.sync || o.help || o.version);
  EXPECT_EQ(o.settings_path, DefaultSettingsPath());
  EXPECT_EQ(o.port, 9527);
  ASSERT_TRUE(Parse({"--sync", "--settings", "/etc/x.ini", "--port", "10001"}, &o));
  EXPECT_TRUE(o.sync);
  EXPECT_EQ(o.settings_path, "/etc/x.ini");
  EXPECT_EQ(o.port, 10001);
  EXPECT_EQ(o.reply_timeout_ms, 0u);
  ASSERT_TRUE(Parse({"--sync", "--reply-timeout-ms=86400000"}, &o));
  EXPECT_EQ(o.reply_timeout_ms, 86400000u);
  ASSERT_TRUE(Parse({"--port=65535", "--settings=/a b.ini", "--sync"}, &o));
  EXPECT_EQ(o.port, 65535);
  EXPECT_EQ(o.settings_path, "/a b.ini");
  ASSERT_TRUE(Parse({"--settings", "/s.ini", "--screenshot", "/tmp/d.png"}, &o));
  EXPECT_FALSE(o.sync);
  EXPECT_EQ(o.screenshot_path, "/tmp/d.png");
  // The copy modes: DAY in any case, then paths; options anywhere; "--"
  // ends the options.
  ASSERT_TRUE(Parse({"--restore", "mon", "/a", "--to", "/t", "b", "--overwrite", "--", "--c"}, &o));
  EXPECT_TRUE(o.restore && o.overwrite);
  EXPECT_EQ(o.arguments, (std::vector<std::string>{"Mon", "/a", "b", "--c"}));
  EXPECT_EQ(o.restore_to, "/t");
  ASSERT_TRUE(Parse({"--list", "SAT", "/x"}, &o));
  EXPECT_EQ(o.arguments, (std::vector<std::string>{"Sat", "/x"}));
  ASSERT_TRUE(Parse({"--verify", "--port", "2", "Sun"}, &o));
  EXPECT_TRUE(o.verify);
  EXPECT_EQ(o.arguments, (std::vector<std::string>{"Sun"}));
  ASSERT_TRUE(Parse({"--restore-window", "--settings", "/s.ini"}, &o));
  EXPECT_TRUE(o.restore_window);

  const std::vector<std::vector<std::string>> bad = {
      {"--frobnicate"}, {"sync"}, {"--port"}, {"--port", "0"}, {"--port", "65536"}, {"--port", "12x"},
      {"--port", "-5"}, {"--port="}, {"--settings"}, {"--reply-timeout-ms", "0"}, {"--reply-timeout-ms", "86400001"}, {"--reply-timeout-ms", "x"},
      {"--retry-unit-ms", "0"},
      {"--retry-unit-ms", "3600001"}, {"--sync", "--help"}, {"--sync", "--sync"}, {"--schedule"}, {"--sync", "--schedule", "on"}, {"-x"},
      {"--restore"}, {"--restore", "Mon"}, {"--restore", "Monday", "/a"}, {"--list", "Mon", "/a", "/b"},
      {"--verify", "Mon", "Tue"}, {"--list", "--verify"}, {"--sync", "Mon"}, {"Mon"}, {"--to", "/t"},
      {"--list", "--overwrite"}, {"--restore", "Mon", "/a", "--to"}};
  for (const auto& args : bad) {
    o = CommandLineOptions{};
    EXPECT_FALSE(Parse(args, &o)) << args[0];
    EXPECT_FALSE(o.error.empty()) << args[0];
  }
}

TEST(CommandLineTest, AbsoluteLocalPath) {
  EXPECT_EQ(AbsoluteLocalPath("/a//b/./c/", "/x"), "/a/b/c");
  EXPECT_EQ(AbsoluteLocalPath("docs/../报告.txt", "/home/ann"), "/home/ann/报告.txt");
  EXPECT_EQ(AbsoluteLocalPath("../../..", "/home/ann"), "/");
  EXPECT_EQ(AbsoluteLocalPath(".", "/"), "/");
}

// --help and --version are handled and end with 0; an unknown argument ends
// with 2 and the usage on stderr; no arguments leave the dialog to run.
TEST(CommandLineTest, RunCommandLineModes) {
  auto run = [](std::vector<std::string> args, int* code, std::string* out, std::string* err) {
    std::vector<char*> argv = Argv(&args);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const bool handled = RunCommandLine(static_cast<int>(args.size()), argv.data(), code);
    *out = ::testing::internal::GetCapturedStdout();
    *err = ::testing::internal::GetCapturedStderr();
    return handled;
  };
  int code = -1;
  std::string out, err;
  ASSERT_TRUE(run({"--help"}, &code, &out, &err));
  EXPECT_EQ(code, 0);
  EXPECT_EQ(out, UsageText());
  ASSERT_TRUE(run({"--version"}, &code, &out, &err));
  EXPECT_EQ(code, 0);
  EXPECT_THAT(out, StartsWith("tervaneclt "));
  ASSERT_TRUE(run({"--bogus"}, &code, &out, &err));
  EXPECT_EQ(code, 2);
  EXPECT_THAT(err, HasSubstr("unknown argument: --bogus"));
  EXPECT_THAT(err, HasSubstr("Usage:"));
  code = -1;
  EXPECT_FALSE(run({"--settings", "/tmp/x.ini"}, &code, &out, &err));
  EXPECT_EQ(code, -1);
  EXPECT_TRUE(out.empty());
}

// ---- The program itself, headless, against the real server -------------
// Each test starts from a copy that --sync made of a tree holding Chinese
// names, names the server refuses (: ? * |), an empty directory, an empty
// file, files of one piece and one piece and a byte, a directory whose
// listing takes many chunks, and directories named like their parents
// (which the server's listing takes for the parent).
class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testing::ClientBinary().empty() || !testing::ProgramExists("tervanesvr")) {
      GTEST_SKIP() << "the client program or tervanesvr not built";
    }
    ASSERT_TRUE(server_.Start()) << server_.Log();
    std::vector<std::pair<std::string, std::string>> files = {
        {"报告 2024.txt", "季度报告"},
        {"a:b?c*d|e.txt", "refused characters"},
        {"zero.txt", ""},
        {"exact.bin", testing::PatternBytes(kUploadPiece, 1)},
        {"plus.bin", testing::PatternBytes(kUploadPiece + 1, 2)},
        {"子目录/notes.txt", "notes"},
        {"data/data/data.txt", "named like its folders"},
    };
    for (int i = 0; i < 40; ++i) files.emplace_back("子目录/第" + std::to_string(i) + "个文件.txt", "x");
    for (size_t i = 0; i < files.size(); ++i) {
      const std::string path = root_ + "/" + files[i].first;
      testing::WriteFile(path, files[i].second);
      // Times of their own, to the 100 ns the protocol carries.
      const timespec times[2] = {{1715000000, 0}, {1715000000 + static_cast<time_t>(i) * 3600, 123456700}};
      ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
      bytes_ += files[i].second.size();
      newest_ = FileTimeFromTimespec(times[1]);  // each newer than the one before
    }
    files_ = files.size();
    testing::MakeDirs(root_ + "/empty");
    ASSERT_TRUE(testing::WriteClientSettings(settings_path_, {root_}));
    ASSERT_EQ(Run({"--sync"}, &synced_), 0) << synced_;
    day_ = testing::OnlyWeekdayFolder(server_.share());
    ASSERT_FALSE(day_.empty());
  }
  // Runs the program on the fixture's settings; `out` gets stdout, then
  // stderr (or `err` gets stderr).
  int Run(std::vector<std::string> args, std::string* out, uint16_t port = 0, std::string* err = nullptr) {
    args.insert(args.begin(), testing::ClientBinary());
    args.insert(args.end(), {"--settings", settings_path_, "--port", std::to_string(port ? port : server_.port())});
    std::string err_text;  // stays empty when the caller takes stderr apart
    const int code = testing::RunProgram(args, 60000, out, err != nullptr ? err : &err_text);
    *out += err_text;
    return code;
  }
  // The copy's file of local path `local`, on the server's disk.
  std::string OnShare(const std::string& local) { return testing::ServerCopyPath(server_.share(), day_, local); }
  std::string Counts() const { return std::to_string(files_) + " 个文件 (" + std::to_string(bytes_) + " 字节), "; }

  testing::TestServer server_;
  testing::TempDir tmp_;
  const std::string settings_path_ = tmp_.path() + "/BK_CLIENT_CFG.ini";
  const std::string root_ = tmp_.path() + "/data";
  std::string synced_;  // what the first --sync printed
  std::string day_;
  size_t files_ = 0;  // in the tree
  size_t bytes_ = 0;
  uint64_t newest_ = 0;  // the newest file's time
};

// A good run prints its status lines as they happen and ends with 0. A
// second run the same day deletes the day's copy first, so a file removed
// locally disappears from it; other days stay.
//
// Runs that cannot start end with 2: nothing listening (tried again after
// 1, 2, 4, 8 and 15 units, 1 ms here, then the message); another process's
// run on the same settings holding the lock file; no directories, or no
// settings file (each recorded as a failed run, for --status and the alert).
TEST_F(ProgramTest, SyncRunsThatDoAndThatCannotStart) {
  EXPECT_THAT(synced_, HasSubstr("]\n已上传 " + Counts() + "5 个目录, 失败 0 个, 用时 "));
  ASSERT_EQ(::unlink((root_ + "/zero.txt").c_str()), 0);
  const std::string other_day = testing::ServerCopyPath(server_.share(), day_ == "Sun" ? "Mon" : "Sun", "/keep.txt");
  testing::WriteFile(other_day, "another day");
  ASSERT_TRUE(server_.WaitForRelease(0, 10000));  // the account is free again
  std::string out;
  ASSERT_EQ(Run({"--sync"}, &out), 0) << out;
  EXPECT_THAT(out, StartsWith("向远程发送删除[" + day_ + "]命令\n远程删除[" + day_ + "] 成功\n"));
  EXPECT_FALSE(testing::ReadTree(OnShare(root_)).count("zero.txt")) << "the day's copy was not replaced";
  EXPECT_EQ(testing::ReadFile(other_day), "another day");

  std::string err;
  EXPECT_EQ(Run({"--sync", "--retry-unit-ms", "1"}, &out, testing::PickFreePort(), &err), 2);
  EXPECT_THAT(err, HasSubstr("Ostrova: 连接文件服务器失败[127.0.0.1-Error:10061]\n"));
  EXPECT_THAT(err, HasSubstr("[Ostrova]--配置的文件服务器IP无法连接\n"));
  std::string retries;
  for (int wait : {1, 2, 4, 8, 15}) {
    retries += "连接文件服务器失败[127.0.0.1]: 服务器拒绝连接 (服务未运行?) (Error:10061)，" + std::to_string(wait) +
               " 分钟后重试\n";
  }
  EXPECT_EQ(out, retries);
  {
    RunLockFile held;
    ASSERT_EQ(held.TryLock(RunLockPathFor(settings_path_)), RunLockFile::State::kHeld);
    EXPECT_EQ(Run({"--sync"}, &out, 0, &err), 2) << out << err;
    EXPECT_EQ(out, kRunBusyText);
  }
  ASSERT_TRUE(testing::WriteClientSettings(settings_path_, {}));
  EXPECT_EQ(Run({"--sync"}, &out, 0, &err), 2);
  EXPECT_THAT(err, HasSubstr("请选择待备份的目录"));
  EXPECT_TRUE(out.empty());
  LastRun record;
  ASSERT_TRUE(ReadLastRun(LastRunPath(settings_path_), &record));
  EXPECT_EQ(record.result, 2);
  EXPECT_EQ(record.summary, "请选择待备份的目录");
  ASSERT_EQ(::unlink(settings_path_.c_str()), 0);
  EXPECT_EQ(Run({"--sync"}, &out, 0, &err), 2);
  EXPECT_THAT(err, HasSubstr("请先进行环境配置"));
}

// The copy modes on one fresh copy. --restore: to a new folder every file
// comes back byte for byte under its local name, with its modification time,
// and the empty directory with them. Over an existing file nothing is
// replaced unless asked (exit 1 names it); without --to a file goes back to
// its own path; nothing is left under a temporary name.
//
// --verify passes on the copy, then names a file changed on the share, one
// deleted there, one added locally and one deleted locally. --list shows the
// copy's counts and the files below a path with size and time; every mode
// ends with 2 when no server answers.
TEST_F(ProgramTest, RestoreVerifyAndList) {
  const std::string out_dir = tmp_.path() + "/restored";
  std::string out;
  ASSERT_EQ(Run({"--restore", day_, root_, "--to", out_dir}, &out), 0) << out;
  const std::string copy = out_dir + root_;
  EXPECT_EQ(testing::ReadTree(copy), testing::ReadTree(root_));
  EXPECT_THAT(out, HasSubstr("恢复完毕[" + day_ + "]\n已恢复 " + Counts()));
  for (const std::string& rel : testing::ListFiles(root_)) {  // every time a whole number of 100 ns
    EXPECT_EQ(std::filesystem::last_write_time(copy + "/" + rel), std::filesystem::last_write_time(root_ + "/" + rel))
        << rel;
  }

  testing::WriteFile(copy + "/zero.txt", "mine");
  ASSERT_EQ(Run({"--restore", day_, root_, "--to", out_dir}, &out), 1) << out;
  EXPECT_THAT(out, HasSubstr("  " + root_ + "/zero.txt: 本地已有此文件，未覆盖\n"));
  EXPECT_EQ(testing::ReadFile(copy + "/zero.txt"), "mine");
  ASSERT_EQ(Run({"--restore", day_, root_ + "/zero.txt", "--to", out_dir, "--overwrite"}, &out), 0) << out;
  EXPECT_EQ(testing::ReadFile(copy + "/zero.txt"), "");

  ASSERT_EQ(::unlink((root_ + "/子目录/notes.txt").c_str()), 0);
  ASSERT_EQ(Run({"--restore", day_, root_ + "/子目录/notes.txt"}, &out), 0) << out;
  EXPECT_EQ(testing::ReadFile(root_ + "/子目录/notes.txt"), "notes");
  EXPECT_THAT(testing::ListFiles(tmp_.path()), Each(Not(HasSubstr(".tervane-restore-"))));
  // A path the copy does not hold is a failure named with its path.
  EXPECT_EQ(Run({"--restore", day_, root_ + "/nothing.txt", "--to", out_dir}, &out), 1);
  EXPECT_THAT(out, HasSubstr("恢复失败\n  " + root_ + "/nothing.txt: "));

  EXPECT_EQ(Run({"--verify", day_}, &out), 0) << out;
  EXPECT_THAT(out, HasSubstr("校验完毕[" + day_ + "]: 副本与本地一致\n一致 " + std::to_string(files_) + " 个, "));

  ASSERT_EQ(Run({"--list"}, &out), 0) << out;
  EXPECT_THAT(out, HasSubstr(day_ + "  " + FormatFileTime(newest_) + "  " + std::to_string(files_) + " 个文件  " +
                             std::to_string(bytes_) + " 字节\n"));
  ASSERT_EQ(Run({"--list", day_, root_ + "/子目录"}, &out), 0) << out;
  EXPECT_THAT(out, HasSubstr("           5  "));
  EXPECT_THAT(out, HasSubstr("  " + root_ + "/子目录/notes.txt\n"));
  EXPECT_THAT(out, HasSubstr(": 共 41 个文件，45 字节，0 个目录\n"));
  ASSERT_EQ(Run({"--list", day_, root_ + "/missing"}, &out), 1) << out;

  const std::string changed = OnShare(root_ + "/a\xEF\x80\xA2" "b\xEF\x80\xA5" "c\xEF\x80\xA1" "d\xEF\x80\xA7" "e.txt");
  ASSERT_EQ(testing::ReadFile(changed), "refused characters");
  testing::WriteFile(changed, "REFUSED characters");  // same size, other bytes
  ASSERT_EQ(::unlink(OnShare(root_ + "/plus.bin").c_str()), 0);
  testing::WriteFile(root_ + "/new.txt", "new");
  ASSERT_EQ(::unlink((root_ + "/zero.txt").c_str()), 0);
  EXPECT_EQ(Run({"--verify", day_}, &out), 1) << out;
  EXPECT_THAT(out, HasSubstr("内容不同: " + root_ + "/a:b?c*d|e.txt\n"));
  EXPECT_THAT(out, HasSubstr("服务器上没有: " + root_ + "/plus.bin\n"));
  EXPECT_THAT(out, HasSubstr("服务器上没有: " + root_ + "/new.txt\n"));
  EXPECT_THAT(out, HasSubstr("本地已不存在: " + root_ + "/zero.txt\n"));
  EXPECT_THAT(out, HasSubstr("一致 " + std::to_string(files_ - 3) +
                             " 个, 服务器上没有 2 个, 不同 1 个, 本地已不存在 1 个, 失败 0 个"));

  const uint16_t nobody = testing::PickFreePort();
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--list"}, {"--restore", day_, root_}, {"--verify"}}) {
    EXPECT_EQ(Run(args, &out, nobody), 2) << args[0] << ": " << out;
  }
}

}  // namespace
}  // namespace tervane
