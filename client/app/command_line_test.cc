#include "client/app/command_line.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "client/app/client_session.h"
#include "client/app/last_run.h"
#include "client/app/md5.h"
#include "client/app/name_mapping.h"
#include "client/app/run_lock.h"
#include "client/app/settings.h"
#include "client/app/sync_engine.h"
#include "testing/child_process.h"
#include "testing/free_port.h"
#include "testing/temp_dir.h"
#include "testing/test_server.h"

namespace tervane {
namespace {

bool Parse(std::vector<std::string> args, CommandLineOptions* options) {
  args.insert(args.begin(), "tervaneclt");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return ParseCommandLine(static_cast<int>(args.size()), argv.data(), options);
}

TEST(CommandLineTest, ParsesModesAndOptions) {
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
  ASSERT_TRUE(Parse({"--sync", "--reply-timeout-ms", "250"}, &o));
  EXPECT_EQ(o.reply_timeout_ms, 250u);
  ASSERT_TRUE(Parse({"--port=65535", "--settings=/a b.ini", "--sync"}, &o));
  EXPECT_EQ(o.port, 65535);
  EXPECT_EQ(o.settings_path, "/a b.ini");
  ASSERT_TRUE(Parse({"--settings", "/s.ini", "--screenshot", "/tmp/d.png"}, &o));
  EXPECT_FALSE(o.sync);
  EXPECT_EQ(o.screenshot_path, "/tmp/d.png");
  // The copy modes: DAY in any case, then paths; options anywhere; "--"
  // ends the options.
  ASSERT_TRUE(Parse({"--restore", "mon", "/a", "--to", "/t", "b", "--overwrite", "--", "--c"}, &o));
  EXPECT_TRUE(o.restore);
  EXPECT_EQ(o.arguments, (std::vector<std::string>{"Mon", "/a", "b", "--c"}));
  EXPECT_EQ(o.restore_to, "/t");
  EXPECT_TRUE(o.overwrite);
  ASSERT_TRUE(Parse({"--list"}, &o));
  EXPECT_TRUE(o.list && o.arguments.empty());
  ASSERT_TRUE(Parse({"--list", "SAT", "/x"}, &o));
  EXPECT_EQ(o.arguments, (std::vector<std::string>{"Sat", "/x"}));
  ASSERT_TRUE(Parse({"--verify", "--port", "2", "Sun"}, &o));
  EXPECT_TRUE(o.verify);
  EXPECT_EQ(o.arguments, (std::vector<std::string>{"Sun"}));
  ASSERT_TRUE(Parse({"--restore-window", "--settings", "/s.ini"}, &o));
  EXPECT_TRUE(o.restore_window);
  ASSERT_TRUE(Parse({"--help"}, &o));
  EXPECT_TRUE(o.help);
  ASSERT_TRUE(Parse({"--version"}, &o));
  EXPECT_TRUE(o.version);
}

TEST(CommandLineTest, RefusesBadArguments) {
  const std::vector<std::vector<std::string>> bad = {
      {"--frobnicate"}, {"sync"}, {"--port"}, {"--port", "0"}, {"--port", "65536"}, {"--port", "12x"},
      {"--port", "-5"}, {"--port="}, {"--settings"}, {"--reply-timeout-ms", "0"}, {"--reply-timeout-ms", "x"}, {"--retry-unit-ms", "0"},
      {"--retry-unit-ms", "3600001"}, {"--sync", "--help"}, {"--sync", "--sync"}, {"--schedule"}, {"--sync", "--schedule", "on"}, {"-x"},
      {"--restore"}, {"--restore", "Mon"}, {"--restore", "Monday", "/a"}, {"--list", "Mon", "/a", "/b"},
      {"--verify", "Mon", "Tue"}, {"--list", "--verify"}, {"--sync", "Mon"}, {"Mon"}, {"--to", "/t"},
      {"--list", "--overwrite"}, {"--restore", "Mon", "/a", "--to"}};
  for (const auto& args : bad) {
    CommandLineOptions o;
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
    args.insert(args.begin(), "tervaneclt");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
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
  EXPECT_EQ(out.rfind("tervaneclt ", 0), 0u);
  ASSERT_TRUE(run({"--bogus"}, &code, &out, &err));
  EXPECT_EQ(code, 2);
  EXPECT_NE(err.find("unknown argument: --bogus"), std::string::npos);
  EXPECT_NE(err.find("Usage:"), std::string::npos);
  code = -1;
  EXPECT_FALSE(run({"--settings", "/tmp/x.ini"}, &code, &out, &err));
  EXPECT_EQ(code, -1);
  EXPECT_TRUE(out.empty());
}

// ---- The program itself, headless, against the real server -------------

class HeadlessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::ProgramExists("tervaneclt")) GTEST_SKIP() << "tervaneclt not built";
    settings_path_ = tmp_.path() + "/BK_CLIENT_CFG.ini";
  }
  void Configure(const std::vector<std::string>& dirs, const std::string& user = kSyncUserName) {
    SyncSettings s;
    s.server_address = 0x7F000001;
    s.directories = dirs;
    s.user = user;
    ASSERT_EQ(SaveSettings(settings_path_, s), 0u);
  }
  // `prefix`: a command that runs the client (e.g. in a namespace of its own).
  int Run(uint16_t port, std::string* out, std::string* err, std::vector<std::string> prefix = {}) {
    for (const std::string& arg : {testing::BinDir() + "/tervaneclt", std::string("--sync"), std::string("--settings"),
                                   settings_path_, std::string("--port"), std::to_string(port),
                                   std::string("--retry-unit-ms"), std::string("1")}) {
      prefix.push_back(arg);
    }
    return testing::RunProgram(prefix, 30000, out, err);
  }

