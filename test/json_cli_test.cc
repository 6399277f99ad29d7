// --json on the real binary: the file it leaves at each kind of end, parsed
// back, against the run's exit code and its summary on standard error.

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli_support.h"
#include "disk/latency.h"
#include "platform/testing/subprocess.h"
#include "test_support.h"

namespace vorbex {
namespace {

using nlohmann::json;
using platform::ProcessResult;

class JsonCliTest : public ::testing::Test {
 protected:
  // Runs with --json before the other arguments, and reads the report.
  json Run(std::vector<std::string> args, double interrupt = -1) {
    args.insert(args.begin(), {"--json", report_});
    result_ = testing::Vorbex(args, 60, interrupt);
    args.insert(args.begin(), VORBEX_BINARY);
    const std::vector<uint8_t> bytes = testing::ReadFile(report_);
    json doc = json::parse(bytes.begin(), bytes.end());
    EXPECT_EQ(doc["command_line"].get<std::vector<std::string>>(), args);
    EXPECT_EQ(doc["exit_code"], result_.exit_code) << result_.err;
    // No temporary file left behind.
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
      EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
    }
    return doc;
  }
  // The coverage line of the summary on standard error.
  std::string CoverageLine() const {
    const size_t at = result_.err.find("Coverage");
    if (at == std::string::npos) return "";
    return result_.err.substr(at, result_.err.find('\n', at) - at);
  }
  // That line as the report's coverage would print it.
  static std::string SummaryCoverage(const json& cov) {
    char line[200];
    std::snprintf(line, sizeof line,
                  "Coverage of %" PRId64 " blocks: written %" PRId64
                  " (%.1f%%), verified at least once %" PRId64 " (%.1f%%)",
                  cov["target_blocks"].get<int64_t>(),
                  cov["blocks_written"].get<int64_t>(),
                  100 * cov["written_share"].get<double>(),
                  cov["blocks_verified"].get<int64_t>(),
                  100 * cov["verified_share"].get<double>());
    return line;
  }

  testing::TempDir dir_;
  const std::string target_ = dir_.File("t.img");
  const std::string report_ = dir_.File("r.json");
  ProcessResult result_;
};

TEST_F(JsonCliTest, EveryEndLeavesAWholeReport) {
  struct Case {
    std::vector<std::string> args;  // the target is appended
    double interrupt;
    int exit_code;
    const char* reason;
    const char* signal;  // null: JSON null
    size_t tests;        // that the level selects
  };
  const Case cases[] = {
      {{"-f"}, -1, 0, "format-done", nullptr, 1},
      {{"-e", "@", "30", "1"}, -1, 0, "time-limit", nullptr, 11},
      {{"@", "2"}, 1.5, 130, "interrupt", "SIGINT", 7},
  };
  testing::MakeSparseFile(target_, 8 << 20);
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    if (args.size() == 1) args.push_back("@");
    for (std::string& a : args) {
      if (a == "@") a = target_;
    }
    const json doc = Run(args, c.interrupt);
    SCOPED_TRACE(c.reason);
    EXPECT_EQ(result_.exit_code, c.exit_code) << result_.out << result_.err;
    EXPECT_EQ(doc["end"]["reason"], c.reason);
    if (c.signal != nullptr) {
      EXPECT_EQ(doc["end"]["signal"], c.signal);
    } else {
      EXPECT_TRUE(doc["end"]["signal"].is_null());
    }
    EXPECT_EQ(doc["target"]["path"], target_);
    EXPECT_EQ(doc["target"]["bytes"], 8 << 20);
    EXPECT_EQ(doc["tests"].size(), c.tests);
    EXPECT_TRUE(doc["check"].is_null());
    EXPECT_EQ(doc["mismatches"]["count"], 0);

    // The same numbers as the summary's, taken at the same instant.
    const json& cov = doc["coverage"];
    EXPECT_EQ(CoverageLine(), SummaryCoverage(cov)) << result_.err;
    int64_t transfers = 0;
    for (const json& row : doc["counters"]) {
      transfers += row["transfers"].get<int64_t>();
      char text[100];
      std::snprintf(text, sizeof text, "\n  %4d %-18s %10" PRId64 " ",
                    row["code"].get<int>(),
                    row["name"].get<std::string>().c_str(),
                    row["transfers"].get<int64_t>());
      EXPECT_NE(result_.err.find(text), std::string::npos) << row;
    }
    EXPECT_EQ(doc["total"]["transfers"], transfers);
    EXPECT_GT(transfers, 0);
    EXPECT_GT(cov["blocks_written"], 0);
  }
}

// A formatted target damaged where it lies, then checked: every report is in
// the list, with the block, the reading test (0, the check) and its kind.
TEST_F(JsonCliTest, CheckListsEveryMismatch) {
  testing::MakeSparseFile(target_, 2048 * 512);
  // Stamps without a checksum, whose damage is told by the field it hit.
  ASSERT_EQ(testing::Vorbex({"-f", "--no-checksum", target_}).exit_code, 0);
  std::vector<uint8_t> block = testing::ReadBlock(target_, 100);
  block[400] ^= 0x10;  // a fill byte
  testing::PutBlock(target_, 100, block);
  block = testing::ReadBlock(target_, 200);
  block[28] ^= 0x01;  // Seq
  testing::PutBlock(target_, 200, block);

  const json want = json::parse(R"([
      {"block": 100, "test_code": 0, "test_name": "start-up check",
       "kind": "fill"},
      {"block": 200, "test_code": 0, "test_name": "start-up check",
       "kind": "header"}])");
  json doc = Run({"-c", target_});
  EXPECT_EQ(result_.exit_code, 0);
  EXPECT_EQ(doc["end"]["reason"], "check-done");
  EXPECT_EQ(doc["check"], "finished");
  EXPECT_EQ(doc["mismatches"]["list"], want) << result_.out;
  EXPECT_EQ(doc["mismatches"]["count"], 2);
  EXPECT_EQ(doc["mismatches"]["truncated"], false);
  EXPECT_EQ(doc["total"]["mismatches"], 2);
  EXPECT_EQ(doc["tests"], json::array());

  // With -e the check fails, and the report says so.
  doc = Run({"-c", "-e", target_});
  EXPECT_EQ(result_.exit_code, 1);
  EXPECT_EQ(doc["end"]["reason"], "errstop");
  EXPECT_EQ(doc["check"], "failed");
  EXPECT_EQ(doc["mismatches"]["list"], want);
}

