// The JSON report: its text parsed back, the record of mismatches behind it,
// and the file written whole or not at all.

#include "run/json_report.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/run_outcome.h"
#include "disk/mismatch_log.h"
#include "test_support.h"

namespace vorbex {
namespace {

using nlohmann::json;

RunDescription SomeRun() {
  RunDescription run;
  run.Arguments = {"vorbex", "--json", "r.json", "-e", "t.img", "12"};
  run.Target = "t.img";
  run.Path = "t.img";
  run.Level = 12;
  run.Options.errstop = 1;
  return run;
}

SummaryFacts SomeFacts(int exit_code) {
  SummaryFacts facts;
  facts.ExitCode = exit_code;
  facts.Seconds = 2;
  facts.Rows = {{0, "start-up", 1, 0, 512, 0, 0, 0},
                {10, "Seq 4k Write", 100, 0, 409600, 0, 0, 0},
                {9, "Seq 4k Read", 300, 1228800, 0, 2400, 2, 1}};
  facts.HasCoverage = true;
  facts.TargetBlocks = 4096;
  facts.BlocksWritten = 1024;
  facts.BlocksVerified = 512;
  return facts;
}

TEST(JsonReportTest, HoldsTheRunsFacts) {
  MismatchList mismatches;
  mismatches.Records = {{7, 9, MismatchRecord::kHeader},
                        {8, 0, MismatchRecord::kFill}};
  mismatches.Total = 3;  // one more than recorded
  RunEnding ending;
  const json doc =
      json::parse(JsonReportText(SomeRun(), SomeFacts(1), mismatches, ending));

  EXPECT_EQ(doc["options"]["errstop"], true);
  EXPECT_EQ(doc["target"]["bytes"], 4096 * 512);
  // Level 12: units 2 (five tests, then 10 and 9), tens 10 (6, 5).
  std::vector<int> codes;
  for (const json& t : doc["tests"]) codes.push_back(t["code"]);
  EXPECT_EQ(codes, (std::vector<int>{11, 12, 15, 18, 21, 10, 9, 6, 5}));

  EXPECT_EQ(doc["counters"][2]["blocks_verified"], 2400);
  EXPECT_EQ(doc["total"]["transfers"], 401);
  EXPECT_EQ(doc["total"]["mismatches"], 2);
  EXPECT_EQ(doc["total"]["errors"], 1);
  EXPECT_DOUBLE_EQ(doc["total"]["bytes_read_per_second"].get<double>(),
                   614400.0);
  EXPECT_DOUBLE_EQ(doc["coverage"]["written_share"].get<double>(), 0.25);
  EXPECT_DOUBLE_EQ(doc["coverage"]["verified_share"].get<double>(), 0.125);

  EXPECT_EQ(doc["mismatches"]["count"], 3);
  EXPECT_EQ(doc["mismatches"]["listed"], 2);
  EXPECT_EQ(doc["mismatches"]["truncated"], true);
  EXPECT_EQ(doc["mismatches"]["list"][0],
            json::parse(R"({"block": 7, "test_code": 9,
                            "test_name": "Seq 4k Read", "kind": "header"})"));
  EXPECT_EQ(doc["mismatches"]["list"][1]["test_name"], "start-up check");
  EXPECT_EQ(doc["mismatches"]["list"][1]["kind"], "fill");
}

// Why the run ended comes from the first note for code 0 and from the code
// itself otherwise, as EndProcess keeps the first non-zero code.
TEST(JsonReportTest, EndReasonFollowsTheExitCode) {
  struct Case {
    EndCause first_note;
    int exit_code;
    const char* reason;
    const char* signal;  // null: JSON null
  };
  const Case cases[] = {
      {EndCause::kTimeLimit, 0, "time-limit", nullptr},
      {EndCause::kFormatDone, 0, "format-done", nullptr},
      {EndCause::kCheckDone, 0, "check-done", nullptr},
      {EndCause::kError, 0, "error", nullptr},
      // A failure found while the time limit ended the run wins.
      {EndCause::kTimeLimit, 1, "errstop", nullptr},
      {EndCause::kTimeLimit, 130, "interrupt", "SIGINT"},
      {EndCause::kCheckDone, 143, "interrupt", "SIGTERM"},
  };
  for (const Case& c : cases) {
    ResetRunOutcome();
    NoteEndCause(c.first_note);
    NoteEndCause(EndCause::kFormatFailed);  // later notes are ignored
    RunEnding ending;
    ending.Cause = EndCauseFor(c.exit_code);
    const json doc = json::parse(
        JsonReportText(SomeRun(), SomeFacts(c.exit_code), {}, ending));
    EXPECT_EQ(doc["end"]["reason"], c.reason) << c.exit_code;
    if (c.signal != nullptr) {
      EXPECT_EQ(doc["end"]["signal"], c.signal);
    } else {
      EXPECT_TRUE(doc["end"]["signal"].is_null());
    }
  }
  ResetRunOutcome();
}

// A run that never opened its target, with bytes in its names that are not
// UTF-8 (a Linux path may hold any): the report is still whole JSON.
TEST(JsonReportTest, NoTargetAndNamesThatAreNotUtf8) {
  RunDescription run = SomeRun();
  run.Target = run.Path = "bad\xff\xfe.img";
  run.Arguments.back() = run.Target;
  SummaryFacts facts;
  RunEnding ending;
  ending.Cause = EndCause::kError;
  ending.ErrorLine = 2;
  const json doc =
      json::parse(JsonReportText(run, facts, MismatchList{}, ending));
  EXPECT_EQ(doc["target"]["path"], "bad\xEF\xBF\xBD\xEF\xBF\xBD.img");
  EXPECT_TRUE(doc["target"]["blocks"].is_null());
  EXPECT_TRUE(doc["coverage"].is_null());
  EXPECT_TRUE(doc["check"].is_null());
  EXPECT_EQ(doc["error_line"], 2);
  EXPECT_EQ(doc["counters"], json::array());
  EXPECT_EQ(doc["mismatches"]["list"], json::array());
}

// On a log of its own, which leaves the process's alone.
TEST(MismatchLogTest, KeepsTheFirstRecordsAndCountsThemAll) {
  const int64_t process_total = RecordedMismatches().Total;
  MismatchLog log;
  for (int64_t i = 0; i < kMismatchRecordLimit + 5; ++i) {
    log.Record(static_cast<int32_t>(i), 3, MismatchRecord::kFill);
  }
  const MismatchList list = log.List();
  EXPECT_EQ(list.Total, kMismatchRecordLimit + 5);
  ASSERT_EQ(static_cast<int64_t>(list.Records.size()), kMismatchRecordLimit);
  EXPECT_EQ(list.Records.back().Block, kMismatchRecordLimit - 1);
  EXPECT_EQ(RecordedMismatches().Total, process_total);
}

TEST(WriteFileWholeTest, ReplacesTheFileAndLeavesNothingElse) {
  testing::TempDir dir;
  const std::string path = dir.File("r.json");
  std::string why;
  ASSERT_TRUE(WriteFileWhole(path, "old", &why)) << why;
  ASSERT_TRUE(WriteFileWhole(path, "new\n", &why)) << why;
  EXPECT_EQ(testing::ReadFile(path),
            (std::vector<uint8_t>{'n', 'e', 'w', '\n'}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            1);

  // A directory in the way, and a directory that is not there.
  std::filesystem::create_directory(dir.File("d"));
  EXPECT_FALSE(WriteFileWhole(dir.File("d"), "x", &why));
  EXPECT_FALSE(why.empty());
  why.clear();
  EXPECT_FALSE(WriteFileWhole(dir.File("none/r.json"), "x", &why));
  EXPECT_FALSE(why.empty());
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            2);
}

}  // namespace
}  // namespace vorbex
