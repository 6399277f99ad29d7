// The fake target's volatile write cache and power cuts. The power-cut
// tests judge a run's verdict against the cut's report, so the report must
// name exactly the sectors that a flush promised and the medium lacks.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/env.h"
#include "platform/error_codes.h"
#include "support/fake_env.h"

namespace vorbex::platform {
namespace {

using Blocks = std::vector<int64_t>;
using Bytes = std::vector<uint8_t>;

Bytes Zeros(int count) { return Bytes(static_cast<size_t>(count) * 512); }

// Every byte of block b is b + tag.
Bytes Pattern(int64_t at, int count, int tag) {
  Bytes bytes = Zeros(count);
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<uint8_t>(at + static_cast<int64_t>(i / 512) + tag);
  }
  return bytes;
}

bool Has(const Blocks& sorted, int64_t b) {
  return std::binary_search(sorted.begin(), sorted.end(), b);
}

class FakeCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.AddTarget("t", 256 * 512);
    ASSERT_EQ(env_.OpenTarget("t", false, &target_), kErrorSuccess);
  }
  uint32_t Try(int64_t at, const Bytes& bytes, uint32_t* moved = nullptr) {
    uint32_t n = 0;
    return target_->WriteAt(at * 512, bytes.data(),
                            static_cast<uint32_t>(bytes.size()),
                            moved != nullptr ? moved : &n);
  }
  Bytes Write(int64_t at, int count, int tag) {
    Bytes bytes = Pattern(at, count, tag);
    EXPECT_EQ(Try(at, bytes), kErrorSuccess);
    return bytes;
  }
  Bytes Read(int64_t at, int count) {
    Bytes bytes = Zeros(count);
    uint32_t moved = 0;
    EXPECT_EQ(target_->ReadAt(at * 512, bytes.data(),
                              static_cast<uint32_t>(bytes.size()), &moved),
              kErrorSuccess);
    return bytes;
  }
  Bytes Medium(int64_t at, int count) {
    return env_.ReadMedium("t", at * 512, static_cast<size_t>(count) * 512);
  }

  FakeEnv env_;
  std::unique_ptr<Target> target_;
};

TEST_F(FakeCacheTest, ReadsServeTheCacheAndTheMediumGetsItOnlyWhenDestaged) {
  env_.EnableWriteCache("t", {});
  Bytes a = Write(10, 2, 1);
  EXPECT_EQ(Medium(10, 2), Zeros(2));
  EXPECT_EQ(Read(10, 2), a);
  ASSERT_EQ(target_->Flush(), kErrorSuccess);
  // A short write that cuts a sector merges with what lies beneath it.
  env_.InjectFault(FakeEnv::Fault::kShort, 700);
  const Bytes b = Pattern(10, 2, 3);
  uint32_t moved = 0;
  ASSERT_EQ(Try(10, b, &moved), kErrorSuccess);
  ASSERT_EQ(moved, 700u);
  std::copy(b.begin(), b.begin() + 700, a.begin());
  EXPECT_EQ(Read(10, 2), a);
  env_.DisableWriteCache("t");
  EXPECT_EQ(Medium(10, 2), a);
}

TEST_F(FakeCacheTest, HonestFlushKeepsWhatItCoveredAndLaterWritesAreAllowed) {
  env_.EnableWriteCache("t", {});
  const Bytes a = Write(10, 4, 1);
  ASSERT_EQ(target_->Flush(), kErrorSuccess);
  Write(12, 4, 2);
  const FakeEnv::CutReport r = env_.Cut("t");
  EXPECT_EQ(r.durable_lost, Blocks{});
  EXPECT_EQ(r.allowed_lost, (Blocks{12, 13, 14, 15}));
  EXPECT_EQ(Medium(10, 4), a);
}

TEST_F(FakeCacheTest, LyingFlushLosesDurableWritesUnlessNewerOnesReachMedium) {
  env_.EnableWriteCache("t", {.seed = 1, .destage_us = 0, .lie = 1});
  Write(10, 2, 1);
  ASSERT_EQ(target_->Flush(), kErrorSuccess);
  Write(11, 2, 2);  // over a kept-back sector, never on the medium
  FakeEnv::CutReport r = env_.Cut("t");
  EXPECT_EQ(r.durable_lost, (Blocks{10, 11}));
  EXPECT_EQ(r.allowed_lost, Blocks{12});

  env_.PowerOn("t");
  Write(20, 1, 1);
  ASSERT_EQ(target_->Flush(), kErrorSuccess);
  Write(20, 1, 2);
  env_.EnableWriteCache("t", {});  // honest from now on
  ASSERT_EQ(target_->Flush(), kErrorSuccess);
  EXPECT_EQ(env_.Cut("t").durable_lost, Blocks{});

  // A partial liar: the report names exactly what the medium lacks.
  env_.PowerOn("t");
  env_.EnableWriteCache("t", {.seed = 5, .destage_us = 0, .lie = 0.5});
  Write(100, 64, 1);
  ASSERT_EQ(target_->Flush(), kErrorSuccess);
  r = env_.Cut("t");
  Blocks missing;
  for (int64_t b = 100; b < 164; ++b) {
    if (Medium(b, 1) == Zeros(1)) missing.push_back(b);
  }
  EXPECT_EQ(r.durable_lost, missing);
  EXPECT_TRUE(!missing.empty() && missing.size() < 64);
}

