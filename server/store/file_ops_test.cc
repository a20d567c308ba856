#include "server/store/file_ops.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "server/store/file_registry.h"
#include "shared/platform/win_error.h"
#include "testing/test_recorders.h"
#include "testing/temp_dir.h"

namespace tervane {
namespace {

class FileOpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.MakeDir("home");
    dir_.WriteFile("outside/secret", "secret");
  }
  StorePath P(const std::string& rel) const { return dir_.Path("home", rel); }
  uint32_t Hold(const std::string& rel, uint32_t access, uint32_t share) {
    uint32_t h = 0;
    EXPECT_EQ(registry_.Open(P(rel), access, share, OPEN_EXISTING, 0x80, &h), 0u);
    return h;
  }
  void Link(const std::string& target, const std::string& rel) {
    ASSERT_EQ(::symlink(dir_.At(target).c_str(), dir_.At(rel).c_str()), 0);
  }
  // The tree delete of `rel`, its log lines in *log.
  Result DeleteTree(const std::string& rel, std::string* log) {
    testing::CapturedStdout capture;
    Result r = ZOT_DeleteDirectoryTree(registry_, P(rel), &bytes_, &files_);
    capture.Restore();
    *log = capture.Text();
    return r;
  }
  bool Logged(const std::string& log, const std::string& what, const std::string& rel, int result) const {
    return log.find(what + ":[" + dir_.At("home/") + rel + "] Result: " + std::to_string(result) + "\n") !=
           std::string::npos;
  }

  testing::TempDir dir_;
  FileRegistry registry_;  // closes what a test leaves open
  uint32_t bytes_ = 0;
  uint32_t files_ = 0;
};

TEST_F(FileOpsTest, DirectoriesAreMadeAsChainsAndMovesNeverReplace) {
  dir_.WriteFile("home/file", "x");
  const struct { const char* rel; uint32_t result; } creates[] = {
      {"d", 0}, {"d", ERROR_ALREADY_EXISTS}, {"d/e/f", 0}, {"", ERROR_ALREADY_EXISTS},
      {"file", ERROR_ALREADY_EXISTS}, {"file/x/y", ERROR_PATH_NOT_FOUND}};
  for (const auto& c : creates) EXPECT_EQ(CreateDirectoryPath(P(c.rel)), c.result) << c.rel;
  EXPECT_EQ(CreateDirectoryPath(dir_.Path("newhome", "Mon/C")), 0u) << "a home that went missing is made again";
  EXPECT_TRUE(dir_.Exists("home/d/e/f") && dir_.Exists("newhome/Mon/C"));

  dir_.WriteFile("home/a", "a");
  const struct { const char* from; const char* to; uint32_t result; } moves[] = {
      {"a", "file", ERROR_ALREADY_EXISTS}, {"a", "d", ERROR_ALREADY_EXISTS}, {"a", "d/e/a2", 0},
      {"d", "d/e/d", ERROR_ACCESS_DENIED}, {"none", "x", ERROR_FILE_NOT_FOUND}, {"file", "no/x", ERROR_PATH_NOT_FOUND},
      {"", "x", ERROR_ACCESS_DENIED}, {"d", "D", 0}};
  for (const auto& c : moves) EXPECT_EQ(MoveFileAt(registry_, P(c.from), P(c.to)), c.result) << c.from << " " << c.to;
  EXPECT_TRUE(dir_.ReadFile("home/file") == "x" && dir_.ReadFile("home/D/e/a2") == "a");
  bool is_dir = false;
  EXPECT_TRUE(PathExists(P("D/e/f"), &is_dir) == 0u && is_dir);
}

