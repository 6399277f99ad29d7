#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "base/crc32c.h"
#include "base/flags.h"
#include "disk/block_format.h"
#include "disk/block_stores.h"
#include "disk/disk_handle.h"
#include "disk/stamp_checksum.h"
#include "fake_disk_test.h"
#include "platform/error_codes.h"
#include "support/fake_env.h"
#include "test_support.h"

namespace vorbex {
namespace {

using platform::FakeEnv;
using testing::ErrorCodeOf;

TEST(BlockFormatTest, FillPatternsOfTheWorkedExamples) {
  EXPECT_EQ(FillByte(1, 0x12345), 0xFE);
  const uint8_t* p = FillPattern(0xFE);
  EXPECT_EQ(p[0], 0xFE);
  EXPECT_EQ(p[1], 0x01);
  EXPECT_EQ(p[2], 0x04);
  EXPECT_EQ(p[3], 0x07);
  EXPECT_EQ(p[kFillBytes - 1], 0x6B);

  EXPECT_EQ(FillByte(1, 0), 0xBB);
  p = FillPattern(0xBB);
  EXPECT_EQ(p[0], 0xBB);
  EXPECT_EQ(p[1], 0xBE);
  EXPECT_EQ(p[2], 0xC1);
  EXPECT_EQ(p[3], 0xC4);
  EXPECT_EQ(p[kFillBytes - 1], 0x28);

  // Generation 0 after a wrap: only the block number and the constant.
  EXPECT_EQ(FillByte(0, 0x1234), 0x34 ^ 0xBA);
  for (int f = 0; f < 256; ++f) {
    p = FillPattern(static_cast<uint8_t>(f));
    for (int k = 0; k < kFillBytes; ++k) {
      ASSERT_EQ(p[k], static_cast<uint8_t>(f + 3 * k)) << f << " " << k;
    }
  }
}

class WritePathTest : public testing::SharedTargetTest {
 protected:
  BlockHeader HeaderOnDisk(int32_t b) { return LoadHeader(OnDisk(b).data()); }
  uint16_t EntryOnDisk(int32_t b, int j) {
    return NeighbourEntry(OnDisk(b).data(), j);
  }

