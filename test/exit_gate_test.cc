// The exit gate: the process ends between writes, never in the middle of one,
// and never waits long for a device that does not answer.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "base/exit_gate.h"
#include "base/process_end.h"
#include "base/sleep.h"
#include "disk/block_format.h"
#include "fake_disk_test.h"
#include "support/fake_env.h"

namespace vorbex {
namespace {

using platform::FakeEnv;

// A gate that opens again, as the process's never does, so that a test can
// let the writes it parked go and end.
class ReopenableGate : public ExitGate {
 public:
  void Reopen() { closed_.store(false, std::memory_order_release); }
};

// Writes on threads of their own through a gate of the test's own, which
// stands in for the process's.
class ExitGateTest : public testing::SharedTargetTest {
 protected:
  void SetUp() override {
    SharedTargetTest::SetUp();
    SetProcessExitGate(&gate_);
  }

  void TearDown() override {
    release_ = true;
    gate_.Reopen();
    for (auto& t : threads_) t.join();
    SetProcessExitGate(nullptr);
    SharedTargetTest::TearDown();
  }

  void Spawn(std::function<void()> f) { threads_.emplace_back(std::move(f)); }

  // The next transfer says when it has begun, then holds until released.
  void HoldNextTransfer() {
    env_.OnTransfer(FakeEnv::When::kBefore, [this] {
      moving_ = true;
      while (!release_) SleepMilliseconds(1);
    });
  }
  void AwaitTransfer() {
    while (!moving_) SleepMilliseconds(1);
  }

  bool Stamped(int32_t b) {
    return LoadHeader(OnDisk(b).data()).Magic == kMagic;
  }

  ReopenableGate gate_;
  std::atomic<bool> moving_{false};
  std::atomic<bool> release_{false};
  std::vector<std::thread> threads_;
};

TEST_F(ExitGateTest, DrainWaitsForTheWriteInFlightAndNoWriteStartsAfter) {
  HoldNextTransfer();
  Spawn([this] { disk_->WriteRange(1, 2); });
  AwaitTransfer();
  ASSERT_TRUE(gate_.Close());
  // Released late enough that a drain which did not wait would be back
  // first.
  Spawn([this] {
    SleepMilliseconds(50);
    release_ = true;
  });
  EXPECT_TRUE(gate_.Drain(std::chrono::seconds(10)));
  EXPECT_TRUE(Stamped(1));
  EXPECT_TRUE(Stamped(2));

  Spawn([this] { other_->WriteRange(10, 1); });
  SleepMilliseconds(50);
  EXPECT_FALSE(gate_.Close());
  EXPECT_TRUE(gate_.Drain(std::chrono::milliseconds(0)));
  EXPECT_EQ(env_.Transfers().size(), 1u);
  EXPECT_FALSE(Stamped(10));
  // Parked, not dropped: it writes once the gate opens.
  gate_.Reopen();
  for (auto& t : threads_) t.join();
  threads_.clear();
  EXPECT_TRUE(Stamped(10));
}

TEST_F(ExitGateTest, DrainGivesUpOnAHungWrite) {
  HoldNextTransfer();
  Spawn([this] { disk_->WriteRange(1, 1); });
  AwaitTransfer();
  ASSERT_TRUE(gate_.Close());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(gate_.Drain(std::chrono::milliseconds(50)));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(50));
  EXPECT_LT(waited, std::chrono::seconds(5));
  release_ = true;
  EXPECT_TRUE(gate_.Drain(std::chrono::seconds(10)));
}

// In a child: EndProcess exits only once the write in flight has finished,
// with the first failure that any thread asked for.
TEST_F(ExitGateTest, EndProcessExitsAfterTheWriteInFlight) {
  GTEST_FLAG_SET(death_test_style, "fast");
  const auto end_during_write = [this](int code, int later_code) {
    env_.OnTransfer(FakeEnv::When::kBefore, [this] {
      moving_ = true;
      SleepMilliseconds(100);
    });
    env_.OnTransfer(FakeEnv::When::kAfter,
                    [] { std::fputs("write finished\n", stderr); });
    Spawn([this] { disk_->WriteRange(1, 1); });
    AwaitTransfer();
    if (later_code >= 0) {
      // An errstop report that comes while the run ends.
      Spawn([later_code] {
        SleepMilliseconds(20);
        EndProcess(later_code);
      });
    }
    EndProcess(code);
  };
  EXPECT_EXIT(end_during_write(3, -1), ::testing::ExitedWithCode(3),
              "write finished");
  EXPECT_EXIT(end_during_write(0, 1), ::testing::ExitedWithCode(1),
              "write finished");
}

}  // namespace
}  // namespace vorbex