  testing::TempDir tmp_;
  std::string settings_path_;
};

// Everything uploaded: exit 0, status lines on stdout as they happened, the
// copy equal to the local tree.
TEST_F(HeadlessTest, SyncSucceeds) {
  if (!testing::ProgramExists("tervanesvr")) GTEST_SKIP() << "tervanesvr not built";
  testing::TestServer server;
  ASSERT_TRUE(server.Start()) << server.Log();
  const std::string root = tmp_.path() + "/data";
  testing::WriteFile(root + "/a.txt", "a");
  testing::WriteFile(root + "/文件夹/b.bin", testing::PatternBytes(3 * 1048576 + 5, 9));
  testing::MakeDirs(root + "/empty");
  Configure({root});
  std::string out, err;
  ASSERT_EQ(Run(server.port(), &out, &err), 0) << out << err << server.Log();
  // The weekday folder is the one the status lines name.
  const size_t open = out.find("向远程发送删除[");
  ASSERT_EQ(open, 0u) << out;
  const std::string day = out.substr(open + std::string("向远程发送删除[").size(), 3);
  EXPECT_EQ(testing::ReadTree(server.home("sync") + "/" + day + root), testing::ReadTree(root));
  EXPECT_NE(out.find("向远程发送创建文件夹[" + day + "]命令\n开始一个目录备份...\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\n目录备份完毕["), std::string::npos) << out;
  EXPECT_EQ(out.back(), '\n');
  EXPECT_EQ(out.find("上传失败"), std::string::npos);
  EXPECT_TRUE(err.empty()) << err;
}

// A file that cannot be opened: "上传失败", the rest uploads, exit 1.
TEST_F(HeadlessTest, SomeUploadsFail) {
  if (!testing::ProgramExists("tervanesvr")) GTEST_SKIP() << "tervanesvr not built";
  testing::TestServer server;
  ASSERT_TRUE(server.Start()) << server.Log();
  const std::string root = tmp_.path() + "/data";
  testing::WriteFile(root + "/good.txt", "good");
  ASSERT_EQ(::symlink((tmp_.path() + "/nowhere").c_str(), (root + "/dangling").c_str()), 0);
  Configure({root});
  std::string out, err;
  ASSERT_EQ(Run(server.port(), &out, &err), 1) << out << err;
  EXPECT_NE(out.find("\n上传失败\n"), std::string::npos) << out;
  const std::string day = out.substr(std::string("向远程发送删除[").size(), 3);
  EXPECT_EQ(testing::ReadFile(server.home("sync") + "/" + day + root + "/good.txt"), "good");
  // The run left its record: --status tells it and exits as the run did.
  EXPECT_EQ(testing::RunProgram({testing::BinDir() + "/tervaneclt", "--status", "--settings", settings_path_}, 10000,
                                &out, &err),
            1);
  EXPECT_NE(out.find(", account sync, result 1 (部分失败)\n已上传 1 个文件"), std::string::npos) << out;
  EXPECT_NE(out.find("\n  " + root + "/dangling: "), std::string::npos) << out;
}

