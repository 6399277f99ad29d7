// The run's summary: its counters against the transfers an in-memory target
// saw, the coverage bitmaps, and the text built from them.

#include "run/summary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/sleep.h"
#include "disk/transfer_counters.h"
#include "fake_disk_test.h"
#include "platform/error_codes.h"
#include "run/levels.h"
#include "support/fake_env.h"
#include "test_support.h"
#include "workloads/workload_thread.h"

namespace vorbex {
namespace {

using platform::FakeEnv;

// Counts on records of its own, so that no disk of an earlier test shows.
class SummaryTest : public testing::FakeDiskTest {
 protected:
  static constexpr int32_t kBlocks = 4096;

  void SetUp() override {
    FakeDiskTest::SetUp();
    SetRunCounters(&counters_);
    env_.AddTarget("t.img", int64_t{kBlocks} * 512);
  }
  void TearDown() override {
    FakeDiskTest::TearDown();
    SetRunCounters(nullptr);
  }

  SummaryRow Total() { return TotalOf(CollectSummary(0).Rows); }

  RunCounters counters_;
};

// Level 34 (stamped 4k and 512-byte writes, reads and verifies) on the fake
// target: every transfer the target saw is counted once, with its bytes.
TEST_F(SummaryTest, CountersAgreeWithTheTransfersTheTargetSaw) {
  ThreadTable table;
  ::testing::internal::CaptureStdout();
  CreateLevelTests(table, "t.img", 4);
  CreateLevelTests(table, "t.img", 30);
  SleepMilliseconds(400);
  StopAllTests(table);
  const std::string printed = ::testing::internal::GetCapturedStdout();

  int64_t reads = 0, writes = 0;
  for (const FakeEnv::Transfer& t : env_.Transfers()) {
    (t.write ? writes : reads) += t.length;
  }
  const SummaryFacts facts = CollectSummary(0);
  ASSERT_EQ(facts.Rows.size(), 24u);
  EXPECT_EQ(facts.Rows[0].Code, 24);
  EXPECT_EQ(facts.Rows[0].Name, "Seq 4k Partial");
  const SummaryRow total = Total();
  EXPECT_EQ(total.Transfers, static_cast<int64_t>(env_.Transfers().size()));
  EXPECT_EQ(total.BytesRead, reads);
  EXPECT_EQ(total.BytesWritten, writes);
  EXPECT_GT(reads, 0);
  EXPECT_GT(writes, 0);
  EXPECT_GT(total.BlocksVerified, 0);
  EXPECT_EQ(total.Mismatches, 0) << printed;
  EXPECT_EQ(total.Errors, 0);
}

// A failed transfer is an error and moves no bytes; a damaged block is a
// mismatch and is not verified; each lands on the disk that met it.
TEST_F(SummaryTest, ErrorsAndMismatchesLandOnTheirOwnDisk) {
  TestDisk* writer = Open("t.img", 16, 7);
  TestDisk* reader = Open("t.img", 16, 9);
  writer->WriteRange(0, 16);
  std::vector<uint8_t> torn = env_.ReadMedium("t.img", 3 * 512, 512);
  torn[500] ^= 0xFF;  // in the fill
  env_.WriteMedium("t.img", 3 * 512, torn);
  ::testing::internal::CaptureStdout();
  reader->ReadRange(0, 16);
  ::testing::internal::GetCapturedStdout();
  env_.InjectFault(FakeEnv::Fault::kFail, platform::kErrorNotReady);
  EXPECT_NE(testing::ErrorCodeOf([&] { writer->WriteRange(16, 8); }), -1);

  const SummaryFacts facts = CollectSummary(0);
  ASSERT_EQ(facts.Rows.size(), 2u);
  const SummaryRow& w = facts.Rows[0];
  const SummaryRow& r = facts.Rows[1];
  EXPECT_EQ(std::make_pair(w.Code, r.Code), std::make_pair(7, 9));
  EXPECT_EQ(w.Transfers, 2);
  EXPECT_EQ(w.BytesWritten, 16 * 512);
  EXPECT_EQ(w.Errors, 1);
  EXPECT_EQ(r.Transfers, 1);
  EXPECT_EQ(r.BytesRead, 16 * 512);
  EXPECT_EQ(r.BlocksVerified, 15);
  EXPECT_EQ(r.Mismatches, 1);
  EXPECT_EQ(r.Errors, 0);
}

// Formatted whole, then stressed in part: every block counts as written once,
// and only the blocks read back count as verified.
TEST_F(SummaryTest, CoverageOfAFormattedThenPartlyStressedTarget) {
  TestDisk* d = Open("t.img", 2048, 51);
  for (int32_t b = 0; b < kBlocks; b += 2048) d->WriteRange(b, 2048);
  EXPECT_EQ(RunCoverage()->WrittenCount(), kBlocks);
  EXPECT_EQ(RunCoverage()->VerifiedCount(), 0);

  d->WriteRange(100, 500);
  d->ReadRange(0, 1000);
  d->ReadRange(500, 1000);
  const SummaryFacts facts = CollectSummary(0);
  EXPECT_TRUE(facts.HasCoverage);
  EXPECT_EQ(facts.TargetBlocks, kBlocks);
  EXPECT_EQ(facts.BlocksWritten, kBlocks);
  EXPECT_EQ(facts.BlocksVerified, 1500);
  EXPECT_NE(SummaryText(facts).find("written 4096 (100.0%), verified at "
                                    "least once 1500 (36.6%)"),
            std::string::npos)
      << SummaryText(facts);
}

TEST(TargetCoverageTest, CountsDistinctBlocksAcrossWordEdges) {
  const std::vector<std::vector<std::pair<int32_t, int32_t>>> cases = {
      {{0, 1}},
      {{63, 2}, {64, 1}},
      {{0, 64}, {0, 64}},
      {{60, 70}, {1, 200}},
      {{129, 1}, {199, 1}, {130, 69}},
      {{0, 200}},
  };
  for (const auto& ranges : cases) {
    TargetCoverage c(200);
    std::set<int32_t> want;
    for (const auto& [first, count] : ranges) {
      c.MarkWritten(first, count);
      for (int32_t b = first; b < first + count; ++b) want.insert(b);
      c.MarkVerified(first);
    }
    EXPECT_EQ(c.WrittenCount(), static_cast<int64_t>(want.size()))
        << ranges.front().first;
    EXPECT_LE(c.VerifiedCount(), static_cast<int64_t>(ranges.size()));
  }
}

TEST(SummaryTextTest, SaysWhatTheRunDidAndEndsOnItsVerdict) {
  SummaryFacts f;
  f.Seconds = 2;
  f.HasCoverage = true;
  f.TargetBlocks = 1000;
  f.BlocksWritten = 250;
  f.BlocksVerified = 100;
  f.Rows = {{0, "start-up", 1, 0, 512, 0, 0, 0},
            {9, "Seq 4k Read", 99, 4 << 20, 0, 8192, 0, 1}};
  struct Case {
    int64_t mismatches;
    const char* last;
  };
  for (const Case& c :
       {Case{0, "No mismatches (but some transfers failed)\n"},
        Case{3,
             "MISMATCHES: 3 blocks read back different from what was "
             "written\n"}}) {
    f.Rows[1].Mismatches = c.mismatches;
    const std::string text = SummaryText(f);
    EXPECT_EQ(text.rfind("Summary: 2.0 s, 1 test, exit code 0\n", 0), 0u)
        << text;
    EXPECT_NE(text.find("     9 Seq 4k Read"), std::string::npos) << text;
    EXPECT_NE(
        text.find("Total                     100     4.0 MiB       512 B"),
        std::string::npos)
        << text;
    EXPECT_NE(text.find("Rates: read 2.0 MiB/s, written 256 B/s, 50 "
                        "transfers/s\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Coverage of 1000 blocks: written 250 (25.0%)"),
              std::string::npos);
    EXPECT_EQ(text.substr(text.size() - std::string(c.last).size()), c.last);
  }
}

}  // namespace
}  // namespace vorbex
