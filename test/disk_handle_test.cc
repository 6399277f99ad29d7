#include "disk/disk_handle.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "base/flags.h"
#include "fake_disk_test.h"
#include "platform/error_codes.h"
#include "support/fake_env.h"
#include "test_support.h"

namespace vorbex {
namespace {

using platform::FakeEnv;
using testing::ErrorCodeOf;

class TestDiskTest : public testing::FakeDiskTest {
 protected:
  void SetUp() override {
    FakeDiskTest::SetUp();
    env_.AddTarget("t.img", 64 * 512);
  }
};

TEST_F(TestDiskTest, OpenSizesEverythingOnce) {
  g_flags.RunID = 1234;
  TestDisk* d = Open("t.img", 16, 10);
  EXPECT_EQ(d->Path, "t.img");
  EXPECT_EQ(d->TestCode, 10);
  EXPECT_EQ(d->BufferBlocks, 16);
  EXPECT_TRUE(d->IsFile);
  EXPECT_EQ(d->BlockCount, 64);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(d->Buffer) % 4096, 0u);
  EXPECT_EQ(d->Table->BlockCount, 64);
  EXPECT_EQ(d->Table->WriteSeq, 1);
  EXPECT_EQ(d->Table->DiskID,
            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(d)) + 1234u);
  for (int32_t b = 0; b < 64; ++b) EXPECT_EQ(d->Table->States[b].load(), 0u);
  EXPECT_EQ(DiskListHead(), d);
  EXPECT_NE(ReportLock(), nullptr);
}

TEST_F(TestDiskTest, SamePathSharesOneTableWithoutAskingTheSizeAgain) {
  TestDisk* a = Open("t.img");
  env_.FailSizeQuery("t.img", platform::kErrorIoDevice);
  TestDisk* b = Open("t.img");
  EXPECT_EQ(b->Table, a->Table);
  EXPECT_EQ(b->BlockCount, 64);
  EXPECT_EQ(DiskListHead(), b);
  EXPECT_EQ(b->Next, a);
}

TEST_F(TestDiskTest, PathsThatDifferInCaseGetSeparateTables) {
  env_.AddTarget("T.img", 8 * 512);
  TestDisk* lower = Open("t.img");
  TestDisk* upper = Open("T.img");
  EXPECT_NE(lower->Table, upper->Table);
  EXPECT_NE(lower->Table->DiskID, upper->Table->DiskID);
  lower->Table->WriteSeq = 9;
  EXPECT_EQ(upper->Table->WriteSeq, 1);
}

TEST_F(TestDiskTest, TableOutlivesItsCreatorWhileAnotherDiskHoldsIt) {
  TestDisk* a = Open("t.img");
  a->Table->States[3] = WithSeq(kWritten | kThisRun, 7);
  a->Table->WriteSeq = 42;
  const uint32_t disk_id = a->Table->DiskID;
  TestDisk* b = Open("t.img");
  a->Close();
  EXPECT_EQ(DiskListHead(), b);
  EXPECT_EQ(b->Table->States[3].load(), WithSeq(kWritten | kThisRun, 7));
  EXPECT_EQ(b->Table->WriteSeq, 42);
  EXPECT_EQ(b->Table->DiskID, disk_id);
  EXPECT_NE(ReportLock(), nullptr);

  b->Close();
  EXPECT_EQ(ReportLock(), nullptr);
  // The last close freed the table: a new open starts from nothing.
  TestDisk* c = Open("t.img");
  EXPECT_EQ(c->Table->States[3].load(), 0u);
  EXPECT_EQ(c->Table->WriteSeq, 1);
  EXPECT_NE(ReportLock(), nullptr);
}

TEST_F(TestDiskTest, MissingTargetFailsWithNothingChanged) {
  EXPECT_EQ(ErrorCodeOf([&] { Open("missing.img"); }),
            platform::kErrorFileNotFound);
  EXPECT_EQ(DiskListHead(), nullptr);
  EXPECT_EQ(ReportLock(), nullptr);
  disks_.clear();

  TestDisk* a = Open("t.img");
  std::mutex* lock = ReportLock();
  EXPECT_EQ(ErrorCodeOf([&] { Open("missing.img"); }),
            platform::kErrorFileNotFound);
  EXPECT_EQ(DiskListHead(), a);
  EXPECT_EQ(a->Next, nullptr);
  EXPECT_EQ(ReportLock(), lock);
}

