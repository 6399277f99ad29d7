// Verified reads. Readers take no table lock: each entry is copied before the
// transfer and read again after it, and a block passes with any generation
// that a writer could have left on the disk in between. A device moves each
// block in one piece, but a read served from memory may catch a concurrent
// write of the same block half done; on such targets a block that fails
// while a write of it was under way is read again alone, and reported only
// if it fails with no write under way.

#include <bit>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>
#include <thread>

#include "base/console.h"
#include "base/flags.h"
#include "base/process_end.h"
#include "disk/block_format.h"
#include "disk/block_stores.h"
#include "disk/disk_handle.h"
#include "disk/mismatch_log.h"
#include "disk/reports.h"

namespace vorbex {

// The disk may hold any generation from s0 up to e (one more than the
// entry's while a write is in flight), counting upward through the wrap at
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

void TestDisk::ReadRange(int32_t first, int32_t count,
                         const VerifyPolicy& policy) {
  CheckRange(first, count);
  const std::atomic<BlockState>* states = Table->States.get();
  for (int32_t i = 0; i < count; ++i) RangeStates[i] = states[first + i].load();
  PoisonBlocks(Buffer, count);

  const int64_t offset = static_cast<int64_t>(first) * kBlockSize;
  const uint32_t length = static_cast<uint32_t>(count) * kBlockSize;
  uint32_t moved = 0;
  TransferTimer timer(Counts, TransferCounters::kOwnSlot, false, first, count);
  const uint32_t rc = Handle->ReadAt(offset, Buffer, length, &moved);
  timer.End();
  CountTransfer(rc, moved, length, false);
  CheckTransfer(rc, moved, length);

  try {
    for (int32_t i = 0; i < count; ++i) {
      VerifyBlock(first, i, count, Buffer, policy);
    }
  } catch (...) {
    FlushVerified();
    throw;
  }
  FlushVerified();
}

void TestDisk::NoteVerified(int32_t blk) {
  const int32_t word = blk / 64;
  if (word != VerifiedWord) {
    FlushVerified();
    VerifiedWord = word;
  }
  VerifiedBits |= uint64_t{1} << (blk % 64);
}

void TestDisk::FlushVerified() {
  if (VerifiedBits == 0) return;
  // Within one word each block was verified once since the last flush, so
  // the count and the coverage move together.
  TransferCounters::Add(Counts->BlocksVerified, std::popcount(VerifiedBits));
  Table->Coverage->MarkVerifiedWord(VerifiedWord, VerifiedBits);
  VerifiedBits = 0;
}

BlockView ViewOf(const uint8_t* bytes, int32_t blk) {
  BlockView v;
  v.header = LoadHeader(bytes);
  v.own_entry = NeighbourEntry(bytes, kSelfEntry);
  // Without its Magic a block is no stamp, and its other bytes say nothing:
  // least of all a device that never delivered it.
  if (v.header.Magic == kMagic) v.checksum = CheckChecksum(bytes, v.header);
  // A checksum that holds vouches for every byte the writer wrote, and the
  // writer wrote the fill its header names.
  v.fill_difference =
      v.checksum.kind == ChecksumVerdict::kNone
          ? static_cast<int16_t>(
                FillDifference(bytes, FillByte(v.header.Seq, blk)))
          : static_cast<int16_t>(kFillBytes);
  return v;
}

void TestDisk::VerifyBlock(int32_t first, int32_t index, int32_t count,
                           const uint8_t* data, const VerifyPolicy& policy,
                           bool known_good) {
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

  if (!known_good &&
      !PassesOnBytes(first, index, count, data, policy, before, current)) {
    return;
  }
  NoteVerified(blk);
  if (confirm) {
    cell.store((current & ~kRecheck) | kWritten, std::memory_order_relaxed);
  }
}

bool TestDisk::PassesOnBytes(int32_t first, int32_t index, int32_t count,
                             const uint8_t* data, const VerifyPolicy& policy,
                             BlockState before, BlockState current) {
  const int32_t blk = first + index;
  const uint8_t* bytes = data + static_cast<size_t>(index) * kBlockSize;
  const BlockView view = ViewOf(bytes, blk);
  BlockFinding found = ExamineBlock(blk, view, before, current, policy);
  if (found.kind == BlockFinding::kGood) return true;
  // Only a write of this very block can have torn it, and such a write
  // holds the block or moves its generation while it is under way. A
  // reader that is the only thread on the target always finds it settled.
  const bool settled = before == current && (before & kBusy) == 0;
  if (Cached && !settled) {
    if (!ReadAgainAlone(blk, policy, &found)) return false;
    bytes = Spare;
    first = blk;
    count = 1;
  }
  std::string also;
  bool durable = false;
  if (policy.judge != nullptr) {
    switch (policy.judge->Judge(blk, LoadHeader(bytes), found, &also)) {
      case MismatchJudge::kAllowed: return false;
      case MismatchJudge::kDurableLost: durable = true; break;
      case MismatchJudge::kReport: break;
    }
  }
  if (found.kind != BlockFinding::kFill) {
    ReportHeaderMismatch(blk, LoadHeader(bytes), found, first, count, policy,
                         durable, also);
  } else {
    ReportFillMismatch(blk, bytes, found.offset, found.want, policy, durable,
                       also);
  }
  return false;
}

BlockFinding TestDisk::ExamineBlock(int32_t blk, const BlockView& view,
                                    BlockState before, BlockState current,
                                    const VerifyPolicy& policy) const {
  BlockFinding found;
  const BlockHeader& read = view.header;
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
  if (policy.write_seqs != nullptr) {
    expected.WriteSeq = policy.write_seqs[blk - policy.write_seqs_from];
  }
  uint16_t e = SeqOf(current);
  if ((current & kBusy) != 0) ++e;
  expected.Seq = ExpectedSeq(read.Seq, SeqOf(before), e, view.own_entry);
  expected.Fill = (read.Fill & ~0xFFu) | FillByte(read.Seq, blk);

  // First: a block that is not what its writer wrote vouches for nothing,
  // and its report shows what its header says besides.
  if (view.checksum.kind == ChecksumVerdict::kBad) {
    found.kind = BlockFinding::kChecksum;
    found.checksum = view.checksum;
    return found;
  }
  if (std::memcmp(&read, &expected, sizeof read) != 0) {
    found.kind = BlockFinding::kHeader;
    return found;
  }
  // The pattern follows from the header as read, so the view's difference
  // is the one to report.
  const auto fill = static_cast<uint8_t>(expected.Fill);
  const int k = view.fill_difference;
  if (k != kFillBytes) {
    found.kind = BlockFinding::kFill;
    found.offset = kFillOffset + k;
    found.want = FillPattern(fill)[k];
  }
  return found;
}

bool TestDisk::ReadAgainAlone(int32_t blk, const VerifyPolicy& policy,
                              BlockFinding* found) {
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
    PoisonBlocks(Spare, 1);
    uint32_t moved = 0;
    TransferTimer timer(Counts, TransferCounters::kOwnSlot, false, blk, 1);
    const uint32_t rc =
        Handle->ReadAt(int64_t{blk} * kBlockSize, Spare, kBlockSize, &moved);
    timer.End();
    CountTransfer(rc, moved, kBlockSize, false);
    CheckTransfer(rc, moved, kBlockSize);
    if (cell.load() != before) continue;
    *found = ExamineBlock(blk, ViewOf(Spare, blk), before, before, policy);
    return found->kind != BlockFinding::kGood;
  }
  return false;
}

