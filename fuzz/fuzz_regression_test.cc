// Runs every seed and every fuzzing finding (regressions/<target>/) through
// its target, whose checks abort on a broken promise. Kept finding:
// listing/server-result-14, a reply with the client's own "does not fit"
// (14) that the target took for the client's miss; no server sends 14, so
// the peer now sends 0x3530 in its place.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_targets.h"
#include "testing/temp_dir.h"

namespace tervane::fuzz {
namespace {

using Entry = int (*)(const uint8_t*, size_t);

void RunInput(Entry entry, const std::string& bytes) {
  Silenced quiet(STDOUT_FILENO);  // the server's log lines would bury the test's report
  entry(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// Then inputs that are empty or stop anywhere inside a frame end without a
// finding too.
TEST(FuzzCorpus, EverySeedFindingAndTruncatedInputRuns) {
  const std::pair<const char*, Entry> targets[] = {{"frame", FuzzServerFrames},
                                                   {"config", FuzzConfigFile},
                                                   {"settings", FuzzSettingsFile},
                                                   {"listing", FuzzClientListing}};
  for (const auto& [target, entry] : targets) {
    size_t seeds = 0;
    for (const std::string kind : {"corpus", "regressions"}) {
      const std::string dir = std::string(TERVANE_FUZZ_DIR) + "/" + kind + "/" + target;
      for (const std::string& name : testing::ListFiles(dir)) {
        // Named before it runs: a finding aborts the program.
        std::fprintf(stderr, "running %s/%s/%s\n", kind.c_str(), target, name.c_str());
        RunInput(entry, testing::ReadFile(dir + "/" + name));
        seeds += kind == "corpus";
      }
    }
    EXPECT_GE(seeds, 5u) << target;
  }
  const std::string corpus = std::string(TERVANE_FUZZ_DIR) + "/corpus/";
  const std::string frames = testing::ReadFile(corpus + "frame/file_cycle");
  ASSERT_FALSE(frames.empty());
  for (size_t cut = 0; cut <= frames.size(); cut += 7) RunInput(FuzzServerFrames, frames.substr(0, cut));
  const std::string listing = testing::ReadFile(corpus + "listing/pages");
  ASSERT_FALSE(listing.empty());
  for (size_t cut = 0; cut <= listing.size(); ++cut) RunInput(FuzzClientListing, listing.substr(0, cut));
  for (Entry entry : {FuzzConfigFile, FuzzSettingsFile}) {
    RunInput(entry, std::string());
    RunInput(entry, std::string("\0\0\0", 3));
  }
}

// A target that could never abort would prove nothing.
TEST(FuzzChecksDeathTest, BrokenPromiseAborts) {
  EXPECT_DEATH(Check(false, "a promise"), "fuzz check failed: a promise");
}

}  // namespace
}  // namespace tervane::fuzz
