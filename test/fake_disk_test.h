#ifndef VORBEX_TEST_FAKE_DISK_TEST_H_
#define VORBEX_TEST_FAKE_DISK_TEST_H_

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/flags.h"
#include "disk/disk_handle.h"
#include "support/fake_env.h"

namespace vorbex::testing {

// TestDisks on in-memory targets. Every disk a test opens is closed after it,
// and the test fails if anything Open made is still there then.
class FakeDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_flags_ = g_flags;
    platform::SetCurrentEnv(&env_);
  }

  void TearDown() override {
    for (auto& d : disks_) {
      if (d->Table != nullptr) d->Close();
    }
    EXPECT_EQ(DiskListHead(), nullptr);
    EXPECT_EQ(ReportLock(), nullptr);
    EXPECT_EQ(env_.OpenTargetCount(), 0);
    EXPECT_EQ(env_.LiveAllocationCount(), 0);
    platform::SetCurrentEnv(nullptr);
    g_flags = saved_flags_;
  }

  TestDisk* Open(const std::string& path, int32_t buffer_blocks = 4,
                 int32_t test_code = 0) {
    disks_.push_back(std::make_unique<TestDisk>());
    disks_.back()->Open(path, test_code, buffer_blocks);
    return disks_.back().get();
  }

  void Close(TestDisk* d) { d->Close(); }

  platform::FakeEnv env_;
  std::vector<std::unique_ptr<TestDisk>> disks_;

 private:
  Flags saved_flags_;
};

// Two TestDisks, of tests 7 and 9, on one in-memory target of 64 blocks, and
// ways to look at and change what its medium holds.
class SharedTargetTest : public FakeDiskTest {
 protected:
  static constexpr int32_t kBlocks = 64;

  void SetUp() override {
    FakeDiskTest::SetUp();
    g_flags.RunID = 0x1234;
    env_.AddTarget("t.img", kBlocks * 512);
    disk_ = Open("t.img", 16, 7);
    other_ = Open("t.img", 16, 9);
  }

  std::vector<uint8_t> OnDisk(int32_t b) {
    return env_.ReadMedium("t.img", static_cast<int64_t>(b) * 512, 512);
  }
  void PutOnDisk(int32_t b, const std::vector<uint8_t>& bytes) {
    env_.WriteMedium("t.img", static_cast<int64_t>(b) * 512, bytes);
  }
  std::atomic<BlockState>& Entry(int32_t b) { return disk_->Table->States[b]; }
  BlockState State(int32_t b) { return Entry(b).load(); }

  TestDisk* disk_ = nullptr;
  TestDisk* other_ = nullptr;
};

}  // namespace vorbex::testing

#endif  // VORBEX_TEST_FAKE_DISK_TEST_H_