TEST_F(FakeCacheTest, TransfersAndFlushesFailFromACutUntilPowerOn) {
  const Bytes a = Write(10, 1, 1);  // no cache: nothing to lose
  EXPECT_EQ(env_.Cut("t").allowed_lost, Blocks{});
  Bytes got = Zeros(1);
  uint32_t moved = 1;
  EXPECT_EQ(Try(10, Pattern(10, 1, 2), &moved), kErrorNotReady);
  EXPECT_EQ(moved, 0u);
  EXPECT_EQ(target_->ReadAt(10 * 512, got.data(), 512, &moved), kErrorNotReady);
  EXPECT_EQ(target_->Flush(), kErrorNotReady);
  env_.PowerOn("t");
  EXPECT_EQ(Read(10, 1), a);

  // A cut while a write is out, before it moved anything, fails it.
  env_.EnableWriteCache("t", {});
  env_.OnTransfer(FakeEnv::When::kBefore, [this] { env_.Cut("t"); });
  EXPECT_EQ(Try(10, Pattern(10, 1, 3)), kErrorNotReady);
  env_.PowerOn("t");
  EXPECT_EQ(Read(10, 1), a);
}

TEST_F(FakeCacheTest, CutDuringWriteLandsSomeSectorsAndFailsTheWrite) {
  env_.EnableWriteCache("t", {.seed = 1, .destage_us = 0, .lie = 1});
  Write(100, 64, 1);
  ASSERT_EQ(target_->Flush(), kErrorSuccess);
  env_.CutDuringWrite("t", 1);
  Write(40, 1, 2);
  EXPECT_EQ(Try(100, Pattern(100, 64, 3)), kErrorNotReady);
  EXPECT_FALSE(env_.PoweredOn("t"));
  // A promised sector that the torn write landed on holds newer data: not
  // a loss. Every other one is.
  const FakeEnv::CutReport r = env_.LastCut("t");
  EXPECT_EQ(r.allowed_lost, Blocks{40});
  EXPECT_TRUE(!r.torn_landed.empty() && r.torn_landed.size() < 64);
  for (int64_t b = 100; b < 164; ++b) {
    EXPECT_NE(Has(r.torn_landed, b), Has(r.durable_lost, b)) << b;
    EXPECT_EQ(Medium(b, 1), Has(r.torn_landed, b) ? Pattern(b, 1, 3) : Zeros(1))
        << b;
  }
}

// Writers stamp each write of their own blocks with a sequence number; a
// flusher promises what had returned before each flush that succeeds, while
// the destage thread runs. Whatever the interleaving, a block whose medium
// holds less than was promised must be reported, and a block reported must
// have lost something acknowledged.
TEST(FakeCacheConcurrencyTest, CutAmidWritersAndFlushesReportsEveryLoss) {
  constexpr int kWriters = 4;
  constexpr int kTotal = kWriters * 16;
  FakeEnv env;
  env.AddTarget("t", kTotal * 512);
  env.EnableWriteCache("t", {.seed = 7, .destage_us = 500, .lie = 0.5});
  std::mutex mu;
  std::vector<uint32_t> returned(kTotal), promised(kTotal);
  std::atomic<int> flushes{0};
  std::vector<uint32_t> ends(kWriters + 1, kErrorSuccess);
  const auto write = [&](int w) {
    std::unique_ptr<Target> t;
    ASSERT_EQ(env.OpenTarget("t", false, &t), kErrorSuccess);
    Bytes block = Zeros(1);
    uint32_t moved = 0;
    for (uint32_t seq = 1; ends[w] == kErrorSuccess; ++seq) {
      const size_t b = static_cast<size_t>(w) * 16 + seq % 16;
      std::memcpy(block.data(), &seq, sizeof seq);
      ends[w] =
          t->WriteAt(static_cast<int64_t>(b) * 512, block.data(), 512, &moved);
      const std::lock_guard<std::mutex> hold(mu);
      if (ends[w] == kErrorSuccess) returned[b] = seq;
    }
  };
  const auto flush = [&] {
    std::unique_ptr<Target> t;
    ASSERT_EQ(env.OpenTarget("t", false, &t), kErrorSuccess);
    for (;;) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      std::vector<uint32_t> before;
      {
        const std::lock_guard<std::mutex> hold(mu);
        before = returned;
      }
      if ((ends[kWriters] = t->Flush()) != kErrorSuccess) return;
      const std::lock_guard<std::mutex> hold(mu);
      for (size_t i = 0; i < before.size(); ++i) {
        promised[i] = std::max(promised[i], before[i]);
      }
      ++flushes;
    }
  };
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) threads.emplace_back(write, w);
  threads.emplace_back(flush);
  while (flushes < 20) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const FakeEnv::CutReport r = env.Cut("t");
  for (std::thread& t : threads) t.join();

  for (const uint32_t rc : ends) EXPECT_EQ(rc, kErrorNotReady);
  const Bytes medium = env.ReadMedium("t", 0, kTotal * 512);
  for (int64_t b = 0; b < kTotal; ++b) {
    uint32_t seq = 0;
    std::memcpy(&seq, medium.data() + b * 512, sizeof seq);
    const auto i = static_cast<size_t>(b);
    EXPECT_TRUE(seq >= promised[i] || Has(r.durable_lost, b)) << b;
    if (Has(r.durable_lost, b) || Has(r.allowed_lost, b)) {
      EXPECT_LT(seq, returned[i]) << b;
    }
  }
}

}  // namespace
}  // namespace vorbex::platform
