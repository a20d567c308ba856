#include "client/app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/app/md5.h"
#include "client/app/last_run.h"
#include "client/app/settings.h"
#include "client/app/test_support.h"

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
  ASSERT_TRUE(Parse({"--help"}, &o));
  EXPECT_TRUE(o.help);
  ASSERT_TRUE(Parse({"--version"}, &o));
  EXPECT_TRUE(o.version);
}

TEST(CommandLineTest, RefusesBadArguments) {
  const std::vector<std::vector<std::string>> bad = {
      {"--frobnicate"}, {"sync"}, {"--port"}, {"--port", "0"}, {"--port", "65536"}, {"--port", "12x"},
      {"--port", "-5"}, {"--port="}, {"--settings"}, {"--reply-timeout-ms", "0"}, {"--reply-timeout-ms", "x"}, {"--sync", "--help"}, {"--sync", "--sync"}, {"--schedule"}, {"--sync", "--schedule", "on"}, {"-x"}};
  for (const auto& args : bad) {
    CommandLineOptions o;
    EXPECT_FALSE(Parse(args, &o)) << args[0];
    EXPECT_FALSE(o.error.empty()) << args[0];
  }
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
  void Configure(const std::vector<std::string>& dirs) {
    SyncSettings s;
    s.server_address = 0x7F000001;
    s.directories = dirs;
    ASSERT_EQ(SaveSettings(settings_path_, s), 0u);
  }
  int Run(uint16_t port, std::string* out, std::string* err) {
    return testing::RunProgram({testing::BinDir() + "/tervaneclt", "--sync", "--settings", settings_path_,
                                "--port", std::to_string(port)},
                               30000, out, err);
  }

  testing::TempDir tmp_;
  std::string settings_path_;
};

// Everything uploaded: exit 0, status lines on stdout as they happened, the
// copy equal to the local tree.
TEST_F(HeadlessTest, SyncSucceeds) {
  if (!testing::ProgramExists("tervanesvr")) GTEST_SKIP() << "tervanesvr not built";
  testing::ServerProcess server;
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
  testing::ServerProcess server;
  ASSERT_TRUE(server.Start()) << server.Log();
  const std::string root = tmp_.path() + "/data";
  testing::WriteFile(root + "/good.txt", "good");
  ASSERT_EQ(::symlink((tmp_.path() + "/nowhere").c_str(), (root + "/dangling").c_str()), 0);
  Configure({root});
  std::string out, err;
  ASSERT_EQ(Run(server.port(), &out, &err), 1) << out << err;
  EXPECT_NE(out.find("\n上传失败\n"), std::string::npos) << out;
  const std::string day = out.substr(std::string("向远程发送删除[").size(), 3);
  EXPECT_EQ(testing::ReadFileBytes(server.home("sync") + "/" + day + root + "/good.txt"), "good");
  // The run left its record: --status tells it and exits as the run did.
  EXPECT_EQ(testing::RunProgram({testing::BinDir() + "/tervaneclt", "--status", "--settings", settings_path_}, 10000,
                                &out, &err),
            1);
  EXPECT_NE(out.find(", account sync, result 1 (部分失败)\n"), std::string::npos) << out;
}

// An account "sync" with another password: 0x3502, nothing uploaded, exit 2.
// Nothing listening: the message on stderr, exit 2.
TEST_F(HeadlessTest, LoginAndConnectFailures) {
  const std::string root = tmp_.path() + "/data";
  testing::WriteFile(root + "/a.txt", "a");
  Configure({root});
  std::string out, err;
  if (testing::ProgramExists("tervanesvr")) {
    testing::ServerProcess server({{"sync", PasswordDigest("abcd")}});
    ASSERT_TRUE(server.Start()) << server.Log();
    EXPECT_EQ(Run(server.port(), &out, &err), 2) << out << err;
    EXPECT_TRUE(out.empty()) << out;
    EXPECT_TRUE(testing::ReadTree(server.home("sync")).empty());
  }
  const uint16_t port = testing::PickFreePort();
  EXPECT_EQ(Run(port, &out, &err), 2);
  EXPECT_NE(err.find("Ostrova: 连接文件服务器失败[127.0.0.1-Error:10061]\n"), std::string::npos) << err;
  EXPECT_NE(err.find("[Ostrova]--配置的文件服务器IP无法连接\n"), std::string::npos) << err;
  EXPECT_TRUE(out.empty()) << out;
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

}  // namespace
}  // namespace tervane