// One bit flipped in each of 60 blocks of a target a stress run left, in
// bytes that no field check compares (the writer's test code, the spare
// bytes, map entries other than the block's own) or whose damage misled
// the check about other blocks (WriteSeq): each damaged block is reported,
// as a checksum failure, and not one intact block is.
TEST_F(JsonCliTest, EachFlippedBitBlamesItsOwnBlockAndNoOther) {
  testing::MakeSparseFile(target_, 16 << 20);
  ASSERT_EQ(testing::Vorbex({"-f", target_}).exit_code, 0);
  ASSERT_EQ(testing::Vorbex({"-r", target_, "334", "2"}).exit_code, 0);
  const int offsets[] = {17, 44, 46, 42, 36, 38, 60, 120, 200, 300};
  json want = json::array();
  for (int k = 0; k < 60; ++k) {
    const int32_t b = 1 + k * 541;  // spread over the 32768 blocks
    std::vector<uint8_t> block = testing::ReadBlock(target_, b);
    block[static_cast<size_t>(offsets[k % 10])] ^=
        static_cast<uint8_t>(1 << (k % 8));
    testing::PutBlock(target_, b, block);
    want.push_back({{"block", b},
                    {"test_code", 0},
                    {"test_name", "start-up check"},
                    {"kind", "checksum"}});
  }
  const json doc = Run({"-c", target_});
  EXPECT_EQ(result_.exit_code, 0);
  EXPECT_EQ(doc["mismatches"]["list"], want) << result_.out.substr(0, 2000);
}

// Every transfer is timed once: per row, the read and write histograms
// hold as many as the row's transfers, their buckets add up, and the
// summary shows the figures the report gives.
TEST_F(JsonCliTest, EveryTransferIsTimedInTheSummaryAndTheReport) {
  testing::MakeSparseFile(target_, 4 << 20);
  const json doc = Run({"-r", target_, "30", "1"});
  ASSERT_EQ(result_.exit_code, 0) << result_.err;
  EXPECT_NE(result_.err.find("  Latency "), std::string::npos) << result_.err;
  EXPECT_EQ(doc["stalls"], json::array());
  for (const json& row : doc["counters"]) {
    SCOPED_TRACE(row["name"].get<std::string>());
    int64_t timed = 0;
    for (const char* kind : {"read", "write"}) {
      const json& t = row["latency"][kind];
      int64_t in_buckets = 0;
      for (const json& b : t["buckets"]) in_buckets += b[1].get<int64_t>();
      EXPECT_EQ(in_buckets, t["transfers"].get<int64_t>());
      timed += in_buckets;
      if (in_buckets > 0) {
        EXPECT_LE(t["median_us"].get<int64_t>(), t["max_us"].get<int64_t>());
      }
    }
    EXPECT_EQ(timed, row["transfers"].get<int64_t>());
    EXPECT_EQ(row["stalls"], 0);
  }
  const json& reads = doc["total"]["latency"]["read"];
  ASSERT_GT(reads["transfers"].get<int64_t>(), 0);
  // The summary's total row shows the same maximum.
  EXPECT_NE(result_.err.find(LatencyText(reads["max_us"].get<int64_t>(), true)),
            std::string::npos)
      << result_.err;
}

TEST_F(JsonCliTest, AReportThatCannotBeWrittenStopsTheRunBeforeItStarts) {
  struct Case {
    std::string file;
    const char* why;
  };
  std::filesystem::create_directory(dir_.File("d"));
  const Case cases[] = {
      {dir_.File("none/r.json"), "No such file or directory"},
      {dir_.File("d"), "it is not an ordinary file"},
      {target_, "it is the target"},
  };
  testing::MakeSparseFile(target_, 64 * 512);
  for (const Case& c : cases) {
    const ProcessResult r =
        testing::Vorbex({"--json", c.file, target_, "1", "1"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("--json: cannot write " + c.file + ": " + c.why),
              std::string::npos)
        << r.err;
    EXPECT_EQ(testing::ReadFile(target_), std::vector<uint8_t>(64 * 512));
  }
}

// A target that cannot be opened ends on the Error line, without -e.
TEST_F(JsonCliTest, ErrorLineIsTheEnd) {
  const json doc = Run({target_, "1", "1"});
  EXPECT_EQ(result_.exit_code, 0);
  EXPECT_EQ(result_.out, "Error 2\n");
  EXPECT_EQ(doc["end"]["reason"], "error");
  EXPECT_EQ(doc["error_line"], 2);
  EXPECT_TRUE(doc["coverage"].is_null());
  EXPECT_TRUE(doc["target"]["blocks"].is_null());
}

}  // namespace
}  // namespace vorbex
