#include "server/store/beneath.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "testing/temp_dir.h"
#include "shared/platform/win_error.h"

namespace tervane {
namespace {

// Every case runs with openat2 (where the kernel has it) and with the walk.
class BeneathTest : public ::testing::TestWithParam<BeneathMode> {
 protected:
  void SetUp() override {
    SetBeneathModeForTesting(GetParam());
    dir_.MakeDir("home/a/b");
    dir_.MakeDir("outside");
    dir_.WriteFile("home/a/b/f.txt", "data");
    dir_.WriteFile("outside/secret", "secret");
    ASSERT_EQ(::symlink(dir_.At("outside").c_str(), dir_.At("home/a/out").c_str()), 0);
    ASSERT_EQ(::symlink("../../outside/secret", dir_.At("home/a/rel").c_str()), 0);
    ASSERT_EQ(::symlink("b", dir_.At("home/a/inner").c_str()), 0);
    home_.Reset(::open(dir_.At("home").c_str(), O_PATH | O_DIRECTORY));
    ASSERT_TRUE(home_.ok());
  }
  void TearDown() override { SetBeneathModeForTesting(BeneathMode::kOpenat2); }

  int Open(const char* rel, int flags, mode_t mode = 0) { return OpenBeneath(home_.get(), rel, flags, mode); }

  testing::TempDir dir_;
  ScopedFd home_;
};

TEST_P(BeneathTest, OpensPathsInsideTheHome) {
  ScopedFd f(Open("a/b/f.txt", O_RDONLY));
  ASSERT_TRUE(f.ok()) << errno;
  char buf[8] = {};
  EXPECT_EQ(::read(f.get(), buf, sizeof buf), 4);
  ScopedFd self(Open("", O_PATH | O_DIRECTORY));
  EXPECT_TRUE(self.ok());
  ScopedFd created(Open("a/b/new.txt", O_WRONLY | O_CREAT | O_EXCL, 0644));
  EXPECT_TRUE(created.ok());
  EXPECT_TRUE(dir_.Exists("home/a/b/new.txt"));
}

TEST_P(BeneathTest, NoLinkIsFollowedAndNothingOutsideIsTouched) {
  errno = 0;
  EXPECT_LT(Open("a/out/secret", O_RDONLY), 0);
  EXPECT_EQ(errno, ELOOP);
  EXPECT_LT(Open("a/out/planted", O_WRONLY | O_CREAT, 0644), 0);
  EXPECT_FALSE(dir_.Exists("outside/planted"));
  EXPECT_LT(Open("a/rel", O_RDWR | O_TRUNC), 0);
  EXPECT_EQ(errno, ELOOP);
  EXPECT_EQ(dir_.ReadFile("outside/secret"), "secret");
  // Even a link that stays inside is not followed, so both modes agree.
  EXPECT_LT(Open("a/inner/f.txt", O_RDONLY), 0);
  EXPECT_EQ(errno, ELOOP);
  EXPECT_LT(Open("a/out", O_PATH | O_DIRECTORY), 0);
  EXPECT_EQ(errno, ELOOP);
  // O_PATH|O_NOFOLLOW names the link itself.
  ScopedFd link(Open("a/out", O_PATH));
  ASSERT_TRUE(link.ok());
  struct stat st;
  ASSERT_EQ(::fstat(link.get(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_P(BeneathTest, EscapesAreRefused) {
  EXPECT_LT(Open("../outside/secret", O_RDONLY), 0);
  EXPECT_EQ(errno, EXDEV);
  EXPECT_LT(Open("a/../../outside/secret", O_RDONLY), 0);
  EXPECT_EQ(errno, EXDEV);
  EXPECT_LT(Open(dir_.At("outside/secret").c_str(), O_RDONLY), 0);
  EXPECT_EQ(errno, EXDEV);
}

TEST_P(BeneathTest, LookupErrorsTellMissingFileFromMissingPath) {
  EXPECT_EQ(LookupError(home_.get(), "a/b/none", ENOENT), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(LookupError(home_.get(), "none", ENOENT), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(LookupError(home_.get(), "a/none/x", ENOENT), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(LookupError(home_.get(), "a/out/x", ELOOP), ERROR_ACCESS_DENIED);
  Result r;
  StorePath p = dir_.Path("home", "a/out/secret");
  EXPECT_LT(OpenInHome(p, O_RDONLY, 0, &r), 0);
  EXPECT_EQ(r, ERROR_ACCESS_DENIED);
  StorePath missing_home = dir_.Path("nohome", "x");
  EXPECT_LT(OpenInHome(missing_home, O_RDONLY, 0, &r), 0);
  EXPECT_EQ(r, ERROR_PATH_NOT_FOUND);
  const char* leaf = nullptr;
  ScopedFd parent(OpenParentBeneath(home_.get(), "a/b/f.txt", &leaf));
  ASSERT_TRUE(parent.ok());
  EXPECT_STREQ(leaf, "f.txt");
  EXPECT_EQ(::faccessat(parent.get(), leaf, F_OK, AT_SYMLINK_NOFOLLOW), 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, BeneathTest, ::testing::Values(BeneathMode::kOpenat2, BeneathMode::kWalk),
                         [](const ::testing::TestParamInfo<BeneathMode>& info) {
                           return info.param == BeneathMode::kOpenat2 ? "Openat2" : "Walk";
                         });

}  // namespace
}  // namespace tervane
