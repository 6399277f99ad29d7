// Verified reads. Readers take no table lock: each entry is copied before the
// transfer and read again after it, and a block passes with any generation
// that a writer could have left on the disk in between. A device moves each
// block in one piece, but a read served from memory may catch a concurrent
// write of the same block half done; on such targets a block that fails
// while a write of it was under way is read again alone, and reported only
// if it fails with no write under way.

#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>
#include <thread>

#include "base/console.h"
#include "base/flags.h"
#include "disk/block_format.h"
#include "disk/mismatch_log.h"
#include "disk/reports.h"
#include "disk/test_disk.h"

namespace vorbex {
namespace {

// The generation a block must carry. The disk may hold any generation from
// s0, copied before the transfer, up to e, the one after the transfer (one
// more while a write is in flight), counting upward through the wrap at
// 16 bits. A word with a non-zero high half is never a generation.
uint32_t ExpectedSeq(uint32_t read, uint16_t s0, uint16_t e,
                     uint16_t own_entry) {
  const bool accepted = read <= 0xFFFF && static_cast<uint16_t>(read - s0) <=
                                              static_cast<uint16_t>(e - s0);
  if (!accepted) return e;
  // The block's own map entry was stamped with its Seq, so a difference
  // means one of the two was damaged; 0 says nothing.
  if (own_entry != 0 && own_entry != read) return own_entry;
  return read;
}

}  // namespace

void TestDisk::ReadRange(int32_t first, int32_t count) {
  CheckRange(first, count);
  const std::atomic<BlockState>* states = Table->States.get();
  for (int32_t i = 0; i < count; ++i) RangeStates[i] = states[first + i].load();
  for (int32_t i = 0; i < count; ++i) PoisonBlock(i);

  const int64_t offset = static_cast<int64_t>(first) * kBlockSize;
  const uint32_t length = static_cast<uint32_t>(count) * kBlockSize;
  uint32_t moved = 0;
  const uint32_t rc = Handle->ReadAt(offset, Buffer, length, &moved);
  CountTransfer(rc, moved, length, false);
  CheckTransfer(rc, moved, length);

  for (int32_t i = 0; i < count; ++i) VerifyBlock(first, i, count);
}

void TestDisk::PoisonBlock(int32_t index) {
  std::memcpy(Buffer + static_cast<size_t>(index) * kBlockSize, &kPoison,
              sizeof kPoison);
}

void TestDisk::VerifyBlock(int32_t first, int32_t index, int32_t count) {
  const int32_t blk = first + index;
  std::atomic<BlockState>& cell = Table->States[blk];
  const BlockState current = cell.load();
  const BlockState before = RangeStates[index];

  const bool confirm = (current & (kSeen | kRecheck)) == (kSeen | kRecheck);
  if (confirm) {
    // Whatever the outcome: a marked block is checked once. Marked blocks
    // exist only while the start-up scan runs alone, so no writer can change
    // this entry under the reader, and a plain store does.
    cell.store(current & ~kRecheck, std::memory_order_relaxed);
  } else if ((before & kWritten) == 0 || (current & kWritten) == 0) {
    // Not stamped by anything this process trusts, or its write failed
    // while the read was under way.
    return;
  }

  const uint8_t* bytes = Buffer + static_cast<size_t>(index) * kBlockSize;
  BlockFinding found = ExamineBlock(blk, bytes, before, current);
  if (found.kind == BlockFinding::kGood) {
    TransferCounters::Add(Counts->BlocksVerified, 1);
    Table->Coverage->MarkVerified(blk);
    if (confirm) {
      cell.store((current & ~kRecheck) | kWritten, std::memory_order_relaxed);
    }
    return;
  }
  // Only a write of this very block can have torn it, and such a write
  // holds the block or moves its generation while it is under way.
  const bool settled = before == current && (before & kBusy) == 0;
  if (Cached && ScanWindow == nullptr && !settled) {
    if (!ReadAgainAlone(blk, &found)) return;
    bytes = Spare;
    first = blk;
    count = 1;
  }
  if (found.kind == BlockFinding::kHeader) {
    ReportHeaderMismatch(blk, bytes,
                         reinterpret_cast<const uint8_t*>(&found.expected),
                         first, count);
  } else {
    ReportFillMismatch(blk, bytes, found.offset, found.want);
  }
}

BlockFinding TestDisk::ExamineBlock(int32_t blk, const uint8_t* bytes,
                                    BlockState before,
                                    BlockState current) const {
  BlockFinding found;
  const BlockHeader read = LoadHeader(bytes);
  BlockHeader& expected = found.expected;
  expected = read;
  expected.Magic = kMagic;
  expected.DiskID = Table->DiskID;
  expected.Blkno = blk;
  if ((before & kThisRun) != 0) expected.RunID = g_flags.RunID;
  // An invalid bound is made to differ (unsigned, so the largest value wraps
  // rather than overflows).
  if (read.BaseBlk < 0 || read.BaseBlk > read.Blkno) {
    expected.BaseBlk =
        static_cast<int32_t>(static_cast<uint32_t>(read.BaseBlk) + 1);
  }
  if (read.EndBlk > BlockCount || read.EndBlk <= read.Blkno) {
    expected.EndBlk =
        static_cast<int32_t>(static_cast<uint32_t>(read.EndBlk) + 1);
  }
  if (ScanWindow != nullptr) {
    expected.WriteSeq = ScanWindow[blk - WindowBase].ExtentSeq;
  }
  uint16_t e = SeqOf(current);
  if ((current & kBusy) != 0) ++e;
  expected.Seq = ExpectedSeq(read.Seq, SeqOf(before), e,
                             NeighbourEntry(bytes, kSelfEntry));
  expected.Fill = (read.Fill & ~0xFFu) | FillByte(read.Seq, blk);

  if (std::memcmp(&read, &expected, sizeof read) != 0) {
    found.kind = BlockFinding::kHeader;
    return found;
  }
  const uint8_t* want = FillPattern(static_cast<uint8_t>(expected.Fill));
  if (std::memcmp(bytes + kFillOffset, want, kFillBytes) != 0) {
    int32_t k = 0;
    while (bytes[kFillOffset + k] == want[k]) ++k;
    found.kind = BlockFinding::kFill;
    found.offset = kFillOffset + k;
    found.want = want[k];
  }
  return found;
}

bool TestDisk::ReadAgainAlone(int32_t blk, BlockFinding* found) {
  // Enough for a block that a few writers take turns on; one that is never
  // left alone this long is read again by some later read.
  constexpr int kTries = 1000;
  const std::atomic<BlockState>& cell = Table->States[blk];
  for (int t = 0; t < kTries; ++t) {
    const BlockState before = cell.load();
    if ((before & kWritten) == 0) return false;
    if ((before & kBusy) != 0) {
      std::this_thread::yield();
      continue;
    }
    std::memcpy(Spare, &kPoison, sizeof kPoison);
    uint32_t moved = 0;
    const uint32_t rc =
        Handle->ReadAt(int64_t{blk} * kBlockSize, Spare, kBlockSize, &moved);
    CountTransfer(rc, moved, kBlockSize, false);
    CheckTransfer(rc, moved, kBlockSize);
    if (cell.load() != before) continue;
    *found = ExamineBlock(blk, Spare, before, before);
    return found->kind != BlockFinding::kGood;
  }
  return false;
}

void TestDisk::CountMismatch() {
  // Stops rather than wraps: whoever reads it only asks whether it is 0.
  if (Mismatches < std::numeric_limits<int32_t>::max()) ++Mismatches;
  TransferCounters::Add(Counts->Mismatches, 1);
}

void TestDisk::ReportHeaderMismatch(int32_t block, const uint8_t* read,
                                    const uint8_t* expected, int32_t first,
                                    int32_t count) {
  {
    std::lock_guard<std::mutex> hold(*vorbex::ReportLock());
    PrintOut(HeaderReport(Now().c_str(), Path, block, TestCode,
                          LoadHeader(read), LoadHeader(expected), first, count,
                          g_flags.RunID));
    CountMismatch();
    RecordMismatch(block, TestCode, MismatchRecord::kHeader);
  }
  // The scan counts its mismatches and decides at its end.
  if (ScanWindow == nullptr && g_flags.errstop != 0) EndProcess(1);
}

void TestDisk::ReportFillMismatch(int32_t block, const uint8_t* bytes,
                                  int32_t offset, uint8_t expected) {
  {
    std::lock_guard<std::mutex> hold(*vorbex::ReportLock());
    PrintOut(FillReport(Path, block, bytes, offset, expected));
    CountMismatch();
    RecordMismatch(block, TestCode, MismatchRecord::kFill);
  }
  if (ScanWindow == nullptr && g_flags.errstop != 0) EndProcess(1);
}

}  // namespace vorbex
