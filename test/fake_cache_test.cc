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

constexpr int64_t kBlocks = 256;

// Every byte of block b is b + tag.
std::vector<uint8_t> Pattern(int64_t at, int count, uint8_t tag) {
  std::vector<uint8_t> bytes(static_cast<size_t>(count) * 512);
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<uint8_t>(at + static_cast<int64_t>(i / 512) + tag);
  }
  return bytes;
}

class FakeCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.AddTarget("t", kBlocks * 512);
    ASSERT_EQ(env_.OpenTarget("t", false, &target_), kErrorSuccess);
  }

  uint32_t WriteRaw(int64_t at, const std::vector<uint8_t>& bytes,
                    uint32_t* moved) {
    return target_->WriteAt(at * 512, bytes.data(),
                            static_cast<uint32_t>(bytes.size()), moved);
  }
  std::vector<uint8_t> Write(int64_t at, int count, uint8_t tag) {
    std::vector<uint8_t> bytes = Pattern(at, count, tag);
    uint32_t moved = 0;
    EXPECT_EQ(WriteRaw(at, bytes, &moved), kErrorSuccess);
    EXPECT_EQ(moved, bytes.size());
    return bytes;
  }
  std::vector<uint8_t> Read(int64_t at, int count) {
    std::vector<uint8_t> bytes(static_cast<size_t>(count) * 512);
    uint32_t moved = 0;
    EXPECT_EQ(target_->ReadAt(at * 512, bytes.data(),
                              static_cast<uint32_t>(bytes.size()), &moved),
              kErrorSuccess);
    return bytes;
  }
  std::vector<uint8_t> Medium(int64_t at, int count) {
    return env_.ReadMedium("t", at * 512, static_cast<size_t>(count) * 512);
  }
  static std::vector<uint8_t> Zeros(int count) {
    return std::vector<uint8_t>(static_cast<size_t>(count) * 512, 0);
  }

  FakeEnv env_;
  std::unique_ptr<Target> target_;
};