// An account "sync" with another password: 0x3502, nothing uploaded, exit 2.
// Nothing listening: the message on stderr, exit 2.
TEST_F(HeadlessTest, LoginAndConnectFailures) {
  const std::string root = tmp_.path() + "/data";
  testing::WriteFile(root + "/a.txt", "a");
  Configure({root});
  std::string out, err;
  if (testing::ProgramExists("tervanesvr")) {
    testing::TestServer server({{"sync", PasswordDigest("abcd")}});
    ASSERT_TRUE(server.Start()) << server.Log();
    EXPECT_EQ(Run(server.port(), &out, &err), 2) << out << err;
    EXPECT_EQ(out, "登录失败[sync]: 密码错误 (0x3502)\n");
    EXPECT_TRUE(testing::ReadTree(server.home("sync")).empty());
    // The account in use on another connection (a desk that crashed, until
    // the server's idle sweep frees it).
    ClientSession holder;
    ASSERT_EQ(holder.Connect("127.0.0.1", server.port()), 0u);
    ASSERT_EQ(holder.Register("ann", kSyncPassword), 0u);
    ASSERT_EQ(holder.Login("ann", kSyncPassword), 0u);
    Configure({root}, "ann");
    EXPECT_EQ(Run(server.port(), &out, &err), 2) << out << err;
    EXPECT_EQ(out, "登录失败[ann]: 账户正在使用 (0x3503)\n");
  }
  // Nothing listening: tried again after 1, 2, 4, 8 and 15 units (1 ms here),
  // then the message.
  const uint16_t port = testing::PickFreePort();
  EXPECT_EQ(Run(port, &out, &err), 2);
  EXPECT_NE(err.find("Ostrova: 连接文件服务器失败[127.0.0.1-Error:10061]\n"), std::string::npos) << err;
  EXPECT_NE(err.find("[Ostrova]--配置的文件服务器IP无法连接\n"), std::string::npos) << err;
  std::string retries;
  for (int wait : {1, 2, 4, 8, 15}) {
    retries += "连接文件服务器失败[127.0.0.1]: 服务器拒绝连接 (服务未运行?) (Error:10061)，" + std::to_string(wait) +
               " 分钟后重试\n";
  }
  EXPECT_EQ(out, retries);
}

// Nothing to run: no settings file, or no directories in it: exit 2.
TEST_F(HeadlessTest, NothingConfigured) {
  std::string out, err;
  EXPECT_EQ(Run(testing::PickFreePort(), &out, &err), 2);
  EXPECT_NE(err.find("请先进行环境配置"), std::string::npos) << err;
  Configure({});
  EXPECT_EQ(Run(testing::PickFreePort(), &out, &err), 2);
  EXPECT_NE(err.find("请选择待备份的目录"), std::string::npos) << err;
  LastRun record;  // recorded as a failed run, for --status and the alert
  ASSERT_TRUE(ReadLastRun(LastRunPath(settings_path_), &record));
  EXPECT_EQ(record.result, 2);
  EXPECT_EQ(record.summary, "请选择待备份的目录");
  EXPECT_TRUE(out.empty());
}

// Two workstations of different host names back up into homes of their
// own, so neither run deletes the other's weekday folder; a USER value wins
// over the host name. Each run gets its host name from a UTS namespace.
TEST_F(HeadlessTest, OneAccountPerWorkstation) {
  if (!testing::ProgramExists("tervanesvr")) GTEST_SKIP() << "tervanesvr not built";
  std::string out, err;
  if (::geteuid() != 0 || testing::RunProgram({"/usr/bin/unshare", "--uts", "/bin/true"}, 10000, &out, &err) != 0) {
    GTEST_SKIP() << "no UTS namespace here: " << err;
  }
  testing::TestServer server;
  ASSERT_TRUE(server.Start()) << server.Log();
  const std::string root = tmp_.path() + "/data";
  testing::WriteFile(root + "/a.txt", "a");
  auto as_host = [](const std::string& host) {
    return std::vector<std::string>{"/usr/bin/unshare", "--uts", "/bin/sh", "-c",
                                    "printf %s \"$1\" > /proc/sys/kernel/hostname && shift && exec \"$@\"", "sh",
                                    host};
  };
  Configure({root}, "");
  ASSERT_EQ(Run(server.port(), &out, &err, as_host("desk-a")), 0) << out << err;
  const std::string day = out.substr(std::string("向远程发送删除[").size(), 3);
  ASSERT_EQ(Run(server.port(), &out, &err, as_host("desk:b")), 0) << out << err;
  Configure({root}, "ann");
  ASSERT_EQ(Run(server.port(), &out, &err, as_host("desk-a")), 0) << out << err;
  for (const char* home : {"desk-a", "desk_b", "ann"}) {
    EXPECT_EQ(testing::ReadFile(server.home(home) + "/" + day + root + "/a.txt"), "a") << home;
  }
}

