// The table of --report, read from reports the JSON writer made: its rows
// and verdicts, its exit code, and files that are not reports of ours.

#include "run/report_table.h"

#include <gtest/gtest.h>

#include <cctype>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "disk/mismatch_log.h"
#include "run/json_report.h"
#include "test_support.h"

namespace vorbex {
namespace {

using nlohmann::json;

// What a report says about a run that differs from one to the next.
struct Outcome {
  std::string target;
  int exit_code = 0;
  EndCause cause = EndCause::kTimeLimit;
  int64_t mismatches = 0;
  int64_t errors = 0;
  std::string host = "rack9";
};

std::string ReportOf(const Outcome& o) {
  RunDescription run;
  run.Arguments = {"vorbex", "--json", "r.json", o.target, "12", "60"};
  run.Target = o.target;
  run.Path = o.target;
  run.Host = o.host;
  run.Level = 12;
  SummaryFacts facts;
  facts.ExitCode = o.exit_code;
  facts.Seconds = 3725;
  facts.Rows = {{10, "Seq 4k Write", 256, 0, 1 << 30, 0, 0, o.errors, 1},
                {9, "Seq 4k Read", 256, 1 << 30, 0, 2048, 0, 0}};
  facts.HasCoverage = true;
  facts.TargetBlocks = 4096;
  facts.BlocksWritten = 4096;
  facts.BlocksVerified = 1024;
  MismatchList mismatches;
  mismatches.Total = o.mismatches;
  RunEnding ending;
  ending.Cause = o.cause;
  return JsonReportText(run, facts, mismatches, ending);
}

class ReportTableTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& text) {
    std::string path = dir_.File(name);
    testing::WriteFile(path, std::vector<uint8_t>(text.begin(), text.end()));
    return path;
  }
  // The words of the table's row for target.
  static std::vector<std::string> RowOf(const ReportTable& table,
                                        const std::string& target) {
    const size_t at = table.text.find("  " + target + "  ");
    if (at == std::string::npos) return {};
    const size_t from = table.text.rfind('\n', at) + 1;
    std::istringstream line(
        table.text.substr(from, table.text.find('\n', at) - from));
    std::vector<std::string> words;
    for (std::string w; line >> w;) words.push_back(w);
    return words;
  }

  testing::TempDir dir_;
};

TEST_F(ReportTableTest, AMismatchOrAFailureFailsTheTable) {
  struct Case {
    Outcome outcome;
    const char* verdict;
  };
  const Case cases[] = {
      {{"/dev/sdb", 1, EndCause::kErrstop, 3, 0}, "MISMATCH"},
      {{"/dev/sdc", 1, EndCause::kErrstop, 0, 0}, "FAILED"},
      {{"/dev/sdd", 0, EndCause::kTimeLimit, 0, 2}, "FAILED"},
      {{"/dev/sde", 0, EndCause::kError, 0, 0}, "FAILED"},
      {{"/dev/sdf", 0, EndCause::kTimeLimit, 0, 0}, "passed"},
      // An interrupt is how a run without a time limit ends.
      {{"/dev/sdg", 130, EndCause::kInterrupt, 0, 0}, "stopped"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.outcome.target);
    const ReportTable table =
        MakeReportTable({Write("r.json", ReportOf(c.outcome))});
    const std::vector<std::string> row = RowOf(table, c.outcome.target);
    ASSERT_FALSE(row.empty()) << table.text;
    EXPECT_EQ(row.back(), c.verdict) << table.text;
    EXPECT_EQ(table.exit_code, std::islower(c.verdict[0]) != 0 ? 0 : 1);
  }
}

// Each file that cannot be tabulated is named, and the others are still
// reported.
TEST_F(ReportTableTest, FilesThatAreNotOurReportsAreNamed) {
  json newer = json::parse(ReportOf({"/dev/sdc"}));
  newer["report_version"] = kJsonReportVersion + 1;
  json lacking = json::parse(ReportOf({"/dev/sdd"}));
  lacking.erase("total");
  const std::string good = Write(
      "good.json", ReportOf({"/dev/sdb", 0, EndCause::kTimeLimit, 0, 0, ""}));
  const std::string paths[] = {
      Write("newer.json", newer.dump()), Write("lacking.json", lacking.dump()),
      Write("other.json", R"({"report_version": "1", "target": {}})"),
      Write("text.json", "Summary: 2.0 s\n"), dir_.File("none.json")};
  const ReportTable table =
      MakeReportTable({paths[0], paths[1], good, paths[2], paths[3], paths[4]});
  const std::vector<std::string> row = RowOf(table, "/dev/sdb");
  ASSERT_FALSE(row.empty()) << table.text;
  EXPECT_EQ(row.front(), "-");  // a report that names no host
  EXPECT_EQ(row.back(), "passed");
  EXPECT_NE(table.text.find("\nTotal  1 run "), std::string::npos);
  EXPECT_EQ(table.complaints, "--report: " + paths[0] +
                                  " is of report_version " +
                                  std::to_string(kJsonReportVersion + 1) +
                                  ", newer than this Vorbex reads (" +
                                  std::to_string(kJsonReportVersion) +
                                  ")\n"
                                  "--report: " +
                                  paths[1] +
                                  " is not a Vorbex JSON report\n"
                                  "--report: " +
                                  paths[2] +
                                  " is not a Vorbex JSON report\n"
                                  "--report: " +
                                  paths[3] +
                                  " is not a Vorbex JSON report\n"
                                  "--report: cannot read " +
                                  paths[4] + ": No such file or directory\n");
  EXPECT_EQ(table.exit_code, 1);

  const ReportTable none = MakeReportTable({paths[3]});
  EXPECT_EQ(none.text, "");
  EXPECT_EQ(none.exit_code, 1);
}

}  // namespace
}  // namespace vorbex
