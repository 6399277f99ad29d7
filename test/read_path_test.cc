#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/flags.h"
#include "disk/block_format.h"
#include "disk/disk_handle.h"
#include "disk/reports.h"
#include "disk/stamp_checksum.h"
#include "fake_disk_test.h"
#include "platform/error_codes.h"
#include "support/fake_env.h"
#include "test_support.h"

namespace vorbex {
namespace {

using platform::FakeEnv;
using testing::ErrorCodeOf;
using testing::MaskTimes;

TEST(ReportTest, HeaderReportPrintsEveryDifferingFieldInOrder) {
  BlockHeader read{};
  read.Magic = 0;
  read.DiskID = 1;
  read.Blkno = 6;
  read.RunID = 0x11;
  read.TestCode = -3;
  read.BaseBlk = -1;
  read.EndBlk = 3;
  read.Seq = 3;
  read.WriteSeq = 0x100000000;
  read.Fill = 0x1AB;
  BlockHeader expected = read;
  expected.Magic = kMagic;
  expected.DiskID = 2;
  expected.Blkno = 5;
  expected.RunID = 0x22;
  expected.BaseBlk = 0;
  expected.EndBlk = 4;
  expected.Seq = 4;
  expected.WriteSeq = 0x100000001;
  expected.Fill = 0xCD;
  EXPECT_EQ(HeaderReport("Mon Dec  7 13:28:27 2026\n", "\\\\.\\E:", 5, 12, read,
                         expected, 4, 8, 0x22),
            "Mon Dec  7 13:28:27 2026\n"
            "\\\\.\\E:: Block 5:\n"
            "\tTest 12: start 4, len 8\n"
            "\tMagic 0, expected fedab5ba\n"
            "\tDiskID 1, expected 2\n"
            "\tBlkno 6, expected 5\n"
            "\tBaseBlk ffffffff, invalid\n"
            "\tEndBlk 3, invalid\n"
            "\tRunID 11, expected 22\n"
            "\tWriteSeq 100000000, expected 100000001\n"
            "\tSeq 3, expected 4\n"
            "\tFill ab, expected cd\n"
            "\tWritten by test -3\n\n");
}

TEST(ReportTest, HeaderReportNamesAnEarlierRunOnlyWithoutARunIdLine) {
  BlockHeader read{};
  read.Magic = kMagic;
  read.RunID = 0x11;
  read.TestCode = 4;
  BlockHeader expected = read;
  expected.Seq = 1;
  const std::string earlier =
      HeaderReport("T\n", "f", 0, 0, read, expected, 0, 1, 0x22);
  EXPECT_EQ(earlier,
            "T\nf: Block 0:\n\tTest 0: start 0, len 1\n\tSeq 0, expected 1\n"
            "\tWritten during an earlier run by test 4\n\n");
  EXPECT_EQ(HeaderReport("T\n", "f", 0, 0, read, expected, 0, 1, 0x11),
            "T\nf: Block 0:\n\tTest 0: start 0, len 1\n\tSeq 0, expected 1\n"
            "\tWritten by test 4\n\n");
}

TEST(ReportTest, FillReportShowsUpToSixteenBytes) {
  std::vector<uint8_t> block(512);
  for (int i = 0; i < 512; ++i) block[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(FillReport("f", 9, block.data(), 304, 0xAA),
            "f: Block 9: Offset 304\n"
            "\tFill aa, Data 303132333435363738393a3b3c3d3e3f\n\n");
  EXPECT_EQ(
      FillReport("f", 9, block.data(), 500, 0x4),
      "f: Block 9: Offset 500\n\tFill 4, Data f4f5f6f7f8f9fafbfcfdfeff\n\n");
  EXPECT_EQ(FillReport("f", 9, block.data(), 511, 0x25),
            "f: Block 9: Offset 511\n\tFill 25, Data ff\n\n");
  const std::string long_path(400, 'p');
  EXPECT_EQ(FillReport(long_path, 1, block.data(), 511, 0),
            long_path + ": Block 1: Offset 511\n\tFill 0, Data ff\n\n");
}

std::string Hex(uint32_t v) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%x", v);
  return hex;
}

class ReadPathTest : public testing::SharedTargetTest {
 protected:
  // What a read concludes from each field is what it concludes from the
  // stamps without a checksum, which it still reads. With one, any changed
  // byte is first a checksum failure (ChecksumTest).
  void SetUp() override {
    SharedTargetTest::SetUp();
    g_flags.checksum = false;
  }