// What a run names and what arrives: names with each character the server
// refuses travel under their private-use stand-ins; a name that is not
// UTF-8, one too long for a request and a dangling link each fail with
// their path and reason, and leave nothing behind; the copy carries the
// local modification time; a missing configured directory is named; the
// summary counts it all. A later run whose only directory is missing
// deletes nothing.
TEST_F(HeadlessTest, FailuresNamedNamesMappedTimesKept) {
  if (!testing::ProgramExists("tervanesvr")) GTEST_SKIP() << "tervanesvr not built";
  testing::TestServer server;
  ASSERT_TRUE(server.Start()) << server.Log();
  const std::string root = tmp_.path() + "/data";
  const std::string odd = "a\\b:c*d?e\"f<g>h|i\x01j.txt";
  testing::WriteFile(root + "/a.txt", "plain");
  testing::WriteFile(root + "/" + odd, "odd");
  testing::WriteFile(root + "/Dir: 2024/in.txt", "inside");
  testing::WriteFile(root + "/bad\xff.txt", "x");
  const std::string long_name = std::string(240, 'n');
  testing::WriteFile(root + "/" + long_name, "x");
  ASSERT_EQ(::symlink((tmp_.path() + "/nowhere").c_str(), (root + "/dangling").c_str()), 0);
  const timespec times[2] = {{0, UTIME_OMIT}, {981173106, 700000000}};  // 2001-02-03 04:05:06.7 UTC
  ASSERT_EQ(::utimensat(AT_FDCWD, (root + "/a.txt").c_str(), times, 0), 0);
  const std::string missing = tmp_.path() + "/unmounted";
  Configure({missing, root});

  std::string out, err;
  ASSERT_EQ(Run(server.port(), &out, &err), 1) << out << err;
  EXPECT_EQ(out.rfind("待备份的目录无法打开: " + missing + ": 找不到文件或目录 (Error:2)\n", 0), 0u) << out;
  for (const std::string& failure :
       {root + "/bad\xff.txt: 文件名无效 (不是 UTF-8 或含不允许的字符) (Error:123)",
        root + "/" + long_name + ": 文件名或路径太长 (Error:206)", root + "/dangling: 找不到文件或目录 (Error:2)"}) {
    EXPECT_NE(out.find("\n上传失败\n  " + failure + "\n"), std::string::npos) << failure << "\n" << out;
  }
  EXPECT_NE(out.find("]\n已上传 3 个文件 (14 字节), 2 个目录, 失败 4 个, 用时 "), std::string::npos) << out;
  const std::string day = out.substr(out.find("向远程发送删除[") + std::string("向远程发送删除[").size(), 3);
  const std::string copy = server.home("sync") + "/" + day + root;
  const testing::Tree expected = {{"a.txt", "plain"},
                                  {MapNameToRemote(odd), "odd"},
                                  {MapNameToRemote("Dir: 2024") + "/", ""},
                                  {MapNameToRemote("Dir: 2024") + "/in.txt", "inside"}};
  EXPECT_EQ(testing::ReadTree(copy), expected);
  struct stat st {};
  ASSERT_EQ(::stat((copy + "/a.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, times[1].tv_sec);
  EXPECT_EQ(st.st_mtim.tv_nsec, times[1].tv_nsec);

  Configure({missing});
  ASSERT_EQ(Run(server.port(), &out, &err), 1) << out << err;
  EXPECT_EQ(out, "待备份的目录无法打开: " + missing + ": 找不到文件或目录 (Error:2)\n没有可以打开的待备份目录，远程[" + day +
                     "]未删除\n");
  EXPECT_EQ(testing::ReadTree(copy), expected);
}

// A run of another process on the same settings (the dialog's, say) holds
// the lock file: a headless run meanwhile is dropped with its line.
TEST_F(HeadlessTest, RunInProgressElsewhereIsDropped) {
  Configure({tmp_.path()});
  RunLockFile held;
  ASSERT_EQ(held.TryLock(RunLockPathFor(settings_path_)), RunLockFile::State::kHeld);
  std::string out, err;
  EXPECT_EQ(Run(testing::PickFreePort(), &out, &err), 2) << out << err;
  EXPECT_EQ(out, kRunBusyText);
}

}  // namespace
}  // namespace tervane
