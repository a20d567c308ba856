#include "bench/measured_run.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "bench/child_server.h"

namespace tervane::bench {
namespace {

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class MeasuredRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/tervane-measured-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    dir_ = name;
  }
  void TearDown() override { RemoveTree(dir_); }
  std::string dir_;
};

TEST_F(MeasuredRunTest, ReportsStatusWallTimeAndOutputs) {
  RunOptions options;
  options.stdout_path = dir_ + "/out";
  options.stderr_path = dir_ + "/err";
  RunMeasurement m;
  ASSERT_EQ(RunMeasured({"sh", "-c", "echo out; echo err >&2; sleep 0.2; exit 3"}, options, &m), 0u);
  EXPECT_TRUE(m.exited);
  EXPECT_EQ(m.exit_status, 3);
  EXPECT_FALSE(m.succeeded());
  EXPECT_FALSE(m.timed_out);
  EXPECT_GE(m.wall_seconds, 0.2);
  EXPECT_LT(m.wall_seconds, 10.0);
  EXPECT_EQ(Read(dir_ + "/out"), "out\n");
  EXPECT_EQ(Read(dir_ + "/err"), "err\n");

  ASSERT_EQ(RunMeasured({"true"}, RunOptions(), &m), 0u);
  EXPECT_TRUE(m.succeeded());
}

TEST_F(MeasuredRunTest, PeakResidentSetFollowsWhatTheChildTouches) {
  RunMeasurement small;
  ASSERT_EQ(RunMeasured({"true"}, RunOptions(), &small), 0u);
  // A shell that reads 64 MiB into a variable keeps it all.
  RunMeasurement big;
  ASSERT_EQ(RunMeasured({"sh", "-c", "x=$(head -c 67108864 /dev/zero | tr '\\0' a); test ${#x} = 67108864"},
                        RunOptions(), &big),
            0u);
  ASSERT_TRUE(big.succeeded());
  EXPECT_GT(small.peak_rss_kib, 0u);
  EXPECT_GT(big.peak_rss_kib, 64u * 1024);
  EXPECT_GT(big.peak_rss_kib, small.peak_rss_kib + 32u * 1024);
}

TEST_F(MeasuredRunTest, TimeOutKillsTheChild) {
  RunOptions options;
  options.timeout_ms = 200;
  RunMeasurement m;
  ASSERT_EQ(RunMeasured({"sleep", "30"}, options, &m), 0u);
  EXPECT_TRUE(m.timed_out);
  EXPECT_FALSE(m.exited);
  EXPECT_EQ(m.signal, 9);
  EXPECT_LT(m.wall_seconds, 10.0);
  EXPECT_FALSE(m.succeeded());
}

TEST_F(MeasuredRunTest, MissingProgramExits127AndBadOutputPathIsAnError) {
  RunMeasurement m;
  ASSERT_EQ(RunMeasured({dir_ + "/no-such-program"}, RunOptions(), &m), 0u);
  EXPECT_TRUE(m.exited);
  EXPECT_EQ(m.exit_status, 127);

  RunOptions options;
  options.stdout_path = dir_ + "/no/such/dir/out";
  EXPECT_NE(RunMeasured({"true"}, options, &m), 0u);
  EXPECT_NE(RunMeasured({}, RunOptions(), &m), 0u);
}

}  // namespace
}  // namespace tervane::bench
