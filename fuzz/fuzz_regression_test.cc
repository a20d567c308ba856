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
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_targets.h"

namespace tervane::fuzz {
namespace {

using Entry = int (*)(const uint8_t*, size_t);

void RunInput(Entry entry, const std::string& bytes) {
  Silenced quiet(STDOUT_FILENO);  // the server's log lines would bury the test's report
  entry(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::string Seed(const std::string& rel) {
  std::string bytes;
  EXPECT_TRUE(ReadWholeFile(std::string(TERVANE_FUZZ_DIR) + "/corpus/" + rel, &bytes)) << rel;
  return bytes;
}

TEST(FuzzCorpus, EveryTargetsSeedsAndFindingsRun) {
  const std::pair<const char*, Entry> targets[] = {{"frame", FuzzServerFrames},
                                                   {"config", FuzzConfigFile},
                                                   {"settings", FuzzSettingsFile},
                                                   {"listing", FuzzClientListing}};
  for (const auto& [target, entry] : targets) {
    size_t seeds = 0;
    for (const std::string kind : {"corpus", "regressions"}) {
      const std::string dir = std::string(TERVANE_FUZZ_DIR) + "/" + kind + "/" + target;
      for (const std::string& name : ListNames(dir)) {
        std::string bytes;
        if (!ReadWholeFile(dir + "/" + name, &bytes)) continue;
        // Named before it runs: a finding aborts the program.
        std::fprintf(stderr, "running %s/%s/%s\n", kind.c_str(), target, name.c_str());
        RunInput(entry, bytes);
        seeds += kind == "corpus";
      }
    }
    EXPECT_GE(seeds, 5u) << target;
  }
}

// Inputs that are no input at all, or stop anywhere inside a frame, are
// handled like any other: the targets end without a finding.
TEST(FuzzCorpus, TruncatedInputsRun) {
  const std::string frames = Seed("frame/file_cycle");
  for (size_t cut = 0; cut <= frames.size(); cut += 7) RunInput(FuzzServerFrames, frames.substr(0, cut));
  const std::string listing = Seed("listing/pages");
  for (size_t cut = 0; cut <= listing.size(); ++cut) RunInput(FuzzClientListing, listing.substr(0, cut));
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
