#include "bench/report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tervane::bench {
namespace {

RunRecord MakeRun(const std::string& dataset, const std::string& tool, double seconds, uint64_t files,
              uint64_t directories, uint64_t bytes, bool valid = true, uint64_t server_kib = 0,
              uint64_t client_kib = 0) {
  RunRecord r;
  r.dataset = dataset;
  r.tool = tool;
  r.wall_seconds = seconds;
  r.files = files;
  r.directories = directories;
  r.bytes = bytes;
  r.valid = valid;
  r.server_peak_kib = server_kib;
  r.client_peak_kib = client_kib;
  return r;
}

const TargetCheck& Named(const std::vector<TargetCheck>& checks, const std::string& prefix) {
  for (const TargetCheck& c : checks) {
    if (c.name.rfind(prefix, 0) == 0) return c;
  }
  static TargetCheck none;
  ADD_FAILURE() << "no target " << prefix;
  return none;
}

TEST(RunRecordTest, ParsesWhatItFormats) {
  RunRecord r = MakeRun("small", "tervane", 2.5, 20000, 220, 92000000, true, 5000, 17000);
  r.round = 3;
  std::string line = FormatRunRecord(r);
  RunRecord back;
  std::string error;
  ASSERT_TRUE(ParseRunRecord(line, &back, &error)) << error;
  EXPECT_EQ(back.dataset, "small");
  EXPECT_EQ(back.tool, "tervane");
  EXPECT_EQ(back.round, 3);
  EXPECT_DOUBLE_EQ(back.wall_seconds, 2.5);
  EXPECT_EQ(back.files, 20000u);
  EXPECT_EQ(back.directories, 220u);
  EXPECT_EQ(back.bytes, 92000000u);
  EXPECT_EQ(back.server_peak_kib, 5000u);
  EXPECT_EQ(back.client_peak_kib, 17000u);
  EXPECT_TRUE(back.valid);
}

TEST(RunRecordTest, RefusesMalformedLines) {
  RunRecord r;
  std::string error;
  EXPECT_FALSE(ParseRunRecord("small\ttervane\t1\t2.5", &r, &error));
  EXPECT_FALSE(ParseRunRecord("small\ttervane\t1\tfast\t1\t1\t1\t0\t0\t1", &r, &error));
  EXPECT_FALSE(ParseRunRecord("small\ttervane\t1\t-2\t1\t1\t1\t0\t0\t1", &r, &error));
  EXPECT_FALSE(ParseRunRecord("small\ttervane\t1\t2\t1\t1\t1\t0\t0\t2", &r, &error));
  EXPECT_FALSE(ParseRunRecord("small\ttervane\t1\t2\t99999999999999999999999\t1\t1\t0\t0\t1", &r, &error));
  EXPECT_FALSE(ParseRunRecord("\ttervane\t1\t2\t1\t1\t1\t0\t0\t1", &r, &error));
  EXPECT_FALSE(error.empty());
}

TEST(SummaryTest, MediansRangesAndRatesLeaveInvalidRunsOut) {
  EXPECT_DOUBLE_EQ(Median({}), 0);
  EXPECT_DOUBLE_EQ(Median({3, 1, 2}), 2);
  EXPECT_DOUBLE_EQ(Median({4, 1, 3, 2}), 2.5);

  std::vector<RunRecord> records = {
      MakeRun("small", "tervane", 2.0, 1000, 10, 4000000, true, 4000, 16000),
      MakeRun("small", "tervane", 4.0, 1000, 10, 4000000, true, 5000, 15000),
      MakeRun("small", "tervane", 3.0, 1000, 10, 4000000, true, 4500, 17000),
      MakeRun("small", "tervane", 0.1, 1000, 10, 4000000, false, 9000, 90000),  // a copy that did not match
      MakeRun("small", "rsync", 1.0, 1000, 10, 4000000),
  };
  std::vector<ToolSummary> s = Summarize(records);
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].tool, "tervane");
  EXPECT_EQ(s[0].valid_runs, 3);
  EXPECT_EQ(s[0].invalid_runs, 1);
  EXPECT_DOUBLE_EQ(s[0].median_seconds, 3.0);
  EXPECT_DOUBLE_EQ(s[0].min_seconds, 2.0);
  EXPECT_DOUBLE_EQ(s[0].max_seconds, 4.0);
  EXPECT_DOUBLE_EQ(s[0].files_per_second, 1000 / 3.0);
  EXPECT_DOUBLE_EQ(s[0].megabytes_per_second, 4 / 3.0);
  EXPECT_DOUBLE_EQ(s[0].directories_per_second, 10 / 3.0);
  EXPECT_EQ(s[0].server_peak_kib, 5000u);
  EXPECT_EQ(s[0].client_peak_kib, 17000u);

  std::string table = FormatTable(s, false);
  EXPECT_NE(table.find("3 (+1 INVALID)"), std::string::npos) << table;
  EXPECT_NE(table.find("0.33x"), std::string::npos) << table;  // rsync's time over Tervane's
  std::string markdown = FormatTable(s, true);
  EXPECT_EQ(markdown.rfind("| dataset |", 0), 0u) << markdown;
}