// Each failure after the handle exists must give back the handle and the
// buffer, leave the list as it was, and never free a table someone shares.
TEST_F(TestDiskTest, FailuresAfterTheHandleLeaveNothingBehind) {
  env_.FailAllocation(platform::kErrorNotEnoughMemory);
  EXPECT_EQ(ErrorCodeOf([&] { Open("t.img"); }),
            platform::kErrorNotEnoughMemory);
  EXPECT_EQ(env_.OpenTargetCount(), 0);
  EXPECT_EQ(ReportLock(), nullptr);

  env_.FailSizeQuery("t.img", platform::kErrorIoDevice);
  EXPECT_EQ(ErrorCodeOf([&] { Open("t.img"); }), platform::kErrorIoDevice);
  EXPECT_EQ(DiskListHead(), nullptr);
  EXPECT_EQ(ReportLock(), nullptr);
  EXPECT_EQ(env_.LiveAllocationCount(), 0);
  disks_.clear();

  env_.AddTarget("t.img", 64 * 512);
  env_.AddTarget("u.img", 64 * 512);
  TestDisk* a = Open("t.img");
  BlockStateTable* table = a->Table;
  env_.FailSizeQuery("u.img", platform::kErrorBadLength);
  EXPECT_EQ(ErrorCodeOf([&] { Open("u.img"); }), platform::kErrorBadLength);
  env_.FailAllocation(platform::kErrorNotEnoughMemory);
  EXPECT_EQ(ErrorCodeOf([&] { Open("t.img"); }),
            platform::kErrorNotEnoughMemory);
  EXPECT_EQ(DiskListHead(), a);
  EXPECT_EQ(a->Next, nullptr);
  EXPECT_EQ(a->Table, table);
  EXPECT_NE(ReportLock(), nullptr);
  EXPECT_EQ(env_.OpenTargetCount(), 1);
}

TEST_F(TestDiskTest, BufferOfNoBlocksOrOfFourGibibytesIsRefused) {
  EXPECT_EQ(ErrorCodeOf([&] { Open("t.img", 0); }),
            platform::kErrorInvalidParameter);
  EXPECT_EQ(ErrorCodeOf([&] { Open("t.img", kMaxBufferBlocks + 1); }),
            platform::kErrorInvalidParameter);
  EXPECT_EQ(env_.OpenTargetCount(), 0);
}

TEST_F(TestDiskTest, BlockCountDropsATrailingPartialBlock) {
  env_.AddTarget("k.img", 1000);
  EXPECT_EQ(Open("k.img")->GetBlockCount(), 1);
  env_.AddTarget("big.img", int64_t{5} << 30);
  EXPECT_EQ(Open("big.img")->GetBlockCount(), 10485760);
}

TEST_F(TestDiskTest, EmptyTargetIsAskedItsSizeEveryTime) {
  env_.AddTarget("s.img", 511);
  TestDisk* d = Open("s.img");
  EXPECT_EQ(d->GetBlockCount(), 0);
  EXPECT_EQ(d->FirstUnwritten(), -1);
  const size_t before = env_.Transfers().size();
  env_.FailSizeQuery("s.img", platform::kErrorNotReady);
  EXPECT_EQ(ErrorCodeOf([&] { d->GetBlockCount(); }), platform::kErrorNotReady);
  EXPECT_EQ(env_.Transfers().size(), before);
}

// The size of an empty target is asked again on every call, but its table
// was made empty: a target that grows meanwhile must not lead a writer or a
// reader past the table's end.
TEST_F(TestDiskTest, EmptyTargetThatGrowsStaysEmpty) {
  env_.AddTarget("grows.img", 511);
  TestDisk* d = Open("grows.img");
  env_.AddTarget("grows.img", 1 << 20);
  EXPECT_EQ(d->GetBlockCount(), 0);
  EXPECT_EQ(d->FirstUnwritten(), -1);
  EXPECT_EQ(Open("grows.img")->GetBlockCount(), 0);
}