  // As if another writer had prepared a write of b and not yet completed it.
  void HoldForAnotherWriter(int32_t b) {
    disk_->Table->States[b].fetch_or(kBusy);
  }
  std::vector<FakeEnv::Transfer> Writes() {
    std::vector<FakeEnv::Transfer> out;
    for (const auto& t : env_.Transfers()) {
      if (t.write) out.push_back(t);
    }
    return out;
  }
};

// Whatever the processor's stores, a stamped block lies as the format says,
// every field in its place: here each field holds a value no other has.
TEST(BlockFormatTest, StoredBlockIsTheStampAsItLies) {
  const BlockHeader h{kMagic,     0x11223344, 0x55667788, 0x99AABBCC,
                      0x0DDEEFF0, 0x01020304, 0x05060708, 0x0000F00D,
                      int64_t{0x1122334455667788}, 0xC3, 0x0BADCAFE};
  uint16_t map[kNeighbours];
  for (int k = 0; k < kNeighbours; ++k) map[k] = static_cast<uint16_t>(k * 257);
  alignas(64) uint8_t stored[512];
  StoreBlock(stored, h, map, FillPattern(0xC3));
  StoresDone();
  uint8_t want[512];
  StoreHeader(h, want);
  std::memcpy(want + kMapOffset, map, sizeof map);
  std::memcpy(want + kFillOffset, FillPattern(0xC3), kFillBytes);
  EXPECT_EQ(std::memcmp(stored, want, sizeof want), 0);
}

TEST_F(WritePathTest, BadRangesChangeNothing) {
  const struct {
    int32_t first, count;
  } bad[] = {{0, 0},           {-1, 2}, {10, -1},
             {kBlocks - 2, 3}, {0, 17}, {0x7FFFFFFF, 1}};
  for (const auto& r : bad) {
    EXPECT_EQ(ErrorCodeOf([&] { disk_->WriteRange(r.first, r.count); }),
              platform::kErrorInvalidParameter)
        << r.first << " " << r.count;
  }
  EXPECT_TRUE(env_.Transfers().empty());
  EXPECT_EQ(disk_->Table->WriteSeq, 1);
  for (int32_t b = 0; b < kBlocks; ++b) EXPECT_EQ(State(b), 0u);
}

TEST_F(WritePathTest, FirstWriteOfAFreshTable) {
  disk_->WriteRange(0, 4);

  ASSERT_EQ(env_.Transfers().size(), 1u);
  EXPECT_EQ(env_.Transfers()[0].offset, 0);
  EXPECT_EQ(env_.Transfers()[0].length, 4u * 512);
  EXPECT_EQ(disk_->Table->WriteSeq, 2);
  for (int32_t b = 0; b < 4; ++b) {
    SCOPED_TRACE(b);
    const std::vector<uint8_t> bytes = OnDisk(b);
    const BlockHeader h = LoadHeader(bytes.data());
    EXPECT_EQ(h.Magic, kMagic);
    EXPECT_EQ(h.DiskID, disk_->Table->DiskID);
    EXPECT_EQ(h.Blkno, b);
    EXPECT_EQ(h.RunID, 0x1234u);
    EXPECT_EQ(h.TestCode, 7);
    EXPECT_EQ(h.BaseBlk, 0);
    EXPECT_EQ(h.EndBlk, 4);
    EXPECT_EQ(h.Seq, 1u);
    EXPECT_EQ(h.WriteSeq, 1);
    // Byte 41 says the stamp carries its CRC-32C, taken with the reserved
    // word 0, in the reserved word; bytes 42-43 are 0.
    EXPECT_EQ(h.Fill, FillByte(1, b) | 0x100u);
    std::vector<uint8_t> unsummed = bytes;
    std::fill_n(unsummed.begin() + 44, 4, 0);
    EXPECT_EQ(h.Reserved, Crc32cPortable(unsummed.data(), 512));
    EXPECT_EQ(bytes[0], 0xBA);  // little-endian Magic
    EXPECT_EQ(bytes[3], 0xFE);
    for (int k = 0; k < kFillBytes; ++k) {
      ASSERT_EQ(bytes[kFillOffset + k],
                static_cast<uint8_t>(FillByte(1, b) + 3 * k));
    }
    EXPECT_EQ(State(b), WithSeq(kWritten | kThisRun, 1));
  }
  EXPECT_EQ(State(4), 0u);
  EXPECT_EQ(OnDisk(0)[kFillOffset], 0xBB);

  // Block 2: blocks -62 ... -1 lie before the target, 0 ... 3 were just
  // written, 4 ... 65 have never been.
  for (int j = 0; j < kNeighbours; ++j) {
    EXPECT_EQ(EntryOnDisk(2, j), (j >= 62 && j <= 65) ? 1 : 0) << j;
  }
  EXPECT_EQ(EntryOnDisk(0, kSelfEntry), 1);

  // The older layout, for whoever needs it: bytes 41-47 are 0.
  g_flags.checksum = false;
  disk_->WriteRange(8, 1);
  EXPECT_EQ(HeaderOnDisk(8).Fill, FillByte(1, 8));
  EXPECT_EQ(HeaderOnDisk(8).Reserved, 0u);
}

// The write path sums a stamp from its parts and moves each run's map on
// block by block; whatever the runs, the sum must be the one a reader
// computes from the bytes. Writes of every length, split by blocks another
// writer holds, over neighbours whose generations the runs change.
TEST_F(WritePathTest, EveryStampCarriesTheChecksumOfItsBytes) {
  std::mt19937 rng(5);
  const auto pick = [&rng](int32_t lo, int32_t hi) {
    return std::uniform_int_distribution<int32_t>(lo, hi)(rng);
  };
  for (int op = 0; op < 300; ++op) {
    const int32_t count = pick(1, 16);
    const int32_t first = pick(0, kBlocks - count);
    const int32_t held = pick(0, 2) == 0 ? first + pick(0, count - 1) : -1;
    if (held >= 0) HoldForAnotherWriter(held);
    disk_->WriteRange(first, count);
    if (held >= 0) disk_->Table->States[held].fetch_and(~kBusy);
  }
  for (int32_t b = 0; b < kBlocks; ++b) {
    std::vector<uint8_t> bytes = OnDisk(b);
    const uint32_t stored = LoadHeader(bytes.data()).Reserved;
    std::fill_n(bytes.begin() + 44, 4, 0);
    ASSERT_EQ(stored, Crc32cPortable(bytes.data(), 512)) << b;
  }
}

// The same for fields past what a small target reaches: any Blkno, Seq
// and map entry, byte by byte, so that every table the sums use is held to
// the sum of the bytes.
TEST(StampSummerTest, SumsOfAnyFieldsAreTheSumsOfTheBytes) {
  std::mt19937_64 rng(9);
  std::vector<uint16_t> window(kNeighbours + 40);
  for (uint16_t& e : window) e = static_cast<uint16_t>(rng());
  StampSummer summer;
  BlockHeader h{kMagic, 0xD15C, 0, 0x77, 51, 0, 0, 0, int64_t{1} << 40, 0, 0};
  h.BaseBlk = static_cast<int32_t>(rng() >> 33);
  for (size_t k = 0; k < 40; ++k) {
    h.Blkno = static_cast<int32_t>(rng() >> 33);
    h.Seq = static_cast<uint16_t>(rng());
    h.Fill = FillByte(h.Seq, h.Blkno) | uint32_t{kChecksumFlag} << 8;
    const uint16_t* map = &window[k];
    alignas(64) uint8_t block[512];
    StoreBlock(block, h, map, FillPattern(static_cast<uint8_t>(h.Fill)));
    StoresDone();
    ASSERT_EQ(summer.Sum(h, map), BlockChecksum(block)) << k;
  }
}

TEST_F(WritePathTest, NeighbourMapsShowTheTableAndStopAtTheEnd) {
  disk_->WriteRange(kBlocks - 8, 8);  // ends exactly at the target's end
  disk_->WriteRange(kBlocks - 8, 2);
  // Block kBlocks - 8 has generation 2, its neighbours up to the end 1, and
  // the blocks past the end read as 0.
  const int32_t b = kBlocks - 7;
  EXPECT_EQ(HeaderOnDisk(b).Seq, 2u);
  EXPECT_EQ(EntryOnDisk(b, kSelfEntry - 1), 2);
  EXPECT_EQ(EntryOnDisk(b, kSelfEntry), 2);
  for (int j = kSelfEntry + 1; j < kSelfEntry + 7; ++j) {
    EXPECT_EQ(EntryOnDisk(b, j), 1) << j;
  }
  for (int j = kSelfEntry + 7; j < kNeighbours; ++j) {
    EXPECT_EQ(EntryOnDisk(b, j), 0) << j;
  }
  for (int j = kSelfEntry + 1; j < kNeighbours; ++j) {
    EXPECT_EQ(EntryOnDisk(kBlocks - 1, j), 0) << j;
  }
}

TEST_F(WritePathTest, BlocksHeldByAnotherWriterSplitTheRange) {
  disk_->WriteRange(10, 4);  // every block at generation 1, WriteSeq 1
  HoldForAnotherWriter(12);
  const std::vector<uint8_t> block12 = OnDisk(12);

  disk_->WriteRange(10, 4);

  const auto writes = Writes();
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[1].offset, 10 * 512);
  EXPECT_EQ(writes[1].length, 2u * 512);
  EXPECT_EQ(writes[2].offset, 13 * 512);
  EXPECT_EQ(writes[2].length, 1u * 512);
  EXPECT_EQ(disk_->Table->WriteSeq, 4);  // 2 and 3 reserved