TEST(SummaryTest, AToolWithOnlyInvalidRunsHasNoFigure) {
  std::vector<ToolSummary> s = Summarize({MakeRun("large", "tervane", 1.0, 4, 0, 1000, false)});
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].valid_runs, 0);
  EXPECT_EQ(s[0].median_seconds, 0);
  EXPECT_NE(FormatTable(s, false).find("no valid run"), std::string::npos);
  const TargetCheck& large = Named(CheckTargets(s), "large");
  EXPECT_FALSE(large.measured_ok);
  EXPECT_FALSE(large.met);
}

TEST(TargetTest, EveryTargetIsJudgedOnItsOwnRatio) {
  const uint64_t gib = 1ull << 30;
  std::vector<RunRecord> records = {
      MakeRun("small", "tervane", 1.0, 20000, 220, 92000000, true, 5000, 17000),
      MakeRun("small", "rsync", 1.25, 20000, 220, 92000000),
      MakeRun("mixed", "tervane", 3.6, 30000, 2000, 465000000, true, 6000, 18000),
      MakeRun("mixed", "rsync", 2.0, 30000, 2000, 465000000),
      MakeRun("large", "tervane", 1.0, 4, 0, gib, true, 6000, 19000),
      MakeRun("large", "rsync", 1.6, 4, 0, gib),
      MakeRun("large", "cp", 0.5, 4, 0, gib),
      MakeRun("empties", "tervane", 0.1, 0, 1110, 0, true, 4000, 16000),
      MakeRun("empties", "rsync", 0.3, 0, 1110, 0),
      MakeRun("lan-small", "tervane", 2.0, 20000, 220, 92000000, true, 5000, 17000),
      MakeRun("lan-small", "rsync", 0.8, 20000, 220, 92000000),
      MakeRun("lan-large", "tervane", 3.0, 4, 0, gib, true, 6000, 19000),
      MakeRun("lan-large", "rsync", 3.0, 4, 0, gib),
      MakeRun("connections", "tervane", 2.0, 20000, 220, 92000000, true, 17 * 1024, 17000),
      MakeRun("scale-20000", "tervane", 2.0, 20000, 220, 92000000, true, 5000, 17000),
      MakeRun("scale-40000", "tervane", 4.2, 40000, 220, 184000000, true, 5000, 17000),
  };
  std::vector<TargetCheck> checks = CheckTargets(Summarize(records));
  ASSERT_EQ(checks.size(), 9u);

  struct Expected {
    const char* name;
    double measured;
    bool met;
  };
  for (const Expected& e : {Expected{"small", 0.8, true}, Expected{"mixed", 1.8, false},
                            Expected{"large", 0.625, true}, Expected{"empties", 1.0 / 3, true},
                            Expected{"lan-small", 2.5, false}, Expected{"lan-large", 1.0, true},  // the limit itself
                            Expected{"server peak", 17.0, false}, Expected{"client peak", 19000 / 1024.0, true},
                            Expected{"scaling", 2.1, true}}) {
    const TargetCheck& c = Named(checks, e.name);
    EXPECT_NEAR(c.measured, e.measured, 1e-9) << e.name;
    EXPECT_EQ(c.met, e.met) << e.name;
  }
  EXPECT_EQ(Named(checks, "scaling").name, "scaling: time of 40000 files over 20000");

  std::string line = FormatSummaryLine(checks);
  EXPECT_EQ(line.rfind("targets met 6 of 9: ", 0), 0u) << line;
  EXPECT_NE(line.find("mixed: time over rsync's 1.80 (MISSED)"), std::string::npos) << line;
  std::string targets = FormatTargets(checks, false);
  EXPECT_NE(targets.find("MISSED"), std::string::npos);
}

TEST(TargetTest, ScalingTakesTheLargestRunWithItsHalfBeside) {
  std::vector<TargetCheck> checks = CheckTargets(Summarize({
      MakeRun("scale-5000", "tervane", 1.0, 5000, 220, 1),
      MakeRun("scale-10000", "tervane", 2.0, 10000, 220, 1),
      MakeRun("scale-20000", "tervane", 5.0, 20000, 220, 1),
      MakeRun("scale-30000", "tervane", 9.0, 30000, 220, 1),  // no 15000 beside it
      MakeRun("scale-80000", "tervane", 99.0, 80000, 220, 1, false),  // invalid: no figure
  }));
  const TargetCheck& scaling = Named(checks, "scaling");
  EXPECT_EQ(scaling.name, "scaling: time of 20000 files over 10000");
  EXPECT_NEAR(scaling.measured, 2.5, 1e-9);
  EXPECT_FALSE(scaling.met);
}

TEST(TargetTest, MissingAnchorsAreNotMeasuredRatherThanMet) {
  std::vector<TargetCheck> checks =
      CheckTargets(Summarize({MakeRun("small", "tervane", 1.0, 100, 1, 1000, true, 1000, 1000)}));
  EXPECT_FALSE(Named(checks, "small").measured_ok);
  EXPECT_FALSE(Named(checks, "small").met);
  EXPECT_FALSE(Named(checks, "scaling").measured_ok);
  EXPECT_FALSE(Named(checks, "server peak").measured_ok);
  EXPECT_TRUE(Named(checks, "client peak").met);
  EXPECT_NE(FormatSummaryLine(checks).find("(not measured)"), std::string::npos);
}

}  // namespace
}  // namespace tervane::bench
