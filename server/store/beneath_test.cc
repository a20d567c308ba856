#include "server/store/beneath.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "shared/platform/win_error.h"
#include "testing/temp_dir.h"

namespace tervane {
namespace {

// Every case runs with openat2 (where the kernel has it) and with the walk.
class BeneathTest : public ::testing::TestWithParam<BeneathMode> {
 protected:
  void SetUp() override {
    SetBeneathModeForTesting(GetParam());
    dir_.MakeDir("home/a/b");
    dir_.WriteFile("home/a/b/f.txt", "data");
    dir_.WriteFile("outside/secret", "secret");
    ASSERT_EQ(::symlink(dir_.At("outside").c_str(), dir_.At("home/a/out").c_str()), 0);
    ASSERT_EQ(::symlink("../../outside/secret", dir_.At("home/a/rel").c_str()), 0);
    ASSERT_EQ(::symlink("b", dir_.At("home/a/inner").c_str()), 0);
    home_.Reset(::open(dir_.At("home").c_str(), O_PATH | O_DIRECTORY));
    ASSERT_TRUE(home_.ok());
  }
  void TearDown() override { SetBeneathModeForTesting(BeneathMode::kOpenat2); }

  int Open(const char* rel, int flags) { return OpenBeneath(home_.get(), rel, flags, (flags & O_CREAT) ? 0644 : 0); }

  testing::TempDir dir_;
  ScopedFd home_;
};

TEST_P(BeneathTest, OpensInsideTheHomeNeverFollowsALinkOrLeavesAndTellsWhatIsMissing) {
  ScopedFd f(Open("a/b/f.txt", O_RDONLY));
  char buf[8] = {};
  EXPECT_EQ(::read(f.get(), buf, sizeof buf), 4);
  EXPECT_TRUE(ScopedFd(Open("", O_PATH | O_DIRECTORY)).ok());
  EXPECT_TRUE(ScopedFd(Open("a/b/new.txt", O_WRONLY | O_CREAT | O_EXCL)).ok() && dir_.Exists("home/a/b/new.txt"));
  // A link that stays inside ("a/inner") is refused too, so both modes agree.
  const struct { std::string rel; int flags; int err; } refused[] = {
      {"a/out/secret", O_RDONLY, ELOOP},    {"a/out/planted", O_WRONLY | O_CREAT, ELOOP},
      {"a/rel", O_RDWR | O_TRUNC, ELOOP},   {"a/inner/f.txt", O_RDONLY, ELOOP},
      {"a/out", O_PATH | O_DIRECTORY, ELOOP}, {"../outside/secret", O_RDONLY, EXDEV},
      {"a/../../outside/secret", O_RDONLY, EXDEV}, {dir_.At("outside/secret"), O_RDONLY, EXDEV}};
  for (const auto& c : refused) {
    errno = 0;
    EXPECT_LT(Open(c.rel.c_str(), c.flags), 0) << c.rel;
    EXPECT_EQ(errno, c.err) << c.rel;
  }
  EXPECT_TRUE(!dir_.Exists("outside/planted") && dir_.ReadFile("outside/secret") == "secret");
  ScopedFd link(Open("a/out", O_PATH));  // O_PATH|O_NOFOLLOW names the link itself
  struct stat st;
  ASSERT_EQ(::fstat(link.get(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));

  EXPECT_EQ((std::vector<Result>{LookupError(home_.get(), "a/b/none", ENOENT), LookupError(home_.get(), "none", ENOENT),
                                 LookupError(home_.get(), "a/none/x", ENOENT), LookupError(home_.get(), "a/out/x", ELOOP)}),
            (std::vector<Result>{ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED}));
  Result r;
  EXPECT_TRUE(OpenInHome(dir_.Path("home", "a/out/secret"), O_RDONLY, 0, &r) < 0 && r == ERROR_ACCESS_DENIED);
  EXPECT_TRUE(OpenInHome(dir_.Path("nohome", "x"), O_RDONLY, 0, &r) < 0 && r == ERROR_PATH_NOT_FOUND);
  const char* leaf = nullptr;
  ScopedFd parent(OpenParentBeneath(home_.get(), "a/b/f.txt", &leaf));
  EXPECT_STREQ(leaf, "f.txt");
  EXPECT_EQ(::faccessat(parent.get(), leaf, F_OK, AT_SYMLINK_NOFOLLOW), 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, BeneathTest, ::testing::Values(BeneathMode::kOpenat2, BeneathMode::kWalk),
                         [](const ::testing::TestParamInfo<BeneathMode>& info) {
                           return info.param == BeneathMode::kOpenat2 ? "Openat2" : "Walk";
                         });

}  // namespace
}  // namespace tervane
