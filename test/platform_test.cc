// The contract of the platform layer, held by the native Env on real files
// and by the fake one alike, and the native Env's own duties.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>

#include "platform/env.h"
#include "platform/errno_table.h"
#include "platform/error_codes.h"
#include "platform/volume_size.h"
#include "support/fake_env.h"
#include "test_support.h"

namespace vorbex::platform {
namespace {

using vorbex::testing::MakeSparseFile;
using vorbex::testing::TempDir;

constexpr int64_t kTargetBytes = 16 * 512;

class EnvContractTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam()) {
      env_ = NativeEnv();
      path_ = dir_.File("target.img");
      MakeSparseFile(path_, kTargetBytes);
    } else {
      env_ = &fake_;
      path_ = "target.img";
      fake_.AddTarget(path_, kTargetBytes);
    }
    ASSERT_EQ(env_->OpenTarget(path_, false, &target_), kErrorSuccess);
    uint32_t error = 0;
    buffer_ = static_cast<uint8_t*>(env_->AllocatePages(4 * 512, &error));
    ASSERT_NE(buffer_, nullptr) << error;
  }
  void TearDown() override {
    if (buffer_ != nullptr) env_->FreePages(buffer_, 4 * 512);
  }

  TempDir dir_;
  FakeEnv fake_;
  Env* env_ = nullptr;
  std::string path_;
  std::unique_ptr<Target> target_;
  uint8_t* buffer_ = nullptr;
};

TEST_P(EnvContractTest, WritesComeBackFromTheirOffset) {
  EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer_) % 4096, 0u);
  for (int i = 0; i < 4 * 512; ++i) EXPECT_EQ(buffer_[i], 0) << i;
  for (int i = 0; i < 2 * 512; ++i) buffer_[i] = static_cast<uint8_t>(i * 7);
  uint32_t moved = 0;
  ASSERT_EQ(target_->WriteAt(3 * 512, buffer_, 2 * 512, &moved), kErrorSuccess);
  EXPECT_EQ(moved, 2u * 512);
  std::memset(buffer_, 0, 4 * 512);
  ASSERT_EQ(target_->ReadAt(2 * 512, buffer_, 4 * 512, &moved), kErrorSuccess);
  EXPECT_EQ(moved, 4u * 512);
  for (int i = 0; i < 512; ++i) ASSERT_EQ(buffer_[i], 0) << i;
  for (int i = 0; i < 2 * 512; ++i) {
    ASSERT_EQ(buffer_[512 + i], static_cast<uint8_t>(i * 7)) << i;
  }
  int64_t bytes = 0;
  ASSERT_EQ(target_->QuerySize(&bytes), kErrorSuccess);
  EXPECT_EQ(bytes, kTargetBytes);
}

TEST_P(EnvContractTest, ReadingAcrossTheEndMovesLess) {
  uint32_t moved = 0;
  ASSERT_EQ(target_->ReadAt(kTargetBytes - 512, buffer_, 4 * 512, &moved),
            kErrorSuccess);
  EXPECT_EQ(moved, 512u);
  ASSERT_EQ(target_->ReadAt(kTargetBytes, buffer_, 512, &moved), kErrorSuccess);
  EXPECT_EQ(moved, 0u);
}

// A window of blocks 4 .. 9 is a target of six blocks: its offsets count
// from block 4, and a transfer that runs past its end stops there, leaving
// block 10 as it was.
TEST_P(EnvContractTest, AWindowSeesOnlyItsOwnBytes) {
  std::unique_ptr<Target> window =
      WindowOf(std::move(target_), 4 * 512, 6 * 512);
  int64_t bytes = 0;
  ASSERT_EQ(window->QuerySize(&bytes), kErrorSuccess);
  EXPECT_EQ(bytes, 6 * 512);
  std::memset(buffer_, 0x5A, 4 * 512);
  uint32_t moved = 0;
  ASSERT_EQ(window->WriteAt(4 * 512, buffer_, 4 * 512, &moved), kErrorSuccess);
  EXPECT_EQ(moved, 2u * 512);
  ASSERT_EQ(window->WriteAt(6 * 512, buffer_, 512, &moved), kErrorSuccess);
  EXPECT_EQ(moved, 0u);

  std::unique_ptr<Target> whole;
  ASSERT_EQ(env_->OpenTarget(path_, false, &whole), kErrorSuccess);
  ASSERT_EQ(whole->ReadAt(7 * 512, buffer_, 4 * 512, &moved), kErrorSuccess);
  EXPECT_EQ(moved, 4u * 512);
  EXPECT_EQ(buffer_[0], 0);           // block 7, before the write
  EXPECT_EQ(buffer_[512], 0x5A);      // block 8, the window's block 4
  EXPECT_EQ(buffer_[2 * 512], 0x5A);  // block 9, its last
  EXPECT_EQ(buffer_[3 * 512], 0);     // block 10, past its end
  EXPECT_EQ(window->ReadAt(5 * 512, buffer_, 2 * 512, &moved), kErrorSuccess);
  EXPECT_EQ(moved, 512u);
}

TEST_P(EnvContractTest, MissingTargetsAreNotCreated) {
  std::unique_ptr<Target> t;
  const std::string missing = GetParam() ? dir_.File("missing") : "missing";
  EXPECT_EQ(env_->OpenTarget(missing, false, &t), kErrorFileNotFound);
  EXPECT_EQ(t, nullptr);
  if (GetParam()) {
    EXPECT_FALSE(std::filesystem::exists(missing));
  }
}

INSTANTIATE_TEST_SUITE_P(NativeAndFake, EnvContractTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Native" : "Fake";
                         });

