// Runs every seed of every fuzz target, and every input a fuzzing run found
// (regressions/<target>/), through the target's function: the checks inside
// the targets abort on a broken promise, which fails this program.
//
// Findings kept in regressions/:
//  - listing/server-result-14: a reply whose result is 14, the client's own
//    "does not fit", came back from KOVA_SetCurDirectory unchanged and
//    without the needed size, and the target took it for the client's
//    miss. A server never sends 14; the target's peer now sends 0x3530 in
//    its place, and the input stays to show the target takes it.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/config_fuzz.h"
#include "fuzz/frame_fuzz.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/listing_fuzz.h"
#include "fuzz/settings_fuzz.h"

namespace tervane::fuzz {
namespace {

using Entry = int (*)(const uint8_t*, size_t);

// The server's log lines go to standard output; they would bury the test's
// own report, so they go to /dev/null while a target runs.
class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
  }
  ~QuietStdout() {
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
  }

 private:
  int saved_ = -1;
};

void RunInput(Entry entry, const std::string& bytes) {
  QuietStdout quiet;
  entry(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// Runs the files of corpus/<target>/ and regressions/<target>/; returns how
// many seeds there were.
size_t RunStored(const std::string& target, Entry entry) {
  size_t seeds = 0;
  for (const char* kind : {"corpus", "regressions"}) {
    const std::string dir = std::string(TERVANE_FUZZ_DIR) + "/" + kind + "/" + target;
    for (const std::string& name : ListNames(dir)) {
      std::string bytes;
      if (!ReadWholeFile(dir + "/" + name, &bytes)) continue;
      // Named before it runs: a finding aborts the program.
      std::fprintf(stderr, "running %s/%s/%s\n", kind, target.c_str(), name.c_str());
      RunInput(entry, bytes);
      if (std::string(kind) == "corpus") ++seeds;
    }
  }
  return seeds;
}

TEST(FuzzCorpus, ServerFramesSeedsAndFindingsRun) { EXPECT_GE(RunStored("frame", FuzzServerFrames), 5u); }
TEST(FuzzCorpus, ConfigFileSeedsAndFindingsRun) { EXPECT_GE(RunStored("config", FuzzConfigFile), 5u); }
TEST(FuzzCorpus, SettingsFileSeedsAndFindingsRun) { EXPECT_GE(RunStored("settings", FuzzSettingsFile), 5u); }
TEST(FuzzCorpus, ClientListingSeedsAndFindingsRun) { EXPECT_GE(RunStored("listing", FuzzClientListing), 5u); }

// Inputs that are no input at all, or stop anywhere inside a frame, are
// handled like any other: the targets end without a finding.
TEST(FuzzCorpus, TruncatedInputsRun) {
  std::string frame_seed;
  ASSERT_TRUE(ReadWholeFile(std::string(TERVANE_FUZZ_DIR) + "/corpus/frame/file_cycle", &frame_seed));
  for (size_t cut = 0; cut <= frame_seed.size(); cut += 7) RunInput(FuzzServerFrames, frame_seed.substr(0, cut));
  std::string listing_seed;
  ASSERT_TRUE(ReadWholeFile(std::string(TERVANE_FUZZ_DIR) + "/corpus/listing/pages", &listing_seed));
  for (size_t cut = 0; cut <= listing_seed.size(); ++cut) RunInput(FuzzClientListing, listing_seed.substr(0, cut));
  for (Entry entry : {FuzzConfigFile, FuzzSettingsFile}) {
    RunInput(entry, std::string());
    RunInput(entry, std::string("\0\0\0", 3));
  }
}

// The checks of a target fail when their promise is broken: a target that
// could never abort would prove nothing.
TEST(FuzzChecksDeathTest, BrokenPromiseAborts) {
  EXPECT_DEATH(Check(false, "a promise"), "fuzz check failed: a promise");
}

}  // namespace
}  // namespace tervane::fuzz