TEST(BlocksInBytesTest, TargetsBeyondThirtyOneBitsOfBlocksUseTheFirstOnes) {
  EXPECT_EQ(BlocksInBytes(0), 0);
  EXPECT_EQ(BlocksInBytes(1023), 1);
  EXPECT_EQ(BlocksInBytes((int64_t{1} << 40) - 512), 2147483647);
  // 2 TiB: the low 32 bits of its block count are 0.
  EXPECT_EQ(BlocksInBytes(int64_t{2} << 40), 2147483647);
  EXPECT_EQ(BlocksInBytes(INT64_MAX), 2147483647);
}

TEST_F(TestDiskTest, CachedIoIsWarnedAboutOnce) {
  env_.AddTarget("a.img", 8 * 512);
  env_.AddTarget("b.img", 8 * 512);
  env_.RefuseDirectIo("a.img");
  env_.RefuseDirectIo("b.img");
  ::testing::internal::CaptureStderr();
  Open("a.img");
  Open("b.img");
  Open("a.img");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "WARNING: a.img cannot be opened unbuffered here; reads may come "
            "from the system's cache, not from the medium.\n");
}

TEST_F(TestDiskTest, DevicePrefixMakesAVolume) {
  env_.AddTarget("\\\\.\\C:", 8 * 512);
  EXPECT_FALSE(Open("\\\\.\\C:")->IsFile);
  EXPECT_TRUE(Open("t.img")->IsFile);
}

// A volume that cannot be locked (Windows) or is mounted (Linux) is refused
// with Error 170 at the open, before any transfer; reading it still works.
TEST_F(TestDiskTest, VolumeInUseIsRefusedBeforeAnyTransfer) {
  const std::string volume = "\\\\.\\E:";
  env_.AddTarget(volume, 64 * 512, true);
  env_.HoldVolume(volume);
  EXPECT_EQ(ErrorCodeOf([&] { Open(volume); }), platform::kErrorBusy);
  EXPECT_EQ(DiskListHead(), nullptr);
  EXPECT_TRUE(env_.Transfers().empty());
  std::unique_ptr<platform::Target> reader;
  EXPECT_EQ(env_.OpenTargetReadOnly(volume, true, &reader),
            platform::kErrorSuccess);
}

TEST_F(TestDiskTest, FirstUnwrittenFindsWhereSequentialWritingStopped) {
  TestDisk* d = Open("t.img");
  EXPECT_EQ(d->FirstUnwritten(), 0);
  for (int32_t b = 0; b < 10; ++b) d->Table->States[b] = kWritten;
  d->Table->States[10] = kSeen | kBusy;
  EXPECT_EQ(d->FirstUnwritten(), 10);
  for (int32_t b = 0; b < 64; ++b) d->Table->States[b] = kWritten | kThisRun;
  EXPECT_EQ(d->FirstUnwritten(), 63);
}

// The same sizes through the native Env on real files, the 5 GiB one sparse:
// a size taken from only the low 32 bits would make it 1 GiB.
TEST(TestDiskOnFilesTest, SizedInWholeBlocksWithAllSixtyFourBits) {
  testing::TempDir dir;
  const struct {
    uint64_t bytes;
    int32_t blocks;
  } cases[] = {{1000, 1}, {511, 0}, {uint64_t{5} << 30, 10485760}};
  for (const auto& c : cases) {
    const std::string path = dir.File(std::to_string(c.bytes));
    testing::MakeSparseFile(path, c.bytes);
    TestDisk disk;
    disk.Open(path, 0, 1);
    EXPECT_EQ(disk.GetBlockCount(), c.blocks) << c.bytes;
    EXPECT_EQ(disk.Table->BlockCount, c.blocks);
    disk.Close();
  }
  EXPECT_EQ(DiskListHead(), nullptr);
}

}  // namespace
}  // namespace vorbex
