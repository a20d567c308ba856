// Getting files back, end to end: the program's --list, --restore and
// --verify against the real server, over a copy that --sync made of a tree
// holding Chinese names, names the server refuses (: ? * |), an empty
// directory, an empty file, files of one piece and one piece and a byte, a
// directory whose listing takes many chunks, and directories named like
// their parents (which the server's listing takes for the parent).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "client/app/command_line.h"
#include "client/app/copy_browser.h"
#include "client/app/settings.h"
#include "testing/child_process.h"
#include "testing/free_port.h"
#include "testing/temp_dir.h"
#include "testing/test_server.h"
#include "shared/platform/filetime.h"

namespace tervane {
namespace {

class CopyCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::ProgramExists("tervaneclt") || !testing::ProgramExists("tervanesvr")) {
      GTEST_SKIP() << "tervaneclt or tervanesvr not built";
    }
    ASSERT_TRUE(server_.Start()) << server_.Log();
    root_ = tmp_.path() + "/data";
    const std::vector<std::pair<std::string, std::string>> files = {
        {"报告 2024.txt", "季度报告"},
        {"a:b?c*d|e.txt", "refused characters"},
        {"zero.txt", ""},
        {"exact.bin", testing::PatternBytes(1048576, 1)},
        {"plus.bin", testing::PatternBytes(1048577, 2)},
        {"子目录/notes.txt", "notes"},
        {"data/data/data.txt", "named like its folders"},
    };
    for (size_t i = 0; i < files.size(); ++i) {
      const std::string path = root_ + "/" + files[i].first;
      testing::WriteFile(path, files[i].second);
      // Times of their own, to the 100 ns the protocol carries.
      const timespec times[2] = {{1715000000, 0}, {1715000000 + static_cast<time_t>(i) * 3600, 123456700}};
      ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }
    testing::MakeDirs(root_ + "/empty");
    for (int i = 0; i < 40; ++i) testing::WriteFile(root_ + "/子目录/第" + std::to_string(i) + "个文件.txt", "x");
    for (const auto& [rel, content] : testing::ReadTree(root_)) {
      if (rel.back() == '/') continue;
      ++files_;
      bytes_ += content.size();
      struct stat st {};
      ASSERT_EQ(::stat((root_ + "/" + rel).c_str(), &st), 0);
      newest_ = std::max(newest_, FileTimeFromTimespec(st.st_mtim));
    }
    SyncSettings settings;
    settings.server_address = 0x7F000001;
    settings.directories = {root_};
    ASSERT_EQ(SaveSettings(settings_path_, settings), 0u);
    std::string out;
    ASSERT_EQ(Run({"--sync"}, &out), 0) << out;
    const std::string opening = "向远程发送删除[";
    ASSERT_EQ(out.rfind(opening, 0), 0u) << out;
    day_ = out.substr(opening.size(), 3);
  }

  int Run(std::vector<std::string> args, std::string* out, uint16_t port = 0) {
    args.insert(args.begin(), testing::BinDir() + "/tervaneclt");
    args.insert(args.end(), {"--settings", settings_path_, "--port", std::to_string(port ? port : server_.port())});
    std::string err;
    const int code = testing::RunProgram(args, 60000, out, &err);
    *out += err;
    return code;
  }

  // The copy's file of local path `local`, on the server's disk.
  std::string OnShare(const std::string& local) {
    for (const auto& [path, content] : testing::ReadTree(server_.share())) {
      const std::string tail = "/" + day_ + "/";
      const size_t at = path.find(tail);
      if (at != std::string::npos && at == path.find('/') && path.size() == at + tail.size()) {
        return server_.share() + path.substr(0, at + tail.size() - 1) + local;
      }
    }
    return std::string();
  }

  testing::TestServer server_;
  testing::TempDir tmp_;
  std::string settings_path_ = tmp_.path() + "/BK_CLIENT_CFG.ini";
  std::string root_;
  std::string day_;
  size_t files_ = 0;  // in the tree
  size_t bytes_ = 0;
  uint64_t newest_ = 0;  // the newest file's time
  std::string Counts() const { return std::to_string(files_) + " 个文件 (" + std::to_string(bytes_) + " 字节), "; }
};

