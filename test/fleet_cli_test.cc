// What a lab with many drives uses, on the real binary: the metrics file
// as a run goes and ends, its refusals, and the table of --report.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli_support.h"
#include "platform/testing/subprocess.h"
#include "run/command_line.h"
#include "test_support.h"

namespace vorbex {
namespace {

using nlohmann::json;
using platform::ProcessResult;

std::string Slurp(const std::string& path) {
  const std::vector<uint8_t> bytes = testing::ReadFile(path);
  return std::string(bytes.begin(), bytes.end());
}

// The value of the first sample whose line starts with prefix; "" for none.
std::string Sample(const std::string& text, const std::string& prefix) {
  const size_t at = text.find("\n" + prefix);
  if (at == std::string::npos) return "";
  const size_t space = text.find("} ", at) + 2;
  return text.substr(space, text.find('\n', space) - space);
}

// The sum of every sample of a metric.
int64_t SumOf(const std::string& text, const std::string& name) {
  int64_t sum = 0;
  for (size_t at = 0;
       (at = text.find("\n" + name + "{", at)) != std::string::npos; ++at) {
    const size_t space = text.find("} ", at) + 2;
    sum += std::stoll(text.substr(space, text.find('\n', space) - space));
  }
  return sum;
}

class FleetCliTest : public ::testing::Test {
 protected:
  testing::TempDir dir_;
  const std::string target_ = dir_.File("t.img");
  const std::string metrics_ = dir_.File("m.prom");
};

// While the run goes the file says so and is written anew every few
// seconds; at the end it says how the run ended, with the counters of the
// JSON report.
TEST_F(FleetCliTest, MetricsFollowTheRunAndEndWithIt) {
  testing::MakeSparseFile(target_, 8 << 20);
  const std::string report = dir_.File("r.json");
  ProcessResult r;
  std::thread run([&] {
    r = testing::Vorbex(
        {"--metrics", metrics_, "--json", report, target_, "1", "7"}, 60);
  });
  std::vector<std::string> updates;  // while the tests ran
  const auto until =
      std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    std::error_code ec;
    if (!std::filesystem::exists(metrics_, ec)) continue;
    const std::string text = Slurp(metrics_);
    if (Sample(text, "vorbex_run_state{") == "") continue;  // mid-rename
    if (text.find("state=\"ended\"} 1") != std::string::npos) break;
    EXPECT_NE(text.find("state=\"testing\"} 1"), std::string::npos) << text;
    const std::string at = Sample(text, "vorbex_last_update_time_seconds{");
    if (updates.empty() || updates.back() != at) updates.push_back(at);
  }
  run.join();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_GE(updates.size(), 2u);
  EXPECT_EQ(r.err.find("could not write"), std::string::npos) << r.err;

  const std::string text = Slurp(metrics_);
  EXPECT_EQ(Sample(text, "vorbex_exit_code{"), "0");
  const std::vector<uint8_t> bytes = testing::ReadFile(report);
  const json doc = json::parse(bytes.begin(), bytes.end());
  EXPECT_EQ(SumOf(text, "vorbex_transfers_total"),
            doc["total"]["transfers"].get<int64_t>());
  EXPECT_EQ(SumOf(text, "vorbex_written_bytes_total"),
            doc["total"]["bytes_written"].get<int64_t>());
  EXPECT_EQ(std::stoll(Sample(text, "vorbex_covered_blocks{")),
            doc["coverage"]["blocks_written"].get<int64_t>());
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
  }
}

TEST_F(FleetCliTest, AMetricsFileThatCannotBeWrittenStopsTheRunBeforeItStarts) {
  struct Case {
    std::string file;
    const char* why;
  };
  std::filesystem::create_directory(dir_.File("d"));
  const Case cases[] = {
      {dir_.File("none/m.prom"), "No such file or directory"},
      {dir_.File("d"), "it is not an ordinary file"},
      {target_, "it is the target"},
  };
  testing::MakeSparseFile(target_, 64 * 512);
  for (const Case& c : cases) {
    const ProcessResult r =
        testing::Vorbex({"--metrics", c.file, target_, "1", "1"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("--metrics: cannot write " + c.file + ": " + c.why),
              std::string::npos)
        << r.err;
    EXPECT_EQ(testing::ReadFile(target_), std::vector<uint8_t>(64 * 512));
  }
  // The metrics would replace the report at the end.
  const ProcessResult r = testing::Vorbex(
      {"--json", metrics_, "--metrics", dir_.File(".") + "/m.prom", target_});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("cannot write " + dir_.File(".") +
                       "/m.prom: it is the --json file"),
            std::string::npos)
      << r.err;
}

// Two runs' reports, one of them from a check that found a damaged block,
// and a file that is not a report: a row each for the runs, the other file
// named, exit code 1.
TEST_F(FleetCliTest, ReportTabulatesTheRunsAndFailsOnAMismatch) {
  const std::string damaged = dir_.File("d.img");
  testing::MakeSparseFile(target_, 1 << 20);
  testing::MakeSparseFile(damaged, 1 << 20);
  ASSERT_EQ(
      testing::Vorbex({"--json", dir_.File("a.json"), "-f", target_}).exit_code,
      0);
  ASSERT_EQ(testing::Vorbex({"-f", damaged}).exit_code, 0);
  testing::PutBlock(damaged, 100, std::vector<uint8_t>(512, 0));
  ASSERT_EQ(
      testing::Vorbex({"--json", dir_.File("b.json"), "-c", damaged}).exit_code,
      0);
  const std::string junk = dir_.File("junk.txt");
  testing::WriteFile(junk, {'{', '}'});

  ProcessResult r = testing::Vorbex(
      {"--report", dir_.File("a.json"), dir_.File("b.json"), junk});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "--report: " + junk + " is not a Vorbex JSON report\n");
  // The words of the row of target, from the host on: rows in the order
  // given, after the titles.
  const auto row = [&](const std::string& target) {
    const size_t at = r.out.find("  " + target + "  ");
    const size_t from = r.out.rfind('\n', at) + 1;
    std::istringstream line(r.out.substr(from, r.out.find('\n', at) - from));
    std::vector<std::string> words;
    for (std::string w; line >> w;) words.push_back(w);
    return words;
  };
  const std::vector<std::string> formatted = row(target_);
  const std::vector<std::string> checked = row(damaged);
  ASSERT_LT(r.out.find(target_), r.out.find(damaged)) << r.out;
  // The report names its host; a format and a check run no level's tests.
  EXPECT_NE(formatted[0], "-");
  EXPECT_EQ(formatted[3], "format");
  EXPECT_EQ(formatted.back(), "passed");
  EXPECT_EQ(checked[3], "check");
  EXPECT_EQ(checked.back(), "MISMATCH");

  r = testing::Vorbex({"--report", dir_.File("a.json")});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
}

TEST_F(FleetCliTest, ReportAndMetricsOptionsThatCannotRun) {
  struct Case {
    std::vector<std::string> args;
    std::string hint;
  };
  const Case cases[] = {
      {{"--report"}, "--report needs the JSON reports to tabulate: FILE...\n"},
      {{"-e", "--report", "r.json"}, "--report takes no other option\n"},
      {{"--report", "--json", "j", "r.json"},
       "--report takes no other option\n"},
      {{"--metrics"}, "--metrics needs a file name; see Vorbex --help\n"},
      {{"--metrics", "m.prom", "--inspect", target_, "0"},
       "--inspect takes no other option\n"},
  };
  for (const Case& c : cases) {
    const ProcessResult r = testing::Vorbex(c.args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string(kUsage) + c.hint);
  }
}

}  // namespace
}  // namespace vorbex