TEST_F(FakeCacheTest, ReadsServeTheCacheAndTheMediumGetsItOnlyWhenDestaged) {
  env_.EnableWriteCache("t", {});
  std::vector<uint8_t> a = Write(10, 4, 1);
  EXPECT_EQ(Medium(10, 4), Zeros(4));
  EXPECT_EQ(Read(10, 4), a);

  // A short write that cuts a sector merges with what lies beneath it; a
  // failed one caches nothing.
  ASSERT_EQ(target_->Flush(), kErrorSuccess);
  env_.InjectFault(FakeEnv::Fault::kShort, 700);
  const std::vector<uint8_t> b = Pattern(10, 2, 3);
  uint32_t moved = 0;
  ASSERT_EQ(WriteRaw(10, b, &moved), kErrorSuccess);
  EXPECT_EQ(moved, 700u);
  std::copy(b.begin(), b.begin() + 700, a.begin());
  env_.InjectFault(FakeEnv::Fault::kFail, kErrorIoDevice);
  EXPECT_EQ(WriteRaw(12, Pattern(12, 1, 4), &moved), kErrorIoDevice);
  EXPECT_EQ(Read(10, 4), a);

  env_.DisableWriteCache("t");
  EXPECT_EQ(Medium(10, 4), a);

  // The destage thread gets there by itself.
  env_.EnableWriteCache("t", {.seed = 3, .destage_us = 100, .lie = 0});
  const std::vector<uint8_t> c = Write(30, 8, 5);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (Medium(30, 8) != c && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(Medium(30, 8), c);
}

TEST_F(FakeCacheTest, HonestFlushKeepsWhatItCoveredAndLaterWritesAreAllowed) {
  env_.EnableWriteCache("t", {});
  const std::vector<uint8_t> a = Write(10, 4, 1);
  ASSERT_EQ(target_->Flush(), kErrorSuccess);
  EXPECT_EQ(Medium(10, 4), a);
  Write(12, 4, 2);
  const FakeEnv::CutReport r = env_.Cut("t");
  EXPECT_EQ(r.durable_lost, Blocks{});
  EXPECT_EQ(r.allowed_lost, (Blocks{12, 13, 14, 15}));
  EXPECT_EQ(Medium(10, 4), a);
  EXPECT_FALSE(env_.PoweredOn("t"));
}

TEST_F(FakeCacheTest, LyingFlushLosesDurableWritesUnlessNewerOnesReachMedium) {
  env_.EnableWriteCache("t", {.seed = 1, .destage_us = 0, .lie = 1});
  Write(10, 2, 1);
  ASSERT_EQ(target_->Flush(), kErrorSuccess);
  EXPECT_EQ(Medium(10, 2), Zeros(2));
  // Overwritten but never on the medium: what the flush promised is gone.
  Write(11, 1, 2);
  Write(12, 1, 3);
  FakeEnv::CutReport r = env_.Cut("t");
  EXPECT_EQ(r.durable_lost, (Blocks{10, 11}));
  EXPECT_EQ(r.allowed_lost, Blocks{12});

  // Overwritten, and the newer write flushed honestly: nothing is owed.
  env_.PowerOn("t");
  Write(20, 2, 1);
  ASSERT_EQ(target_->Flush(), kErrorSuccess);
  const std::vector<uint8_t> newer = Write(21, 1, 2);
  env_.EnableWriteCache("t", {});
  ASSERT_EQ(target_->Flush(), kErrorSuccess);
  EXPECT_EQ(Medium(21, 1), newer);
  r = env_.Cut("t");
  EXPECT_EQ(r.durable_lost, Blocks{});
  EXPECT_EQ(r.allowed_lost, Blocks{});

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
  EXPECT_GT(missing.size(), 0u);
  EXPECT_LT(missing.size(), 64u);
}

TEST_F(FakeCacheTest, TransfersAndFlushesFailFromACutUntilPowerOn) {
  // No cache: the medium had everything, so nothing is lost.
  const std::vector<uint8_t> a = Write(10, 1, 1);
  EXPECT_EQ(env_.Cut("t").allowed_lost, Blocks{});
  std::vector<uint8_t> got(512);
  uint32_t moved = 1;
  EXPECT_EQ(WriteRaw(10, Pattern(10, 1, 2), &moved), kErrorNotReady);
  EXPECT_EQ(moved, 0u);
  EXPECT_EQ(target_->ReadAt(10 * 512, got.data(), 512, &moved), kErrorNotReady);
  EXPECT_EQ(target_->Flush(), kErrorNotReady);
  EXPECT_EQ(Medium(10, 1), a);
  env_.PowerOn("t");
  EXPECT_EQ(Read(10, 1), a);

  // A cut that comes while a write is out, before it moved anything.
  env_.EnableWriteCache("t", {});
  env_.OnTransfer(FakeEnv::When::kBefore, [this] { env_.Cut("t"); });
  EXPECT_EQ(WriteRaw(10, Pattern(10, 1, 3), &moved), kErrorNotReady);
  env_.PowerOn("t");
  EXPECT_EQ(Read(10, 1), a);
}

TEST_F(FakeCacheTest, CutDuringWriteLandsSomeSectorsAndFailsTheWrite) {
  env_.EnableWriteCache("t", {.seed = 1, .destage_us = 0, .lie = 1});
  Write(100, 64, 1);
  ASSERT_EQ(target_->Flush(), kErrorSuccess);
  env_.CutDuringWrite("t", 1);
  Write(40, 1, 2);
  const std::vector<uint8_t> torn = Pattern(100, 64, 3);
  uint32_t moved = 1;
  EXPECT_EQ(WriteRaw(100, torn, &moved), kErrorNotReady);
  EXPECT_EQ(moved, 0u);
  EXPECT_FALSE(env_.PoweredOn("t"));

  // A promised sector that the torn write landed on holds newer data: not
  // a loss. Every other one is.
  const FakeEnv::CutReport r = env_.LastCut("t");
  EXPECT_EQ(r.allowed_lost, Blocks{40});
  EXPECT_GT(r.torn_landed.size(), 0u);
  EXPECT_LT(r.torn_landed.size(), 64u);
  for (int64_t b = 100; b < 164; ++b) {
    const bool landed =
        std::binary_search(r.torn_landed.begin(), r.torn_landed.end(), b);
    EXPECT_NE(landed, std::binary_search(r.durable_lost.begin(),
                                         r.durable_lost.end(), b))
        << b;
    EXPECT_EQ(Medium(b, 1), landed ? Pattern(b, 1, 3) : Zeros(1)) << b;
  }
}

// Writers each own a stretch of blocks and stamp each write with a
// sequence number; a flusher promises what had returned before each flush
// that succeeds. Whatever the interleaving, every block whose medium holds
// less than was promised must be reported, and every block reported must
// have lost something acknowledged.
TEST(FakeCacheConcurrencyTest, CutAmidWritersAndFlushesReportsEveryLoss) {
  constexpr int kWriters = 4;
  constexpr int kSpan = 16;
  constexpr int kTotal = kWriters * kSpan;
  FakeEnv env;
  env.AddTarget("t", int64_t{kTotal} * 512);
  env.EnableWriteCache("t", {.seed = 7, .destage_us = 500, .lie = 0.5});

  std::mutex mu;
  std::vector<uint32_t> returned(kTotal, 0);  // newest seq acknowledged
  std::vector<uint32_t> promised(kTotal, 0);  // newest seq a flush covered
  std::atomic<int> flushes{0};
  std::vector<uint32_t> last_error(kWriters + 1, kErrorSuccess);

  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      std::unique_ptr<Target> t;
      ASSERT_EQ(env.OpenTarget("t", false, &t), kErrorSuccess);
      std::vector<uint8_t> block(512), back(512);
      for (uint32_t seq = 1;; ++seq) {
        const int b = w * kSpan + static_cast<int>(seq % kSpan);
        std::memcpy(block.data(), &seq, sizeof seq);
        uint32_t moved = 0;
        uint32_t rc = t->WriteAt(int64_t{b} * 512, block.data(), 512, &moved);
        if (rc == kErrorSuccess) {
          std::lock_guard<std::mutex> hold(mu);
          returned[static_cast<size_t>(b)] = seq;
        }
        if (rc == kErrorSuccess) {
          rc = t->ReadAt(int64_t{b} * 512, back.data(), 512, &moved);
        }
        if (rc != kErrorSuccess) {
          last_error[static_cast<size_t>(w)] = rc;
          return;
        }
        ASSERT_EQ(back, block);
      }
    });
  }
  threads.emplace_back([&] {
    std::unique_ptr<Target> t;
    ASSERT_EQ(env.OpenTarget("t", false, &t), kErrorSuccess);
    for (;;) {
      std::vector<uint32_t> before;
      {
        std::lock_guard<std::mutex> hold(mu);
        before = returned;
      }
      const uint32_t rc = t->Flush();
      if (rc != kErrorSuccess) {
        last_error[kWriters] = rc;
        return;
      }
      {
        std::lock_guard<std::mutex> hold(mu);
        for (size_t b = 0; b < before.size(); ++b) {
          promised[b] = std::max(promised[b], before[b]);
        }
      }
      ++flushes;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  while (flushes < 20) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const FakeEnv::CutReport r = env.Cut("t");
  for (std::thread& t : threads) t.join();

  for (const uint32_t rc : last_error) EXPECT_EQ(rc, kErrorNotReady);
  const std::vector<uint8_t> medium =
      env.ReadMedium("t", 0, size_t{kTotal} * 512);
  for (int64_t b = 0; b < kTotal; ++b) {
    uint32_t seq = 0;
    std::memcpy(&seq, medium.data() + b * 512, sizeof seq);
    const auto i = static_cast<size_t>(b);
    const auto in = [b](const Blocks& v) {
      return std::binary_search(v.begin(), v.end(), b);
    };
    if (seq < promised[i]) {
      EXPECT_TRUE(in(r.durable_lost)) << b;
    }
    if (in(r.durable_lost) || in(r.allowed_lost)) {
      EXPECT_LT(seq, returned[i]) << b;
    }
  }
}

}  // namespace
}  // namespace vorbex::platform
