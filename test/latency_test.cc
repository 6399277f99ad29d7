// Transfer times: the histogram against the samples it was fed, and the
// watch that tells a stalled transfer from a slow one.

#include "disk/latency.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "base/flags.h"
#include "disk/stalls.h"
#include "fake_disk_test.h"
#include "run/status_line.h"

namespace vorbex {
namespace {

TEST(LatencyTest, BucketsTileTheRangeWithinOnePercentAndAHalf) {
  for (int b = 0; b < kLatencyBuckets; ++b) {
    const int64_t floor = LatencyBucketFloor(b);
    ASSERT_EQ(LatencyBucket(floor), b);
    if (b > 0) {
      ASSERT_EQ(LatencyBucket(floor - 1), b - 1);
    }
    const int64_t width =
        b + 1 < kLatencyBuckets ? LatencyBucketFloor(b + 1) - floor : 0;
    ASSERT_LE(width * 64, std::max<int64_t>(floor, 64)) << b;
  }
  // Past 71 minutes, the last bucket.
  EXPECT_EQ(LatencyBucket(int64_t{1} << 40), kLatencyBuckets - 1);
  EXPECT_GE(LatencyBucketFloor(kLatencyBuckets - 1), int64_t{3600} * 1000000);
}

TEST(LatencyTest, PercentilesAgreeWithTheSortedSamples) {
  std::mt19937_64 rng(3);
  for (const double spread : {3.0, 9.0}) {
    LatencyHistogram h;
    std::vector<int64_t> samples;
    for (int i = 0; i < 20000; ++i) {
      // From 1 µs up to 10^spread µs, log-uniformly, as real latencies
      // spread.
      const double e = std::uniform_real_distribution<double>(0, spread)(rng);
      samples.push_back(static_cast<int64_t>(std::pow(10.0, e)));
      h.Record(samples.back());
    }
    std::sort(samples.begin(), samples.end());
    LatencyCounts counts;
    counts.Add(h);
    ASSERT_EQ(counts.total, samples.size());
    for (const double p : {0.01, 0.5, 0.9, 0.99, 0.999, 1.0}) {
      const auto rank = static_cast<size_t>(
          std::ceil(p * static_cast<double>(samples.size())));
      const int64_t exact = samples[rank - 1];
      const int64_t got = counts.Percentile(p);
      EXPECT_LE(std::abs(got - exact), exact / 100 + 1)
          << "p " << p << " spread " << spread;
    }
  }
  EXPECT_EQ(LatencyCounts{}.Percentile(0.5), 0);
}

class StallTest : public testing::SharedTargetTest {};

// A transfer held past the limit is marked once, warned of again only
// after a minute, and its return told once, with how long it took.
TEST_F(StallTest, AHeldTransferIsAStallUntilItReturns) {
  disk_->WriteRange(8, 4);
  env_.HoldTransfer(1200);
  std::thread reader([&] { disk_->ReadRange(8, 4); });
  const int64_t limit = 300 * 1000 * 1000;  // 0.3 s
  std::vector<StallRecord> began;
  while (began.empty()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const StallNews news = LookForStalls(SteadyNanos(), limit);
    EXPECT_TRUE(news.Returned.empty());
    began = news.Began;
  }
  ASSERT_EQ(began.size(), 1u);
  EXPECT_EQ(began[0].TestCode, 7);
  EXPECT_FALSE(began[0].Write);
  EXPECT_EQ(began[0].First, 8);
  EXPECT_EQ(began[0].Blocks, 4);
  EXPECT_GE(SteadyNanos() - began[0].SinceNs, limit);
  EXPECT_EQ(disk_->Counts->Stalls.load(), 1);
  reader.join();
  const StallNews after = LookForStalls(SteadyNanos(), limit);
  EXPECT_TRUE(after.Began.empty());
  EXPECT_TRUE(after.Again.empty());
  ASSERT_EQ(after.Returned.size(), 1u);
  EXPECT_GE(after.Returned[0].DurationNs, int64_t{1200} * 1000 * 1000);
  EXPECT_EQ(LookForStalls(SteadyNanos(), limit).Returned.size(), 0u);
  // Its time is in the read histogram like any other.
  EXPECT_GE(disk_->Counts->ReadTimes->Max(), 1200 * 1000);
}

TEST_F(StallTest, UnderErrstopAStallEndsTheRunWithExitCodeOne) {
  GTEST_FLAG_SET(death_test_style, "fast");
  disk_->WriteRange(0, 2);
  EXPECT_EXIT(
      {
        g_flags.errstop = 1;
        env_.HoldTransfer(3000);
        const RunWatcher watch(-1, false, StatusPhase::kTests, 0.3);
        disk_->ReadRange(0, 2);
      },
      ::testing::ExitedWithCode(1),
      "Stall: test .* \\(7\\): the read of 2 blocks from block 0 has been "
      "out for .+ s");
}

}  // namespace
}  // namespace vorbex