TEST_F(FileOpsTest, DeletesAndMovesHonourTypesReadOnlyAndSharing) {
  dir_.WriteFile("home/ro.txt", "r");
  dir_.WriteFile("home/ro.bin", "ro");
  dir_.WriteFile("home/a.bin", std::string(1234, 'a'));
  dir_.WriteFile("home/f", "f");
  dir_.MakeDir("home/d/e");
  ASSERT_EQ(SetFileAttributesAt(P("ro.txt"), FILE_ATTRIBUTE_READONLY), 0u);
  ASSERT_EQ(SetFileAttributesAt(P("ro.bin"), FILE_ATTRIBUTE_READONLY), 0u);
  EXPECT_EQ(MyDeleteFile(registry_, P("ro.txt")), 0u) << "a read-only mode is no obstacle";
  const struct { const char* rel; uint32_t result; } deletes[] = {
      {"ro.txt", ERROR_FILE_NOT_FOUND}, {"no/ro.txt", ERROR_PATH_NOT_FOUND}, {"d", ERROR_ACCESS_DENIED},
      {"", ERROR_ACCESS_DENIED}};
  for (const auto& c : deletes) EXPECT_EQ(MyDeleteFile(registry_, P(c.rel)), c.result) << c.rel;
  const struct { const char* rel; uint32_t result; } removes[] = {
      {"d", ERROR_DIR_NOT_EMPTY}, {"d/e", 0}, {"d/e", ERROR_FILE_NOT_FOUND}, {"", ERROR_ACCESS_DENIED},
      {"f", ERROR_DIRECTORY}};
  for (const auto& c : removes) EXPECT_EQ(MyRemoveDirectory(P(c.rel)), c.result) << c.rel;

  // The request's delete takes the size first and has no read-only retry.
  uint32_t size = 7;
  EXPECT_TRUE(DeleteFileTakingSize(registry_, P("a.bin"), &size) == 0u && size == 1234u);
  EXPECT_TRUE(DeleteFileTakingSize(registry_, P("a.bin"), &size) == ERROR_FILE_NOT_FOUND && size == 0u);
  EXPECT_EQ(DeleteFileTakingSize(registry_, P("ro.bin"), &size), ERROR_ACCESS_DENIED);

  // An upload (share 0) keeps a file from every delete and move, and from
  // being sized; a reader that shares deletion does not.
  uint32_t h = Hold("f", GENERIC_WRITE, 0);
  const std::vector<Result> held = {MyDeleteFile(registry_, P("f")), MoveFileAt(registry_, P("f"), P("g")),
                                    DeleteFileTakingSize(registry_, P("f"), &size)};
  EXPECT_EQ(held, std::vector<Result>(3, ERROR_SHARING_VIOLATION));
  EXPECT_TRUE(size == 0 && dir_.Exists("home/f") && dir_.Exists("home/ro.bin"));
  EXPECT_EQ(registry_.Close(h), 0u);
  Hold("f", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
  EXPECT_EQ(MoveFileAt(registry_, P("f"), P("f2")), 0u);
  EXPECT_EQ(MyDeleteFile(registry_, P("f2")), 0u);
}

TEST_F(FileOpsTest, TreeDeleteRemovesWhatItCanAtAnyDepthCountsAndLogs) {
  dir_.WriteFile("home/Mon/C/a.txt", "12345");
  dir_.WriteFile("home/Mon/C/sub/ro.txt", "123");
  ASSERT_EQ(SetFileAttributesAt(P("Mon/C/sub/ro.txt"), FILE_ATTRIBUTE_READONLY), 0u);
  ASSERT_EQ(SetFileAttributesAt(P("Mon/C/sub"), FILE_ATTRIBUTE_READONLY), 0u);
  Link("outside", "home/Mon/C/out");
  // 601 levels of 8-byte names below Mon/deep: deeper than any composed path
  // (or PATH_MAX) can name, with a link half-way. Made as two halves, the
  // second moved into the first.
  std::string half;
  for (int i = 0; i < 300; ++i) half += "dddddddd/";
  dir_.WriteFile("half/" + half + "bottom.txt", "1234");
  dir_.MakeDir("home/Mon/deep/" + half);
  Link("outside", "home/Mon/deep/" + half + "link");
  ASSERT_EQ(::rename(dir_.At("half").c_str(), dir_.At("home/Mon/deep/" + half + "dddddddd").c_str()), 0);
  bytes_ = 10;
  files_ = 1;  // the counters are added to, never reset
  std::string log;
  EXPECT_EQ(DeleteTree("Mon", &log), 0u) << log.substr(0, 2000);
  EXPECT_TRUE(!dir_.Exists("home/Mon") && bytes_ == 10u + 5 + 3 + 4) << bytes_;
  EXPECT_EQ(files_, 1u + 5) << "three files and two links; directories are not counted";
  EXPECT_EQ(dir_.ReadFile("outside/secret"), "secret") << "the links were removed, not followed";
  EXPECT_TRUE(Logged(log, "MyDeleteFile", "Mon/C/a.txt", 0) && Logged(log, "MyDeleteFile", "Mon/C/out", 0));
  const std::string home = dir_.At("home");
  EXPECT_NE(log.find("MyDeleteFile:[" + home + "/Mon/C/sub/ro.txt] Result: 0\nMyRemoveDirectory:[" + home +
                     "/Mon/C/sub] Result: 0\nZOT_DeleteDirectoryTree:[" + home + "/Mon/C/sub] Result: 0\n"),
            std::string::npos)
      << log.substr(0, 2000);
  std::string end;  // a path too long for a line shows its last 200 bytes
  for (int i = 0; i < 21; ++i) end += "/dddddddd";
  EXPECT_NE(log.find("MyDeleteFile:[..." + end + "/bottom.txt] Result: 0\n"), std::string::npos);
  const std::string last = "MyRemoveDirectory:[" + home + "/Mon] Result: 0\n";
  EXPECT_EQ(log.substr(log.size() - std::min(log.size(), last.size())), last) << "the top has no tree line";

  dir_.WriteFile("home/Thu/d/busy.bin", "busy");
  dir_.WriteFile("home/Thu/d/free.bin", "free");
  dir_.WriteFile("home/Thu/z.bin", "z");
  bytes_ = files_ = 0;
  // An upload in progress (share 0): the file is skipped without a line, its
  // siblings go, and its directory's removal fails with 145.
  uint32_t h = Hold("Thu/d/busy.bin", GENERIC_WRITE, 0);
  EXPECT_EQ(DeleteTree("Thu", &log), ERROR_DIR_NOT_EMPTY) << log;
  EXPECT_TRUE(dir_.Exists("home/Thu/d/busy.bin") && !dir_.Exists("home/Thu/d/free.bin"));
  EXPECT_TRUE(Logged(log, "MyRemoveDirectory", "Thu/d", 145) && Logged(log, "ZOT_DeleteDirectoryTree", "Thu/d", 145));
  EXPECT_EQ(log.find("busy.bin"), std::string::npos);
  EXPECT_EQ(files_, dir_.Exists("home/Thu/z.bin") ? 1u : 2u) << "free.bin, and z.bin if it came first";
  EXPECT_EQ(registry_.Close(h), 0u);
  // A reader that does not share deletion stops the walk with 32.
  Hold("Thu/d/busy.bin", GENERIC_READ, FILE_SHARE_READ);
  EXPECT_EQ(DeleteTree("Thu", &log), ERROR_SHARING_VIOLATION) << log;
  EXPECT_TRUE(Logged(log, "MyDeleteFile", "Thu/d/busy.bin", 32)) << log;

  Link("outside", "home/Wed");
  bytes_ = files_ = 0;
  const struct { const char* rel; uint32_t result; } refused[] = {
      {"Tue", ERROR_FILE_NOT_FOUND}, {"Tue/x", ERROR_PATH_NOT_FOUND}, {"", ERROR_ACCESS_DENIED},
      {"Wed", ERROR_ACCESS_DENIED}, {"Wed/secret", ERROR_ACCESS_DENIED}};
  for (const auto& c : refused) EXPECT_EQ(DeleteTree(c.rel, &log), c.result) << c.rel;
  EXPECT_TRUE(dir_.ReadFile("outside/secret") == "secret" && dir_.Exists("home/Thu/d/busy.bin") && bytes_ + files_ == 0);
}

TEST_F(FileOpsTest, AttributesMapToTypeModeAndKeptBits) {
  dir_.MakeDir("home/d");
  dir_.WriteFile("home/f", "f");
  auto get = [this](const char* rel) {
    uint32_t a = 0;
    EXPECT_EQ(GetFileAttributesAt(P(rel), &a), 0u) << rel;
    return a;
  };
  auto mode = [this](const char* rel) {
    struct stat st {};
    EXPECT_EQ(::stat(dir_.At(rel).c_str(), &st), 0);
    return st.st_mode & 0777;
  };
  EXPECT_TRUE(get("d") == FILE_ATTRIBUTE_DIRECTORY && get("") == FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(get("f"), FILE_ATTRIBUTE_ARCHIVE);
  uint32_t a = 0;
  EXPECT_EQ((std::vector<Result>{GetFileAttributesAt(P("none"), &a), GetFileAttributesAt(P("no/none"), &a),
                                 SetFileAttributesAt(P("none"), 0)}),
            (std::vector<Result>{ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_FILE_NOT_FOUND}));
  ASSERT_EQ(SetFileAttributesAt(P("f"), FILE_ATTRIBUTE_READONLY), 0u);
  EXPECT_TRUE(get("f") == (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY) && (mode("home/f") & 0222) == 0);
  // Hidden (0x02) and system (0x04) are kept where user xattrs exist.
  const bool xattrs = ::setxattr(dir_.At("home/d").c_str(), "user.probe", "1", 1, 0) == 0;
  const struct { const char* rel; uint32_t set; uint32_t got; } sets[] = {
      {"f", 0x80, 0x20}, {"f", 0x02 | 0x04 | FILE_ATTRIBUTE_READONLY, xattrs ? 0x27u : 0x21u},
      {"d", FILE_ATTRIBUTE_READONLY, xattrs ? 0x11u : 0x10u}};
  for (const auto& c : sets) EXPECT_TRUE(SetFileAttributesAt(P(c.rel), c.set) == 0u && get(c.rel) == c.got) << c.set;
  EXPECT_EQ(mode("home/d") & S_IWUSR, S_IWUSR) << "a directory's read-only bit does not touch its mode";
}

TEST_F(FileOpsTest, ALinkMetOnTheWayOrAtTheEndIsFiveAndNeverFollowed) {
  Link("outside", "home/out");
  Link("outside/secret", "home/s");
  dir_.WriteFile("home/m", "m");
  const testing::Tree outside = testing::ReadTree(dir_.At("outside"), /*with_modes=*/true);
  uint32_t a = 0;
  uint32_t h = 0;
  const std::vector<Result> got = {
      GetFileAttributesAt(P("out/secret"), &a), GetFileAttributesAt(P("s"), &a), PathExists(P("out")),
      CreateDirectoryPath(P("out")), CreateDirectoryPath(P("out/planted/x")), MoveFileAt(registry_, P("s"), P("s2")),
      MoveFileAt(registry_, P("m"), P("out/m")), registry_.Open(P("s"), GENERIC_WRITE, 0, CREATE_ALWAYS, 0, &h),
      registry_.Open(P("s"), GENERIC_WRITE, 0, CREATE_NEW, 0, &h),
      registry_.Open(P("out/n"), GENERIC_WRITE, 0, CREATE_NEW, 0, &h)};
  EXPECT_EQ(got, std::vector<Result>(got.size(), ERROR_ACCESS_DENIED));
  EXPECT_EQ(testing::ReadTree(dir_.At("outside"), /*with_modes=*/true), outside);
  // Removing an entry follows nothing: a planted link can be deleted, and only the link goes.
  EXPECT_EQ(MyDeleteFile(registry_, P("s")), 0u);
  EXPECT_TRUE(!dir_.Exists("home/s") && dir_.ReadFile("outside/secret") == "secret");
}

}  // namespace
}  // namespace tervane
