#ifndef VORBEX_TEST_FAKE_DISK_TEST_H_
#define VORBEX_TEST_FAKE_DISK_TEST_H_

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/flags.h"
#include "disk/test_disk.h"
#include "platform/fake_env.h"

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

}  // namespace vorbex::testing

#endif  // VORBEX_TEST_FAKE_DISK_TEST_H_