void TestDisk::CountMismatch() {
  // Stops rather than wraps: whoever reads it only asks whether it is 0.
  if (Mismatches < std::numeric_limits<int32_t>::max()) ++Mismatches;
  TransferCounters::Add(Counts->Mismatches, 1);
}

void TestDisk::ReportHeaderMismatch(int32_t block, const BlockHeader& read,
                                    const BlockFinding& found, int32_t first,
                                    int32_t count,
                                    const VerifyPolicy& policy,
                                    bool durable, const std::string& also) {
  {
    std::lock_guard<std::mutex> hold(*vorbex::ReportLock());
    PrintOut(HeaderReport(Now().c_str(), Path, block, TestCode, read,
                          found.expected, first, count, g_flags.RunID,
                          found.checksum, also));
    CountMismatch();
    RecordMismatch(block, TestCode,
                   durable ? MismatchRecord::kDurableLost
                   : found.kind == BlockFinding::kChecksum
                       ? MismatchRecord::kChecksum
                       : MismatchRecord::kHeader);
  }
  // What this read verified before the mismatch counts, even if the
  // process ends now.
  FlushVerified();
  if (policy.errstop_ends_process && g_flags.errstop != 0) EndProcess(1);
}

void TestDisk::ReportFillMismatch(int32_t block, const uint8_t* bytes,
                                  int32_t offset, uint8_t expected,
                                  const VerifyPolicy& policy, bool durable,
                                  const std::string& also) {
  {
    std::lock_guard<std::mutex> hold(*vorbex::ReportLock());
    PrintOut(FillReport(Path, block, bytes, offset, expected, also));
    CountMismatch();
    RecordMismatch(block, TestCode,
                   durable ? MismatchRecord::kDurableLost
                           : MismatchRecord::kFill);
  }
  FlushVerified();
  if (policy.errstop_ends_process && g_flags.errstop != 0) EndProcess(1);
}

}  // namespace vorbex