TEST(NativeEnvTest, RegularFileOfFiveGibibytesHasItsFullSize) {
  TempDir dir;
  const std::string path = dir.File("five.img");
  MakeSparseFile(path, uint64_t{5} << 30);
  std::unique_ptr<Target> t;
  ASSERT_EQ(NativeEnv()->OpenTarget(path, false, &t), kErrorSuccess);
  int64_t bytes = 0;
  ASSERT_EQ(t->QuerySize(&bytes), kErrorSuccess);
  EXPECT_EQ(bytes, int64_t{5} << 30);
  EXPECT_FALSE(NativeEnv()->NamesDevice(path));
}

TEST(NativeEnvTest, OpenFailuresCarryTheWindowsCode) {
  TempDir dir;
  const std::string file = dir.File("plain");
  MakeSparseFile(file, 512);
  std::unique_ptr<Target> t;
  EXPECT_EQ(NativeEnv()->OpenTarget(file + "/below", false, &t),
            kErrorPathNotFound);
  EXPECT_EQ(NativeEnv()->OpenTarget(dir.path().string(), false, &t),
            kErrorAccessDenied);
  // Names nothing on Linux; on Windows it is the system's own volume.
  if (!vorbex::testing::kWindows) {
    EXPECT_EQ(NativeEnv()->OpenTarget("\\\\.\\C:", true, &t),
              kErrorFileNotFound);
  }
  EXPECT_EQ(NativeEnv()->OpenTarget(std::string(5000, 'x'), false, &t),
            kErrorFilenameTooLong);
}

TEST(NativeEnvTest, FileSystemsWithoutDirectIoFallBackToTheCache) {
  const std::filesystem::path shm = "/dev/shm";
  if (!std::filesystem::is_directory(shm)) GTEST_SKIP() << "no /dev/shm here";
  // Newer kernels give tmpfs direct I/O, older ones refuse it; either way the
  // target must open, move data, and say that its reads come from memory.
  TempDir owner;
  const std::string path = (shm / owner.path().filename()).string() + ".img";
  MakeSparseFile(path, 4096);
  std::unique_ptr<Target> t;
  EXPECT_EQ(NativeEnv()->OpenTarget(path, false, &t), kErrorSuccess);
  if (t != nullptr) {
    EXPECT_TRUE(t->Buffered());
    uint32_t error = 0;
    void* buffer = NativeEnv()->AllocatePages(512, &error);
    uint32_t moved = 0;
    EXPECT_EQ(t->WriteAt(512, buffer, 512, &moved), kErrorSuccess);
    EXPECT_EQ(moved, 512u);
    NativeEnv()->FreePages(buffer, 512);
  }
  t.reset();  // Windows deletes no file that is open
  std::filesystem::remove(path);
}

TEST(ErrnoTableTest, TranslatesTheCodesUsersMeet) {
  EXPECT_EQ(ErrorFromErrno(ENOENT), 2u);
  EXPECT_EQ(ErrorFromErrno(ENOTDIR), 3u);
  EXPECT_EQ(ErrorFromErrno(EACCES), 5u);
  EXPECT_EQ(ErrorFromErrno(EPERM), 5u);
  EXPECT_EQ(ErrorFromErrno(EROFS), 19u);
  EXPECT_EQ(ErrorFromErrno(EINVAL), 87u);
  EXPECT_EQ(ErrorFromErrno(ENOSPC), 112u);
  EXPECT_EQ(ErrorFromErrno(EBUSY), 170u);
  EXPECT_EQ(ErrorFromErrno(EIO), 1117u);
  // No counterpart: the system's own number survives behind the flag bit.
  EXPECT_EQ(ErrorFromErrno(EXDEV), kForeignErrorBit + EXDEV);
}

// What the Windows volume sizing makes of each answer a driver may give.
// Wine answers neither partition query, so these canned answers stand in
// for the drivers of real Windows machines.
TEST(VolumeSizeTest, EachAnswerOfThePartitionQueries) {
  constexpr int64_t kLength = int64_t{3} << 40;
  const PartitionAnswer full_ex{true, 0, kPartitionAnswerExBytes, kLength};
  const PartitionAnswer full{true, 0, kPartitionAnswerBytes, kLength};
  const PartitionAnswer failed{false, kErrorNotSupported, 0, 0};
  const PartitionAnswer short_ex{true, 0, kPartitionAnswerExBytes - 1, kLength};
  const PartitionAnswer short_older{true, 0, kPartitionAnswerBytes - 8,
                                    kLength};
  const PartitionAnswer denied{false, kErrorAccessDenied, 0, 0};
  const PartitionAnswer no_code{false, 0, 0, 0};
  struct Case {
    const char* name;
    PartitionAnswer current;
    PartitionAnswer older;
    uint32_t error;
    bool asks_older;
  };
  const Case cases[] = {
      {"current in full", full_ex, full, kErrorSuccess, false},
      // A short answer to the current query is final, even though the older
      // one would have answered.
      {"current short", short_ex, full, kErrorBadLength, false},
      {"older in full", failed, full, kErrorSuccess, true},
      {"older short", failed, short_older, kErrorBadLength, true},
      {"both fail", failed, denied, kErrorAccessDenied, true},
      // A failure whose code got lost still fails.
      {"both fail without a code", failed, no_code, kErrorIoDevice, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool asked_older = false;
    const auto ask_older = [&] {
      asked_older = true;
      return c.older;
    };
    int64_t bytes = -1;
    EXPECT_EQ(VolumeSize(c.current, ask_older, &bytes), c.error);
    EXPECT_EQ(asked_older, c.asks_older);
    EXPECT_EQ(bytes, c.error == kErrorSuccess ? kLength : -1);
  }
}

}  // namespace
}  // namespace vorbex::platform