  // Changes one 32-bit word of block b on the medium.
  void PatchWord(int32_t b, int offset, uint32_t value) {
    std::vector<uint8_t> bytes = OnDisk(b);
    std::memcpy(bytes.data() + offset, &value, sizeof value);
    PutOnDisk(b, bytes);
  }
  void PatchByte(int32_t b, int offset, uint8_t value) {
    std::vector<uint8_t> bytes = OnDisk(b);
    bytes[offset] = value;
    PutOnDisk(b, bytes);
  }

  // What a read prints, with time stamps masked.
  std::string Read(int32_t first, int32_t count, TestDisk* d = nullptr) {
    ::testing::internal::CaptureStdout();
    (d != nullptr ? d : disk_)->ReadRange(first, count);
    return MaskTimes(::testing::internal::GetCapturedStdout());
  }
  std::string Read(int32_t first, int32_t count, const VerifyPolicy& policy) {
    ::testing::internal::CaptureStdout();
    disk_->ReadRange(first, count, policy);
    return MaskTimes(::testing::internal::GetCapturedStdout());
  }
};

TEST_F(ReadPathTest, RangesOutsideTheTargetOrBufferReadNothing) {
  disk_->WriteRange(kBlocks - 4, 4);
  EXPECT_EQ(Read(kBlocks - 4, 4), "");
  const size_t transfers = env_.Transfers().size();
  const struct {
    int32_t first, count;
  } bad[] = {{kBlocks - 3, 4}, {0, 0}, {-1, 1}, {0, 17}, {0x7FFFFFFF, 1}};
  for (const auto& r : bad) {
    EXPECT_EQ(ErrorCodeOf([&] { disk_->ReadRange(r.first, r.count); }),
              platform::kErrorInvalidParameter)
        << r.first << " " << r.count;
  }
  EXPECT_EQ(env_.Transfers().size(), transfers);
}

TEST_F(ReadPathTest, FailedAndShortReadsAreErrors) {
  disk_->WriteRange(0, 4);
  env_.InjectFault(FakeEnv::Fault::kFail, platform::kErrorIoDevice);
  EXPECT_EQ(ErrorCodeOf([&] { disk_->ReadRange(0, 4); }),
            platform::kErrorIoDevice);
  env_.InjectFault(FakeEnv::Fault::kShort, 512);
  EXPECT_EQ(ErrorCodeOf([&] { disk_->ReadRange(0, 4); }),
            platform::kErrorBadLength);
  EXPECT_EQ(Entry(0).load(), WithSeq(kWritten | kThisRun, 1));
}

TEST_F(ReadPathTest, BlocksNotWrittenAreNeverLookedAt) {
  PutOnDisk(0, std::vector<uint8_t>(512, 0xEE));
  Entry(1).store(WithSeq(kThisRun | kBusy, 0));  // a failed write's block
  Entry(2).store(WithSeq(kSeen, 3));             // seen, not to recheck
  EXPECT_EQ(Read(0, 8), "");
  EXPECT_EQ(disk_->Mismatches, 0);
}

TEST_F(ReadPathTest, WrittenBlocksReadBackClean) {
  disk_->WriteRange(0, 16);
  other_->WriteRange(4, 8);
  EXPECT_EQ(Read(0, 16), "");
  EXPECT_EQ(Read(3, 10, other_), "");
  EXPECT_EQ(disk_->Mismatches + other_->Mismatches, 0);
}

// The count of verified blocks and the coverage move together, whatever a
// read finds on the way.
TEST_F(ReadPathTest, VerifiedBlocksAreCountedAndCoveredAlike) {
  disk_->WriteRange(0, 16);
  PatchByte(5, 304, 0);
  Read(0, 16);
  EXPECT_EQ(disk_->Counts->BlocksVerified.load(), 15);
  EXPECT_EQ(disk_->Table->Coverage->VerifiedCount(), 15);
}

TEST_F(ReadPathTest, LostWriteIsReportedOnTheNextRead) {
  disk_->WriteRange(8, 2);
  env_.InjectFault(FakeEnv::Fault::kDrop, 0);
  disk_->WriteRange(8, 2);  // acknowledged, never stored
  EXPECT_EQ(Read(8, 2),
            "TIME\n"
            "t.img: Block 8:\n"
            "\tTest 7: start 8, len 2\n"
            "\tSeq 1, expected 2\n"
            "\tWritten by test 7\n"
            "\n"
            "TIME\n"
            "t.img: Block 9:\n"
            "\tTest 7: start 8, len 2\n"
            "\tSeq 1, expected 2\n"
            "\tWritten by test 7\n"
            "\n");
  EXPECT_EQ(disk_->Mismatches, 2);
}

TEST_F(ReadPathTest, LostFirstWriteLeavesZeros) {
  env_.InjectFault(FakeEnv::Fault::kDrop, 0);
  disk_->WriteRange(3, 1);
  EXPECT_EQ(Read(3, 1),
            "TIME\n"
            "t.img: Block 3:\n"
            "\tTest 7: start 3, len 1\n"
            "\tMagic 0, expected fedab5ba\n"
            "\tDiskID 0, expected " +
                Hex(disk_->Table->DiskID) +
                "\n"
                "\tBlkno 0, expected 3\n"
                "\tEndBlk 0, invalid\n"
                "\tRunID 0, expected 1234\n"
                "\tSeq 0, expected 1\n"
                "\tFill 0, expected b9\n"
                "\tWritten by test 0\n\n");
}

TEST_F(ReadPathTest, UndeliveredReadFailsOnThePoisonedMagic) {
  disk_->WriteRange(0, 2);  // leaves the stamps in the buffer
  env_.InjectFault(FakeEnv::Fault::kDrop, 0);
  EXPECT_EQ(Read(0, 2),
            "TIME\nt.img: Block 0:\n\tTest 7: start 0, len 2\n"
            "\tMagic 5a5a5a5a, expected fedab5ba\n\tWritten by test 7\n\n"
            "TIME\nt.img: Block 1:\n\tTest 7: start 0, len 2\n"
            "\tMagic 5a5a5a5a, expected fedab5ba\n\tWritten by test 7\n\n");
}

TEST_F(ReadPathTest, RunIdIsCheckedOnlyForThisRunsBlocks) {
  disk_->WriteRange(0, 2);
  g_flags.RunID = 0x99;
  // Block 0 was written by this process: its RunID must be the current one.
  EXPECT_EQ(Read(0, 1),
            "TIME\nt.img: Block 0:\n\tTest 7: start 0, len 1\n"
            "\tRunID 1234, expected 99\n\tWritten by test 7\n\n");

  // As rebuilt by a scan of an earlier run's data.
  Entry(0).fetch_and(~kThisRun);
  Entry(1).fetch_and(~kThisRun);
  EXPECT_EQ(Read(0, 2), "");
  PatchWord(1, 8, 0);  // Blkno
  EXPECT_EQ(Read(0, 2),
            "TIME\nt.img: Block 1:\n\tTest 7: start 0, len 2\n"
            "\tBlkno 0, expected 1\n"
            "\tWritten during an earlier run by test 7\n\n");
  g_flags.RunID = 0x1234;
  EXPECT_EQ(Read(1, 1),
            "TIME\nt.img: Block 1:\n\tTest 7: start 1, len 1\n"
            "\tBlkno 0, expected 1\n\tWritten by test 7\n\n");
}

TEST_F(ReadPathTest, OneReportPerBlockAndHeaderFirst) {
  disk_->WriteRange(0, 4);
  PatchWord(2, 4, 0xD15C);  // DiskID
  PatchByte(2, 400, 0);
  PatchWord(1, 20, 5);  // BaseBlk past Blkno
  PatchWord(1, 24, 1);  // EndBlk not past Blkno
  EXPECT_EQ(Read(0, 4),
            "TIME\nt.img: Block 1:\n\tTest 7: start 0, len 4\n"
            "\tBaseBlk 5, invalid\n\tEndBlk 1, invalid\n\tWritten by test 7\n\n"
            "TIME\nt.img: Block 2:\n\tTest 7: start 0, len 4\n"
            "\tDiskID d15c, expected " +
                Hex(disk_->Table->DiskID) + "\n\tWritten by test 7\n\n");
  EXPECT_EQ(disk_->Mismatches, 2);
}

TEST_F(ReadPathTest, FillIsCheckedToTheLastByte) {
  disk_->WriteRange(3, 1);  // F = 1 ^ 3 ^ 0xBA = 0xB8
  PatchByte(3, 500, 0xEE);
  EXPECT_EQ(Read(3, 1),
            "t.img: Block 3: Offset 500\n"
            "\tFill 4, Data ee070a0d101316191c1f2225\n\n");
  PatchByte(3, 500, 0x04);
  PatchByte(3, 511, 0x00);
  EXPECT_EQ(Read(3, 1), "t.img: Block 3: Offset 511\n\tFill 25, Data 00\n\n");
  EXPECT_EQ(disk_->Mismatches, 2);
}

TEST_F(ReadPathTest, SeqMustAgreeWithTheBlocksOwnMapEntry) {
  disk_->WriteRange(6, 1);
  PatchByte(6, kMapOffset + 2 * kSelfEntry, 2);
  EXPECT_EQ(Read(6, 1),
            "TIME\nt.img: Block 6:\n\tTest 7: start 6, len 1\n"
            "\tSeq 1, expected 2\n\tWritten by test 7\n\n");
  PatchByte(6, kMapOffset + 2 * kSelfEntry, 0);  // says nothing
  EXPECT_EQ(Read(6, 1), "");
  PatchWord(6, 28, 0x10001);  // a high half is never a generation
  EXPECT_EQ(Read(6, 1),
            "TIME\nt.img: Block 6:\n\tTest 7: start 6, len 1\n"
            "\tSeq 10001, expected 1\n\tWritten by test 7\n\n");
}

// A writer that finishes, or is in flight, between the reader's copy of the
// table and its check may leave the old or the new generation on the disk.
TEST_F(ReadPathTest, ConcurrentWritesPassWithEitherGeneration) {
  disk_->WriteRange(0, 4);

  // Completed before the read's transfer: the new data is read.
  env_.OnTransfer(FakeEnv::When::kBefore, [&] { other_->WriteRange(1, 2); });
  EXPECT_EQ(Read(0, 4), "");

  // Completed after it: the old data is read, the table is newer.
  env_.OnTransfer(FakeEnv::When::kAfter, [&] { other_->WriteRange(1, 2); });
  EXPECT_EQ(Read(0, 4), "");

  // On the disk but not yet completed: the block is still held.
  env_.OnTransfer(FakeEnv::When::kBefore, [&] {
    other_->PrepareWrite(2, 1);
    other_->RangeStates[0] =
        WithSeq(other_->RangeStates[0], SeqOf(other_->RangeStates[0]) + 1);
    ++other_->NeighbourSnapshot[kSelfEntry];
    other_->StampBlock(2, 0, 0, 1);
    other_->WriteBlocks(2, 0, 1);
  });
  EXPECT_EQ(Read(0, 4), "");
  EXPECT_NE(Entry(2).load() & kBusy, 0u);
  other_->CompleteWrite(2, 1);
  EXPECT_EQ(SeqOf(Entry(2).load()), 4);
  EXPECT_EQ(Read(0, 4), "");
}

// A read served from memory can catch a write of the same block half done:
// here the new header and map over the old fill, and the write completes
// right after the read. A device moves a block in one piece, so there it is
// a fault; from memory it is one only if the block fails again alone.
TEST_F(ReadPathTest, ReadsFromMemoryReportOnlyWhatNoWriteExplains) {
  // As Open makes it for a cached target, without the warning, which the
  // process prints once and another test looks for.
  TestDisk* cached = Open("t.img", 16, 3);
  uint32_t error = 0;
  cached->Spare = static_cast<uint8_t*>(env_.AllocatePages(512, &error));
  cached->Cached = true;
  struct Case {
    TestDisk* reader;
    bool damaged;  // the completed write's fill too
    bool reported;
  };
  for (const Case& c : {Case{disk_, false, true}, Case{cached, false, false},
                        Case{cached, true, true}}) {
    SCOPED_TRACE(c.reader->TestCode * 10 + (c.damaged ? 1 : 0));
    disk_->WriteRange(5, 1);
    const std::vector<uint8_t> old = OnDisk(5);
    other_->WriteRange(5, 1);
    std::vector<uint8_t> fresh = OnDisk(5);
    if (c.damaged) fresh[400] ^= 1;
    std::vector<uint8_t> torn = fresh;
    std::copy(old.begin() + kFillOffset, old.end(), torn.begin() + kFillOffset);
    const BlockState done = State(5);
    Entry(5).store(WithSeq(done, SeqOf(done) - 1) | kBusy);
    PutOnDisk(5, torn);
    env_.OnTransfer(FakeEnv::When::kAfter, [&] {
      PutOnDisk(5, fresh);
      Entry(5).store(done);
    });
    const int32_t before = c.reader->Mismatches;
    const std::string out = Read(4, 3, c.reader);
    EXPECT_EQ(c.reader->Mismatches - before, c.reported ? 1 : 0) << out;
    EXPECT_EQ(
        out.find(c.damaged ? "Offset 400" : "Offset 304") != std::string::npos,
        c.reported)
        << out;
    PutOnDisk(5, OnDisk(4));  // not this test's any more
    Entry(5).store(0);
  }
}

TEST_F(ReadPathTest, BlockWhoseWriteFailsDuringTheReadIsSkipped) {
  disk_->WriteRange(0, 4);
  env_.OnTransfer(FakeEnv::When::kBefore, [&] {
    env_.InjectFault(FakeEnv::Fault::kShort, 512);
    EXPECT_EQ(ErrorCodeOf([&] { other_->WriteRange(1, 2); }),
              platform::kErrorBadLength);
    PutOnDisk(2, std::vector<uint8_t>(512, 0xEE));
  });
  EXPECT_EQ(Read(0, 4), "");
  EXPECT_EQ(Entry(1).load(), kThisRun | kBusy);
}

TEST_F(ReadPathTest, GenerationWindowWrapsAtSixteenBits) {
  Entry(5).store(WithSeq(kWritten | kThisRun, 0xFFFE));
  disk_->WriteRange(5, 1);  // generation 0xFFFF on disk and in the table

  env_.OnTransfer(FakeEnv::When::kBefore, [&] { other_->WriteRange(5, 1); });
  EXPECT_EQ(Read(5, 1), "");  // read 0, copied 0xFFFF
  Entry(5).store(WithSeq(kWritten | kThisRun, 0xFFFF));
  env_.OnTransfer(FakeEnv::When::kAfter,
                  [&] { Entry(5).store(WithSeq(kWritten | kThisRun, 0)); });
  // Read 0 again, copied 0xFFFF, now 0: both ends of the window pass.
  EXPECT_EQ(Read(5, 1), "");

  Entry(5).store(WithSeq(kWritten | kThisRun, 0xFFFE));
  disk_->WriteRange(5, 1);
  Entry(5).store(WithSeq(kWritten | kThisRun, 0xFFFD));
  disk_->WriteRange(5, 1);  // 0xFFFE on disk
  Entry(5).store(WithSeq(kWritten | kThisRun, 0xFFFF));
  env_.OnTransfer(FakeEnv::When::kAfter,
                  [&] { Entry(5).store(WithSeq(kWritten | kThisRun, 0)); });
  EXPECT_EQ(Read(5, 1),
            "TIME\nt.img: Block 5:\n\tTest 7: start 5, len 1\n"
            "\tSeq fffe, expected 0\n\tWritten by test 7\n\n");
}

// The start-up scan's hooks: a marked block is checked once whatever its
// flags, confirmed when it passes, and compared with the scan's WriteSeq.
TEST_F(ReadPathTest, ScanMarkedBlocksAreConfirmedOrLeftUnwritten) {
  disk_->WriteRange(0, 2);
  const int64_t write_seqs[] = {1, 2};
  VerifyPolicy check;
  check.write_seqs = write_seqs;
  check.errstop_ends_process = false;
  g_flags.errstop = 1;  // the scan decides at its end, not here
  for (int32_t b : {0, 1}) Entry(b).store(WithSeq(kSeen | kRecheck, 1));

  EXPECT_EQ(Read(0, 2, check),
            "TIME\nt.img: Block 1:\n\tTest 7: start 0, len 2\n"
            "\tWriteSeq 1, expected 2\n\tWritten by test 7\n\n");
  EXPECT_EQ(Entry(0).load(), WithSeq(kSeen | kWritten, 1));
  EXPECT_EQ(Entry(1).load(), WithSeq(kSeen, 1));
  // Checked once: no longer marked, not written, so not looked at again.
  EXPECT_EQ(Read(0, 2, check), "");
  EXPECT_EQ(disk_->Mismatches, 1);
}

TEST_F(ReadPathTest, ErrstopEndsTheProcessAfterTheWholeReport) {
  // The child writes where this process looks, forked or started anew.
  GTEST_FLAG_SET(death_test_style, "fast");
  const std::string out = testing::SharedScratchFile("out.txt");
  disk_->WriteRange(0, 2);
  PatchByte(0, 304, 0);
  PatchByte(1, 304, 0);
  g_flags.errstop = 1;
  EXPECT_EXIT(
      {
        if (std::freopen(out.c_str(), "wb", stdout) == nullptr) std::abort();
        disk_->ReadRange(0, 2);
      },
      ::testing::ExitedWithCode(1), "");
  std::vector<uint8_t> text = testing::ReadFile(out);
  EXPECT_EQ(std::string(text.begin(), text.end()),
            "t.img: Block 0: Offset 304\n\tFill bb, Data "
            "00bec1c4c7cacdd0d3d6d9dcdfe2e5e8\n\n");
}

// Stamps as this system writes them now: every byte but the Magic answers
// to the checksum first.
class ChecksumTest : public ReadPathTest {
 protected:
  void SetUp() override {
    ReadPathTest::SetUp();
    g_flags.checksum = true;
  }
};

TEST_F(ChecksumTest, EveryFlippedBitIsReportedOnceAsTheChecksumsFailure) {
  disk_->WriteRange(4, 3);
  const std::vector<uint8_t> good = OnDisk(5);
  for (int at = 4; at < 512; ++at) {
    SCOPED_TRACE(at);
    std::vector<uint8_t> bad = good;
    bad[static_cast<size_t>(at)] ^= static_cast<uint8_t>(1 << (at % 8));
    PutOnDisk(5, bad);
    const int32_t before = disk_->Mismatches;
    const std::string out = Read(4, 3);
    ASSERT_EQ(disk_->Mismatches, before + 1) << out;
    // Byte 41 flipped to 0 makes a stamp without a checksum that still
    // holds one; to anything but 1, a stamp of no form this system knows.
    const uint8_t flag = ChecksumFlag(LoadHeader(bad.data()));
    const char* line = flag == 0   ? "\tNo checksum, yet bytes 41-47 hold "
                       : flag == 1 ? "\tContents do not match their checksum "
                                   : "\tChecksum flag ";
    ASSERT_NE(out.find(line), std::string::npos) << out;
    ASSERT_EQ(out.find("Block 4:"), std::string::npos) << out;
  }
  PutOnDisk(5, good);
  EXPECT_EQ(Read(4, 3), "");
}

TEST_F(ChecksumTest, TheReportShowsBothSumsAndTheFieldsThatDiffer) {
  disk_->WriteRange(5, 1);
  std::vector<uint8_t> bytes = OnDisk(5);
  const uint32_t stored = LoadHeader(bytes.data()).Reserved;
  bytes[16] ^= 0x08;  // TestCode, which no field check looks at
  PutOnDisk(5, bytes);
  EXPECT_EQ(Read(5, 1),
            "TIME\nt.img: Block 5:\n\tTest 7: start 5, len 1\n"
            "\tContents do not match their checksum " +
                Hex(stored) + ", computed " + Hex(BlockChecksum(bytes.data())) +
                "\n\tWritten by test 15\n\n");
  bytes[8] ^= 0x02;  // and Blkno
  PutOnDisk(5, bytes);
  EXPECT_EQ(Read(5, 1),
            "TIME\nt.img: Block 5:\n\tTest 7: start 5, len 1\n"
            "\tContents do not match their checksum " +
                Hex(stored) + ", computed " + Hex(BlockChecksum(bytes.data())) +
                "\n\tBlkno 7, expected 5\n\tEndBlk 6, invalid\n"
                "\tWritten by test 15\n\n");
}

TEST_F(ChecksumTest, AStampWithoutOneMustHoldZerosWhereItWouldBe) {
  g_flags.checksum = false;
  disk_->WriteRange(5, 1);
  EXPECT_EQ(Read(5, 1), "");
  PatchByte(5, 46, 0x80);
  EXPECT_EQ(Read(5, 1),
            "TIME\nt.img: Block 5:\n\tTest 7: start 5, len 1\n"
            "\tNo checksum, yet bytes 41-47 hold 0 800000, "
            "expected 0\n\tWritten by test 7\n\n");
  EXPECT_EQ(disk_->Mismatches, 1);
}

}  // namespace
}  // namespace vorbex