  for (int32_t b : {10, 11}) {
    EXPECT_EQ(HeaderOnDisk(b).BaseBlk, 10);
    EXPECT_EQ(HeaderOnDisk(b).EndBlk, 12);
    EXPECT_EQ(HeaderOnDisk(b).WriteSeq, 2);
    EXPECT_EQ(HeaderOnDisk(b).Seq, 2u);
  }
  EXPECT_EQ(HeaderOnDisk(13).BaseBlk, 13);
  EXPECT_EQ(HeaderOnDisk(13).EndBlk, 14);
  EXPECT_EQ(HeaderOnDisk(13).WriteSeq, 3);
  EXPECT_EQ(OnDisk(12), block12);
  EXPECT_EQ(State(12), WithSeq(kWritten | kThisRun | kBusy, 1));
  EXPECT_EQ(State(13), WithSeq(kWritten | kThisRun, 2));

  // Block 11 went out before block 13 had its new data, so it records 13's
  // old generation, and the held block 12 as unknown; block 13 went out
  // after 10 and 11 had theirs.
  EXPECT_EQ(EntryOnDisk(11, kSelfEntry - 1), 2);
  EXPECT_EQ(EntryOnDisk(11, kSelfEntry + 1), 0);
  EXPECT_EQ(EntryOnDisk(11, kSelfEntry + 2), 1);
  EXPECT_EQ(EntryOnDisk(13, kSelfEntry - 3), 2);
  EXPECT_EQ(EntryOnDisk(13, kSelfEntry - 2), 2);
  EXPECT_EQ(EntryOnDisk(13, kSelfEntry - 1), 0);
}

TEST_F(WritePathTest, RangeThatStartsWithHeldBlocksUsesTheFirstValue) {
  HoldForAnotherWriter(10);
  HoldForAnotherWriter(11);
  disk_->WriteRange(10, 4);
  const auto writes = Writes();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].offset, 12 * 512);
  EXPECT_EQ(writes[0].length, 2u * 512);
  EXPECT_EQ(HeaderOnDisk(12).WriteSeq, 1);
  EXPECT_EQ(HeaderOnDisk(12).BaseBlk, 12);
  EXPECT_EQ(disk_->Table->WriteSeq, 3);  // the value 2 is never used
  EXPECT_EQ(State(10), kBusy);
}