// To a new folder every file comes back byte for byte under its local name,
// with its modification time, and the empty directory with them. Over an
// existing file nothing is replaced unless asked (exit 1 names it); without
// --to a file goes back to its own path; nothing is left under a temporary
// name.
TEST_F(CopyCommandsTest, RestoreBringsTheTreeBack) {
  const std::string out_dir = tmp_.path() + "/restored";
  std::string out;
  ASSERT_EQ(Run({"--restore", day_, root_, "--to", out_dir}, &out), 0) << out;
  const std::string copy = out_dir + root_;
  EXPECT_EQ(testing::ReadTree(copy), testing::ReadTree(root_));
  EXPECT_NE(out.find("恢复完毕[" + day_ + "]\n已恢复 " + Counts()), std::string::npos) << out;
  for (const auto& [rel, content] : testing::ReadTree(root_)) {
    if (rel.back() == '/') continue;
    struct stat local {}, restored {};
    ASSERT_EQ(::stat((root_ + "/" + rel).c_str(), &local), 0);
    ASSERT_EQ(::stat((copy + "/" + rel).c_str(), &restored), 0);
    EXPECT_EQ(restored.st_mtim.tv_sec, local.st_mtim.tv_sec) << rel;
    EXPECT_EQ(restored.st_mtim.tv_nsec / 100, local.st_mtim.tv_nsec / 100) << rel;  // 100 ns on the wire
  }

  testing::WriteFile(copy + "/zero.txt", "mine");
  ASSERT_EQ(Run({"--restore", day_, root_, "--to", out_dir}, &out), 1) << out;
  EXPECT_NE(out.find("  " + root_ + "/zero.txt: 本地已有此文件，未覆盖\n"), std::string::npos) << out;
  EXPECT_EQ(testing::ReadFile(copy + "/zero.txt"), "mine");
  ASSERT_EQ(Run({"--restore", day_, root_ + "/zero.txt", "--to", out_dir, "--overwrite"}, &out), 0) << out;
  EXPECT_EQ(testing::ReadFile(copy + "/zero.txt"), "");

  ASSERT_EQ(::unlink((root_ + "/子目录/notes.txt").c_str()), 0);
  std::string lower_day = day_;  // a day is taken in any case
  for (char& c : lower_day) c = static_cast<char>(::tolower(static_cast<unsigned char>(c)));
  ASSERT_EQ(Run({"--restore", lower_day, root_ + "/子目录/notes.txt"}, &out), 0) << out;
  EXPECT_EQ(testing::ReadFile(root_ + "/子目录/notes.txt"), "notes");
  for (const auto& [rel, content] : testing::ReadTree(tmp_.path())) {
    EXPECT_EQ(rel.find(".tervane-restore-"), std::string::npos) << rel;
  }
  // A path the copy does not hold is a failure named with its path.
  EXPECT_EQ(Run({"--restore", day_, root_ + "/nothing.txt", "--to", out_dir}, &out), 1);
  EXPECT_NE(out.find("恢复失败\n  " + root_ + "/nothing.txt: "), std::string::npos) << out;
}

// --verify passes on the fresh copy, then names a file changed on the share,
// one deleted there, one added locally and one deleted locally. --list shows
// the copy's counts and the files below a path with size and time; every
// mode ends with 2 when no server answers.
TEST_F(CopyCommandsTest, VerifyAndList) {
  std::string out;
  EXPECT_EQ(Run({"--verify", day_}, &out), 0) << out;
  EXPECT_NE(out.find("校验完毕[" + day_ + "]: 副本与本地一致\n一致 " + std::to_string(files_) + " 个, "),
            std::string::npos)
      << out;

  ASSERT_EQ(Run({"--list"}, &out), 0) << out;
  EXPECT_NE(out.find(day_ + "  " + FormatFileTime(newest_) + "  " + std::to_string(files_) + " 个文件  " +
                     std::to_string(bytes_) + " 字节\n"),
            std::string::npos)
      << out;
  ASSERT_EQ(Run({"--list", day_, root_ + "/子目录"}, &out), 0) << out;
  EXPECT_NE(out.find("           5  "), std::string::npos) << out;
  EXPECT_NE(out.find("  " + root_ + "/子目录/notes.txt\n"), std::string::npos) << out;
  EXPECT_NE(out.find(": 共 41 个文件，45 字节，0 个目录\n"), std::string::npos) << out;
  ASSERT_EQ(Run({"--list", day_, root_ + "/missing"}, &out), 1) << out;

  const std::string changed = OnShare(root_ + "/a\xEF\x80\xA2" "b\xEF\x80\xA5" "c\xEF\x80\xA1" "d\xEF\x80\xA7" "e.txt");
  ASSERT_FALSE(changed.empty());
  testing::WriteFile(changed, "REFUSED characters");  // same size, other bytes
  ASSERT_EQ(::unlink(OnShare(root_ + "/plus.bin").c_str()), 0);
  testing::WriteFile(root_ + "/new.txt", "new");
  ASSERT_EQ(::unlink((root_ + "/zero.txt").c_str()), 0);
  EXPECT_EQ(Run({"--verify", day_}, &out), 1) << out;
  EXPECT_NE(out.find("内容不同: " + root_ + "/a:b?c*d|e.txt\n"), std::string::npos) << out;
  EXPECT_NE(out.find("服务器上没有: " + root_ + "/plus.bin\n"), std::string::npos) << out;
  EXPECT_NE(out.find("服务器上没有: " + root_ + "/new.txt\n"), std::string::npos) << out;
  EXPECT_NE(out.find("本地已不存在: " + root_ + "/zero.txt\n"), std::string::npos) << out;
  EXPECT_NE(out.find("一致 " + std::to_string(files_ - 3) + " 个, 服务器上没有 2 个, 不同 1 个, 本地已不存在 1 个, 失败 0 个"),
            std::string::npos)
      << out;

  const uint16_t nobody = testing::PickFreePort();
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--list"}, {"--restore", day_, root_}, {"--verify"}}) {
    EXPECT_EQ(Run(args, &out, nobody), 2) << args[0] << ": " << out;
  }
}

}  // namespace
}  // namespace tervane
