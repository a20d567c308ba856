#include "server/store/file_ops.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <string>

#include "server/store/file_registry.h"
#include "testing/captured_stdout.h"
#include "testing/temp_dir.h"
#include "shared/platform/win_error.h"

namespace tervane {
namespace {

class FileOpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.MakeDir("home");
    dir_.MakeDir("outside");
    dir_.WriteFile("outside/secret", "secret");
  }
  StorePath P(const std::string& rel) const { return dir_.Path("home", rel); }
  FileRegistry registry_;  // closes what a test leaves open
  uint32_t Hold(const std::string& rel, uint32_t access, uint32_t share) {
    uint32_t h = 0;
    Result r = registry_.Open(P(rel), access, share, OPEN_EXISTING, 0x80, &h);
    EXPECT_EQ(r, 0u);
    return h;
  }

  testing::TempDir dir_;
};

TEST_F(FileOpsTest, CreateDirectoryPathCreatesChainsAndReportsExisting) {
  EXPECT_EQ(CreateDirectoryPath(P("a")), 0u);
  EXPECT_EQ(CreateDirectoryPath(P("a")), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(CreateDirectoryPath(P("a/b/c")), 0u) << "two levels below an existing one";
  EXPECT_TRUE(dir_.Exists("home/a/b/c"));
  EXPECT_EQ(CreateDirectoryPath(P("a\\d\\")), 0u) << "a trailing separator";
  EXPECT_EQ(CreateDirectoryPath(P("")), ERROR_ALREADY_EXISTS);
  dir_.WriteFile("home/file", "x");
  EXPECT_EQ(CreateDirectoryPath(P("file")), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(CreateDirectoryPath(P("file/x/y")), ERROR_PATH_NOT_FOUND);
  // A home that went missing is made again.
  StorePath fresh = dir_.Path("newhome", "Mon/C");
  EXPECT_EQ(CreateDirectoryPath(fresh), 0u);
  EXPECT_TRUE(dir_.Exists("newhome/Mon/C"));
}

TEST_F(FileOpsTest, DeletesClearReadOnlyAndHonourSharing) {
  dir_.WriteFile("home/ro.txt", "r");
  ASSERT_EQ(SetFileAttributesAt(P("ro.txt"), FILE_ATTRIBUTE_READONLY), 0u);
  EXPECT_EQ(MyDeleteFile(registry_, P("ro.txt")), 0u);
  EXPECT_FALSE(dir_.Exists("home/ro.txt"));
  EXPECT_EQ(MyDeleteFile(registry_, P("ro.txt")), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(MyDeleteFile(registry_, P("no/ro.txt")), ERROR_PATH_NOT_FOUND);
  dir_.MakeDir("home/d/e");
  EXPECT_EQ(MyDeleteFile(registry_, P("d")), ERROR_ACCESS_DENIED);
  EXPECT_EQ(MyDeleteFile(registry_, P("")), ERROR_ACCESS_DENIED);
  EXPECT_EQ(MyRemoveDirectory(P("d")), ERROR_DIR_NOT_EMPTY);
  EXPECT_EQ(MyRemoveDirectory(P("d/e")), 0u);
  EXPECT_EQ(MyRemoveDirectory(P("d/e")), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(MyRemoveDirectory(P("")), ERROR_ACCESS_DENIED);
  dir_.WriteFile("home/f", "f");
  EXPECT_EQ(MyRemoveDirectory(P("f")), ERROR_DIRECTORY);

  uint32_t h = Hold("f", GENERIC_WRITE, FILE_SHARE_READ);
  EXPECT_EQ(MyDeleteFile(registry_, P("f")), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(MoveFileAt(registry_, P("f"), P("g")), ERROR_SHARING_VIOLATION);
  EXPECT_TRUE(dir_.Exists("home/f"));
  EXPECT_EQ(registry_.Close(h), 0u);
  dir_.WriteFile("home/s", "s");
  Hold("s", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
  EXPECT_EQ(MoveFileAt(registry_, P("s"), P("s2")), 0u);
  EXPECT_EQ(MyDeleteFile(registry_, P("s2")), 0u);
}

TEST_F(FileOpsTest, DeleteFileTakingSizeIsThePlainDelete) {
  dir_.WriteFile("home/a.bin", std::string(1234, 'a'));
  uint32_t size = 7;
  EXPECT_EQ(DeleteFileTakingSize(registry_, P("a.bin"), &size), 0u);
  EXPECT_EQ(size, 1234u);
  EXPECT_EQ(DeleteFileTakingSize(registry_, P("a.bin"), &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(size, 0u);
  dir_.WriteFile("home/ro.bin", "ro");
  ASSERT_EQ(SetFileAttributesAt(P("ro.bin"), FILE_ATTRIBUTE_READONLY), 0u);
  EXPECT_EQ(DeleteFileTakingSize(registry_, P("ro.bin"), &size), ERROR_ACCESS_DENIED) << "no read-only retry";
  EXPECT_TRUE(dir_.Exists("home/ro.bin"));
  dir_.WriteFile("home/up.bin", "uploading");
  Hold("up.bin", GENERIC_WRITE, 0);
  EXPECT_EQ(DeleteFileTakingSize(registry_, P("up.bin"), &size), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(size, 0u) << "a file that cannot be opened for reading counts as size 0";
}

TEST_F(FileOpsTest, TreeDeleteRemovesEverythingCountsFilesAndLogsEachStep) {
  dir_.MakeDir("home/Mon/C/sub");
  dir_.WriteFile("home/Mon/C/a.txt", "12345");
  dir_.WriteFile("home/Mon/C/sub/ro.txt", "123");
  ASSERT_EQ(SetFileAttributesAt(P("Mon/C/sub/ro.txt"), FILE_ATTRIBUTE_READONLY), 0u);
  ASSERT_EQ(SetFileAttributesAt(P("Mon/C/sub"), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY), 0u);
  ASSERT_EQ(::symlink(dir_.At("outside").c_str(), dir_.At("home/Mon/C/out").c_str()), 0);
  uint32_t bytes = 10;
  uint32_t files = 1;  // the counters are added to, never reset
  testing::CapturedStdout capture;
  Result r = ZOT_DeleteDirectoryTree(registry_, P("Mon"), &bytes, &files);
  capture.Restore();
  std::string log = capture.Text();
  EXPECT_EQ(r, 0u) << log;
  EXPECT_FALSE(dir_.Exists("home/Mon"));
  EXPECT_EQ(bytes, 10u + 5 + 3);
  EXPECT_EQ(files, 1u + 3) << "two files and the link; directories are not counted";
  EXPECT_EQ(dir_.ReadFile("outside/secret"), "secret") << "the link was removed, not followed";
  std::string home = dir_.At("home");
  EXPECT_NE(log.find("MyDeleteFile:[" + home + "/Mon/C/a.txt] Result: 0\n"), std::string::npos) << log;
  EXPECT_NE(log.find("MyDeleteFile:[" + home + "/Mon/C/out] Result: 0\n"), std::string::npos) << log;
  std::string sub_lines = "MyDeleteFile:[" + home + "/Mon/C/sub/ro.txt] Result: 0\n" +
                          "MyRemoveDirectory:[" + home + "/Mon/C/sub] Result: 0\n" +
                          "ZOT_DeleteDirectoryTree:[" + home + "/Mon/C/sub] Result: 0\n";
  EXPECT_NE(log.find(sub_lines), std::string::npos) << log;
  std::string tail = "MyRemoveDirectory:[" + home + "/Mon/C] Result: 0\n" +
                     "ZOT_DeleteDirectoryTree:[" + home + "/Mon/C] Result: 0\n" +
                     "MyRemoveDirectory:[" + home + "/Mon] Result: 0\n";
  ASSERT_GE(log.size(), tail.size());
  EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
}

TEST_F(FileOpsTest, TreeDeleteWorksBelowAnyPathLimit) {
  // 600 levels of 8-byte names: deeper than any composed path can name.
  constexpr int kLevels = 600;
  dir_.MakeDir("home/deep");
  int fd = ::open(dir_.At("home/deep").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < kLevels; ++i) {
    ASSERT_EQ(::mkdirat(fd, "dddddddd", 0700), 0);
    if (i == kLevels / 2) {
      ASSERT_EQ(::symlinkat(dir_.At("outside").c_str(), fd, "link"), 0);
    }
    int child = ::openat(fd, "dddddddd", O_RDONLY | O_DIRECTORY);
    ::close(fd);
    ASSERT_GE(child, 0);
    fd = child;
  }
  int file = ::openat(fd, "bottom.txt", O_WRONLY | O_CREAT, 0600);
  ASSERT_EQ(::write(file, "1234", 4), 4);
  ::close(file);
  ::close(fd);
  uint32_t bytes = 0;
  uint32_t files = 0;
  testing::CapturedStdout capture;
  Result r = ZOT_DeleteDirectoryTree(registry_, P("deep"), &bytes, &files);
  capture.Restore();
  std::string log = capture.Text();
  EXPECT_EQ(r, 0u) << log.substr(0, 2000);
  EXPECT_FALSE(dir_.Exists("home/deep"));
  EXPECT_EQ(bytes, 4u);
  EXPECT_EQ(files, 2u) << "the file and the link";
  EXPECT_EQ(dir_.ReadFile("outside/secret"), "secret");
  // A path too long for a line shows its last 200 bytes.
  std::string end;
  for (int i = 0; i < 21; ++i) end += "/dddddddd";
  EXPECT_NE(log.find("MyDeleteFile:[..." + end + "/bottom.txt] Result: 0\n"), std::string::npos);
}

TEST_F(FileOpsTest, TreeDeleteOfWhatIsNotThereOrNotInsideChangesNothing) {
  uint32_t bytes = 0;
  uint32_t files = 0;
  EXPECT_EQ(ZOT_DeleteDirectoryTree(registry_, P("Tue"), &bytes, &files), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ZOT_DeleteDirectoryTree(registry_, P("Tue/x"), &bytes, &files), ERROR_PATH_NOT_FOUND);
  dir_.WriteFile("home/keep.txt", "k");
  EXPECT_EQ(ZOT_DeleteDirectoryTree(registry_, P(""), &bytes, &files), ERROR_ACCESS_DENIED) << "never the home itself";
  ASSERT_EQ(::symlink(dir_.At("outside").c_str(), dir_.At("home/Wed").c_str()), 0);
  EXPECT_EQ(ZOT_DeleteDirectoryTree(registry_, P("Wed"), &bytes, &files), ERROR_ACCESS_DENIED);
  EXPECT_EQ(ZOT_DeleteDirectoryTree(registry_, P("Wed/secret"), &bytes, &files), ERROR_ACCESS_DENIED);
  EXPECT_EQ(dir_.ReadFile("outside/secret"), "secret");
  EXPECT_TRUE(dir_.Exists("home/keep.txt"));
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(files, 0u);
}

TEST_F(FileOpsTest, TreeDeleteAroundFilesHeldOpen) {
  // An upload in progress (share 0): the file is skipped, its siblings go,
  // and the directory's removal fails with 145.
  dir_.MakeDir("home/Thu/d");
  dir_.WriteFile("home/Thu/d/busy.bin", "busy");
  dir_.WriteFile("home/Thu/d/free.bin", "free");
  dir_.WriteFile("home/Thu/z.bin", "z");
  uint32_t h = Hold("Thu/d/busy.bin", GENERIC_WRITE, 0);
  uint32_t bytes = 0;
  uint32_t files = 0;
  testing::CapturedStdout capture;
  Result r = ZOT_DeleteDirectoryTree(registry_, P("Thu"), &bytes, &files);
  capture.Restore();
  std::string log = capture.Text();
  EXPECT_EQ(r, ERROR_DIR_NOT_EMPTY) << log;
  EXPECT_TRUE(dir_.Exists("home/Thu/d/busy.bin"));
  EXPECT_FALSE(dir_.Exists("home/Thu/d/free.bin"));
  EXPECT_NE(log.find("MyRemoveDirectory:[" + dir_.At("home") + "/Thu/d] Result: 145\n"), std::string::npos);
  EXPECT_NE(log.find("ZOT_DeleteDirectoryTree:[" + dir_.At("home") + "/Thu/d] Result: 145\n"), std::string::npos);
  EXPECT_EQ(log.find("busy.bin"), std::string::npos) << "a skipped file writes no line";
  EXPECT_EQ(files, dir_.Exists("home/Thu/z.bin") ? 1u : 2u) << "free.bin, and z.bin if it came first";
  EXPECT_EQ(registry_.Close(h), 0u);

  // A reader that does not share deletion stops the walk with 32.
  Hold("Thu/d/busy.bin", GENERIC_READ, FILE_SHARE_READ);
  testing::CapturedStdout capture2;
  r = ZOT_DeleteDirectoryTree(registry_, P("Thu"), &bytes, &files);
  capture2.Restore();
  log = capture2.Text();
  EXPECT_EQ(r, ERROR_SHARING_VIOLATION) << log;
  EXPECT_NE(log.find("busy.bin] Result: 32\n"), std::string::npos) << log;
  EXPECT_TRUE(dir_.Exists("home/Thu/d/busy.bin"));
}

TEST_F(FileOpsTest, AttributesMapToTypeModeAndKeptBits) {
  dir_.MakeDir("home/d");
  dir_.WriteFile("home/f", "f");
  uint32_t a = 0;
  ASSERT_EQ(GetFileAttributesAt(P("d"), &a), 0u);
  EXPECT_EQ(a, FILE_ATTRIBUTE_DIRECTORY);
  ASSERT_EQ(GetFileAttributesAt(P(""), &a), 0u);
  EXPECT_EQ(a, FILE_ATTRIBUTE_DIRECTORY);
  ASSERT_EQ(GetFileAttributesAt(P("f"), &a), 0u);
  EXPECT_EQ(a, FILE_ATTRIBUTE_ARCHIVE);
  ASSERT_EQ(SetFileAttributesAt(P("f"), FILE_ATTRIBUTE_READONLY), 0u);
  ASSERT_EQ(GetFileAttributesAt(P("f"), &a), 0u);
  EXPECT_EQ(a, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY);
  struct stat st;
  ASSERT_EQ(::stat(dir_.At("home/f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);
  ASSERT_EQ(SetFileAttributesAt(P("f"), 0x80), 0u);
  ASSERT_EQ(GetFileAttributesAt(P("f"), &a), 0u);
  EXPECT_EQ(a, FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(GetFileAttributesAt(P("none"), &a), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetFileAttributesAt(P("no/none"), &a), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(SetFileAttributesAt(P("none"), 0), ERROR_FILE_NOT_FOUND);

  // Hidden (0x02) and system (0x04) are kept where user xattrs exist.
  bool xattrs = ::setxattr(dir_.At("home/d").c_str(), "user.probe", "1", 1, 0) == 0;
  ASSERT_EQ(SetFileAttributesAt(P("f"), 0x02 | 0x04 | FILE_ATTRIBUTE_READONLY), 0u);
  ASSERT_EQ(GetFileAttributesAt(P("f"), &a), 0u);
  EXPECT_EQ(a, xattrs ? 0x27u : 0x21u);
  ASSERT_EQ(SetFileAttributesAt(P("d"), FILE_ATTRIBUTE_READONLY), 0u);
  ASSERT_EQ(GetFileAttributesAt(P("d"), &a), 0u);
  EXPECT_EQ(a, xattrs ? 0x11u : 0x10u) << "a directory's read-only bit does not touch its mode";
  ASSERT_EQ(::stat(dir_.At("home/d").c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IWUSR, 0u);
}

TEST_F(FileOpsTest, ALinkMetOnTheWayOrAtTheEndIsFiveAndNeverFollowed) {
  ASSERT_EQ(::symlink(dir_.At("outside").c_str(), dir_.At("home/out").c_str()), 0);
  ASSERT_EQ(::symlink(dir_.At("outside/secret").c_str(), dir_.At("home/s").c_str()), 0);
  uint32_t a = 0;
  EXPECT_EQ(GetFileAttributesAt(P("out/secret"), &a), ERROR_ACCESS_DENIED);
  EXPECT_EQ(GetFileAttributesAt(P("s"), &a), ERROR_ACCESS_DENIED);
  EXPECT_EQ(PathExists(P("out")), ERROR_ACCESS_DENIED);
  EXPECT_EQ(PathExists(P("out/secret")), ERROR_ACCESS_DENIED);
  EXPECT_EQ(CreateDirectoryPath(P("out")), ERROR_ACCESS_DENIED);
  EXPECT_EQ(MoveFileAt(registry_, P("s"), P("s2")), ERROR_ACCESS_DENIED);
  EXPECT_EQ(SetFileAttributesAt(P("s"), FILE_ATTRIBUTE_READONLY), ERROR_ACCESS_DENIED);
  EXPECT_EQ(CreateDirectoryPath(P("out/planted/x")), ERROR_ACCESS_DENIED);
  EXPECT_EQ(MyDeleteFile(registry_, P("out/secret")), ERROR_ACCESS_DENIED);
  EXPECT_EQ(MoveFileAt(registry_, P("out/secret"), P("mine")), ERROR_ACCESS_DENIED);
  dir_.WriteFile("home/m", "m");
  EXPECT_EQ(MoveFileAt(registry_, P("m"), P("out/m")), ERROR_ACCESS_DENIED);
  uint32_t h = 0;
  EXPECT_EQ(registry_.Open(P("s"), GENERIC_WRITE, 0, CREATE_ALWAYS, 0, &h), ERROR_ACCESS_DENIED);
  EXPECT_EQ(registry_.Open(P("out/n"), GENERIC_WRITE, 0, CREATE_NEW, 0, &h), ERROR_ACCESS_DENIED);
  EXPECT_EQ(registry_.Open(P("s"), GENERIC_WRITE, 0, CREATE_NEW, 0, &h), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(dir_.Exists("outside/planted"));
  EXPECT_FALSE(dir_.Exists("outside/m"));
  EXPECT_FALSE(dir_.Exists("outside/n"));
  EXPECT_EQ(dir_.ReadFile("outside/secret"), "secret");
  struct stat st;
  ASSERT_EQ(::stat(dir_.At("outside/secret").c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IWUSR, 0u);
  // Removing an entry follows nothing, so a planted link can be deleted; it
  // removes the link only.
  EXPECT_EQ(MyDeleteFile(registry_, P("s")), 0u);
  EXPECT_FALSE(dir_.Exists("home/s"));
  EXPECT_EQ(dir_.ReadFile("outside/secret"), "secret");
}

TEST_F(FileOpsTest, MoveFileNeverReplaces) {
  dir_.WriteFile("home/a", "a");
  dir_.WriteFile("home/b", "b");
  dir_.MakeDir("home/d/e");
  EXPECT_EQ(MoveFileAt(registry_, P("a"), P("b")), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(dir_.ReadFile("home/b"), "b");
  EXPECT_EQ(MoveFileAt(registry_, P("a"), P("d")), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(MoveFileAt(registry_, P("a"), P("d/e/a2")), 0u);
  EXPECT_EQ(dir_.ReadFile("home/d/e/a2"), "a");
  EXPECT_EQ(MoveFileAt(registry_, P("d"), P("d/e/d")), ERROR_ACCESS_DENIED) << "into itself";
  EXPECT_EQ(MoveFileAt(registry_, P("none"), P("x")), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(MoveFileAt(registry_, P("b"), P("no/x")), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(MoveFileAt(registry_, P(""), P("x")), ERROR_ACCESS_DENIED);
  EXPECT_EQ(MoveFileAt(registry_, P("d"), P("D")), 0u);
  bool is_dir = false;
  EXPECT_EQ(PathExists(P("D/e"), &is_dir), 0u);
  EXPECT_TRUE(is_dir);
}

}  // namespace
}  // namespace tervane