TEST_F(WritePathTest, RangeWhollyHeldWritesNothingAndReturns) {
  for (int32_t b = 20; b < 24; ++b) HoldForAnotherWriter(b);
  disk_->WriteRange(20, 4);
  EXPECT_TRUE(env_.Transfers().empty());
  EXPECT_EQ(disk_->Table->WriteSeq, 2);
  for (int32_t b = 20; b < 24; ++b) EXPECT_EQ(State(b), kBusy);
}

TEST_F(WritePathTest, WritersOfOneTableDrawFromOneCounter) {
  disk_->WriteRange(0, 2);
  other_->WriteRange(1, 2);
  disk_->WriteRange(0, 1);
  EXPECT_EQ(HeaderOnDisk(0).WriteSeq, 3);
  EXPECT_EQ(HeaderOnDisk(1).WriteSeq, 2);
  EXPECT_EQ(HeaderOnDisk(1).TestCode, 9);
  EXPECT_EQ(HeaderOnDisk(1).Seq, 2u);
  EXPECT_EQ(HeaderOnDisk(2).Seq, 1u);
  EXPECT_EQ(HeaderOnDisk(0).Seq, 2u);
  EXPECT_EQ(EntryOnDisk(0, kSelfEntry + 1), 2);
}

// 65,536 completed writes bring a block back to generation 0, which says
// "unknown" to its neighbours, and the block still reads back clean.
TEST_F(WritePathTest, GenerationWrapsAfterSixtyFiveThousandWrites) {
  for (int n = 1; n < 0x10000; ++n) disk_->WriteRange(5, 1);
  EXPECT_EQ(HeaderOnDisk(5).Seq, 0xFFFFu);
  EXPECT_EQ(SeqOf(State(5)), 0xFFFF);
  disk_->WriteRange(5, 1);
  const BlockHeader h = HeaderOnDisk(5);
  EXPECT_EQ(h.Seq, 0u);
  EXPECT_EQ(h.Fill, (5u ^ 0xBAu) | 0x100u);  // and the checksum flag
  EXPECT_EQ(h.WriteSeq, 0x10000);
  EXPECT_EQ(EntryOnDisk(5, kSelfEntry), 0);
  EXPECT_EQ(State(5), WithSeq(kWritten | kThisRun, 0));
  disk_->WriteRange(4, 1);
  EXPECT_EQ(EntryOnDisk(4, kSelfEntry + 1), 0);

  ::testing::internal::CaptureStdout();
  disk_->ReadRange(4, 2);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(disk_->Mismatches, 0);
}

