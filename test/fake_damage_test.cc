// The fake target's silent damage: what lands on the medium, what the
// observer is told, and that a whole-block write ends it. The fault suite
// trusts these records to attribute every report, so they must be exact.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/env.h"
#include "platform/error_codes.h"
#include "support/fake_env.h"

namespace vorbex::platform {
namespace {

using Damage = FakeEnv::Damage;
using Event = FakeEnv::DamageEvent;

constexpr int64_t kBlocks = 256;

class FakeDamageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.AddTarget("t", kBlocks * 512);
    env_.ObserveDamage([this](const Event& e) {
      events_.push_back(e);
      events_.back().intended = nullptr;  // valid only during the call
    });
    ASSERT_EQ(env_.OpenTarget("t", false, &target_), kErrorSuccess);
  }
  void TearDown() override { target_.reset(); }

  // Writes `count` blocks at block `at`, every byte of block b equal to
  // b + tag, and returns what the caller meant to write.
  std::vector<uint8_t> Write(int64_t at, int count, uint8_t tag) {
    std::vector<uint8_t> bytes(static_cast<size_t>(count) * 512);
    for (size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = static_cast<uint8_t>(at + static_cast<int64_t>(i / 512) + tag);
    }
    uint32_t moved = 0;
    EXPECT_EQ(target_->WriteAt(at * 512, bytes.data(),
                               static_cast<uint32_t>(bytes.size()), &moved),
              kErrorSuccess);
    EXPECT_EQ(moved, bytes.size());
    return bytes;
  }
  std::vector<uint8_t> Medium(int64_t at, int count) {
    return env_.ReadMedium("t", at * 512, static_cast<size_t>(count) * 512);
  }
  std::vector<int64_t> Placed() const {
    std::vector<int64_t> blocks;
    for (const Event& e : events_) {
      if (e.kind == Event::kPlaced) blocks.push_back(e.block);
    }
    return blocks;
  }

  FakeEnv env_;
  std::unique_ptr<Target> target_;
  std::vector<Event> events_;
};

TEST_F(FakeDamageTest, EachWriteDamageLandsWhatItSaysAndRecordsTheRest) {
  struct Case {
    Damage damage;
    int lo, hi;
    uint32_t mask;
  };
  for (const Case& c :
       {Case{Damage::kLost, 0, 512, 0}, Case{Damage::kTorn, 0, 512, 0},
        Case{Damage::kTornBlock, 0, 512, 0},
        Case{Damage::kMisdirected, 0, 512, 0},
        Case{Damage::kXor, 4, 8, 0x00010000},
        Case{Damage::kXor, 304, 512, 0}}) {
    SCOPED_TRACE(static_cast<int>(c.damage));
    env_.AddTarget("t", kBlocks * 512);
    events_.clear();
    env_.ArmDamage("t", {c.damage, c.lo, c.hi, c.mask, 1});
    const std::vector<uint8_t> meant = Write(100, 4, 7);
    const std::vector<uint8_t> got = Medium(100, 4);
    const std::vector<int64_t> placed = Placed();
    ASSERT_FALSE(placed.empty());
    switch (c.damage) {
      case Damage::kLost:
        EXPECT_EQ(got, std::vector<uint8_t>(got.size(), 0));
        EXPECT_EQ(placed, (std::vector<int64_t>{100, 101, 102, 103}));
        break;
      case Damage::kTorn:
      case Damage::kTornBlock: {
        // The first damaged block is where the write stopped landing.
        const int64_t cut = (placed[0] - 100) * 512 +
                            (c.damage == Damage::kTorn ? 0 : events_[0].byte);
        for (int64_t i = 0; i < 2048; ++i) {
          ASSERT_EQ(got[i], i < cut ? meant[i] : 0) << i;
        }
        EXPECT_EQ(placed.back(), 103);
        break;
      }
      case Damage::kMisdirected: {
        EXPECT_EQ(got, std::vector<uint8_t>(got.size(), 0));
        // Sent to 100 ... 103, landed 1 ... 64 blocks away, all recorded.
        const int64_t to = placed[4] < 100 ? placed[4] : placed.back() - 3;
        EXPECT_EQ(Medium(to, 4), meant);
        EXPECT_GE(placed.size(), 5u);
        EXPECT_LE(std::abs(to - 100), 64);
        break;
      }
      case Damage::kXor: {
        ASSERT_EQ(placed.size(), 1u);
        const Event& e = events_[0];
        size_t differ = 0;
        for (size_t i = 0; i < got.size(); ++i) {
          if (got[i] != meant[i]) ++differ;
        }
        EXPECT_EQ(differ, 1u);
        EXPECT_GE(e.byte, c.lo);
        EXPECT_LT(e.byte, c.hi);
        EXPECT_NE(got[static_cast<size_t>((e.block - 100) * 512 + e.byte)],
                  meant[static_cast<size_t>((e.block - 100) * 512 + e.byte)]);
        break;
      }
      case Damage::kStale: break;
    }
    // A clean write over the damage ends it, and says so.
    Write(0, 200, 9);
    EXPECT_EQ(std::count_if(
                  events_.begin(), events_.end(),
                  [](const Event& e) { return e.kind == Event::kOverwritten; }),
              static_cast<long>(placed.size()));
  }
}

TEST_F(FakeDamageTest, StaleReadsServeThePreviousVersionOnceAndLeaveTheMedium) {
  env_.KeepPreviousVersions("t");
  const std::vector<uint8_t> first = Write(10, 1, 1);
  const std::vector<uint8_t> second = Write(10, 1, 2);
  env_.ArmDamage("t", {Damage::kStale, 0, 512, 0, 1});
  std::vector<uint8_t> got(512);
  uint32_t moved = 0;
  ASSERT_EQ(target_->ReadAt(10 * 512, got.data(), 512, &moved), kErrorSuccess);
  EXPECT_EQ(got, first);
  ASSERT_EQ(events_.size(), 2u);
  EXPECT_EQ(events_[1].kind, Event::kRead);
  EXPECT_EQ(events_[1].reader, target_.get());
  ASSERT_EQ(target_->ReadAt(10 * 512, got.data(), 512, &moved), kErrorSuccess);
  EXPECT_EQ(got, second);
  EXPECT_EQ(Medium(10, 1), second);
}

TEST_F(FakeDamageTest, DamageAtRateStopsAtItsLimitAndSparesEarlyBlocks) {
  env_.DamageAtRate("t", {Damage::kLost, 0, 512, 0, 50}, 1.0, 3);
  for (int i = 0; i < 6; ++i) Write(40 + i * 8, 8, 0);
  EXPECT_EQ(Placed().size(), 8u * 3);
  // The writes at 40 and 48 start before block 50; the one at 80 lands.
  EXPECT_EQ(Placed().front(), 56);
  EXPECT_FALSE(env_.DamageAtRest("t", 200, {Damage::kXor, 0, 48, 0, 0}));
  EXPECT_TRUE(env_.DamageAtRest("t", 82, {Damage::kXor, 0, 48, 0, 0}));
  EXPECT_TRUE(events_.back().at_rest);
}

}  // namespace
}  // namespace vorbex::platform