TEST_F(WritePathTest, DeviceErrorOnTheSecondRunReleasesNothing) {
  disk_->WriteRange(30, 4);
  HoldForAnotherWriter(32);
  const std::vector<uint8_t> block33 = OnDisk(33);
  env_.InjectFault(FakeEnv::Fault::kFail, platform::kErrorIoDevice, 1);

  EXPECT_EQ(ErrorCodeOf([&] { disk_->WriteRange(30, 4); }),
            platform::kErrorIoDevice);

  // The first run reached the disk; nothing this write took is trusted.
  EXPECT_EQ(HeaderOnDisk(30).Seq, 2u);
  EXPECT_EQ(OnDisk(33), block33);
  for (int32_t b : {30, 31, 33}) EXPECT_EQ(State(b), kThisRun | kBusy) << b;
  EXPECT_EQ(State(32), WithSeq(kWritten | kThisRun | kBusy, 1));
  EXPECT_EQ(disk_->Table->WriteSeq, 4);  // reserved values are not returned

  // Later writes skip those blocks and record them as unknown.
  disk_->WriteRange(29, 6);
  EXPECT_EQ(HeaderOnDisk(29).EndBlk, 30);
  EXPECT_EQ(HeaderOnDisk(34).BaseBlk, 34);
  EXPECT_EQ(EntryOnDisk(29, kSelfEntry + 1), 0);
  EXPECT_EQ(HeaderOnDisk(30).Seq, 2u);
}

TEST_F(WritePathTest, ShortWriteIsErrorTwentyFour) {
  env_.InjectFault(FakeEnv::Fault::kShort, 3 * 512);
  EXPECT_EQ(ErrorCodeOf([&] { disk_->WriteRange(0, 4); }),
            platform::kErrorBadLength);
  for (int32_t b = 0; b < 4; ++b) EXPECT_EQ(State(b), kBusy);
}

// Writers and readers of one target must never wait for another's transfer.
TEST_F(WritePathTest, TableLockIsFreeDuringEveryTransfer) {
  int transfers = 0;
  const auto lock_is_free = [&] {
    ++transfers;
    EXPECT_TRUE(disk_->Table->Lock.try_lock());
    disk_->Table->Lock.unlock();
  };
  HoldForAnotherWriter(2);
  for (int skip = 0; skip < 3; ++skip) {
    env_.OnTransfer(FakeEnv::When::kBefore, lock_is_free, skip);
  }
  disk_->WriteRange(0, 4);  // two runs
  disk_->ReadRange(0, 4);
  EXPECT_EQ(transfers, 3);
}

}  // namespace
}  // namespace vorbex
