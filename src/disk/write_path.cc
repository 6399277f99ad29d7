// Stamped writes. A write takes its blocks (Busy) and reserves its WriteSeq
// values in one hold of the table's Lock, stamps and writes them without the
// Lock, and releases them under the Lock again. Blocks that another writer
// holds are skipped rather than waited for, so no writer ever blocks on
// another's transfer. Each transfer passes the process's exit gate, so the
// process never ends in the middle of one.

#include <cstring>
#include <mutex>

#include "base/exit_gate.h"
#include "base/flags.h"
#include "disk/block_format.h"
#include "disk/block_stores.h"
#include "disk/disk_handle.h"
#include "disk/stamp_checksum.h"
#include "journal/journal_writer.h"

namespace vorbex {

void TestDisk::WriteRange(int32_t first, int32_t count) {
  CheckRange(first, count);
  PrepareWrite(first, count);
  int32_t i = 0;
  while (i < count) {
    if ((RangeStates[i] & kBusy) != 0) {
      i = RunEnds[i];  // another writer's run
      continue;
    }
    const int32_t e = RunEnds[i];
    // One run at a time, so the neighbour map of a block shows the new
    // generation for its own and earlier runs, which are on the disk when it
    // lands, and the old one for later runs, which are not yet.
    for (int32_t j = i; j < e; ++j) {
      RangeStates[j] = WithSeq(
          RangeStates[j], static_cast<uint16_t>(SeqOf(RangeStates[j]) + 1));
      ++NeighbourSnapshot[j + kSelfEntry];
    }
    for (int32_t k = i; k < e; ++k) StampBlock(first, k, i, e);
    try {
      WriteBlocks(first, i, e - i);
    } catch (...) {
      AbortWrite(first, count);
      throw;
    }
    ++RunWriteSeq;
    i = e;
  }
  CompleteWrite(first, count);
}

void TestDisk::PrepareWrite(int32_t first, int32_t count) {
  std::lock_guard<std::mutex> hold(Table->Lock);
  std::atomic<BlockState>* states = Table->States.get();
  RunWriteSeq = Table->WriteSeq++;

  // Before the range's blocks are taken, so that they contribute their
  // current generation and only other writers' blocks read as 0.
  for (int32_t i = 0; i < count + kNeighbours; ++i) {
    const int64_t b = static_cast<int64_t>(first) - kSelfEntry + i;
    uint16_t seq = 0;
    if (b >= 0 && b < BlockCount) {
      const BlockState s = states[b].load(std::memory_order_relaxed);
      if ((s & kBusy) == 0) seq = SeqOf(s);
    }
    NeighbourSnapshot[i] = seq;
  }

  int32_t c = 0;  // start of the current run
  for (int32_t i = 0; i < count; ++i) {
    RangeStates[i] = states[first + i].load(std::memory_order_relaxed);
    if (((RangeStates[c] ^ RangeStates[i]) & kBusy) != 0) {
      RunEnds[c] = i;
      c = i;
    }
    if ((RangeStates[i] & kBusy) != 0) continue;
    // Every change of an entry while tests run is made under the Lock, so
    // a store of what was just loaded does; an atomic read-modify-write per
    // block would lengthen the hold for nothing.
    states[first + i].store(RangeStates[i] | kBusy, std::memory_order_release);
    // Every own run after the first gets the next value; reserving them all
    // in this one hold keeps other writers' values out from between them.
    if (i != 0 && i == c) ++Table->WriteSeq;
  }
  RunEnds[c] = count;
}

void TestDisk::StampBlock(int32_t first, int32_t index, int32_t run_start,
                          int32_t run_end) {
  uint8_t* block = Buffer + static_cast<size_t>(index) * kBlockSize;
  BlockHeader h;
  h.Magic = kMagic;
  h.DiskID = Table->DiskID;
  h.Blkno = first + index;
  h.RunID = g_flags.RunID;
  h.TestCode = TestCode;
  h.BaseBlk = first + run_start;
  h.EndBlk = first + run_end;
  h.Seq = SeqOf(RangeStates[index]);
  h.WriteSeq = RunWriteSeq;
  const uint8_t fill = FillByte(h.Seq, h.Blkno);
  h.Fill = fill;
  h.Reserved = 0;
  const uint16_t* map = &NeighbourSnapshot[index];
  if (g_flags.checksum) {
    // A run's first block: another extent and WriteSeq, and a snapshot
    // moved on since the last run was stamped.
    if (index == run_start) Summer.Restart(run_end - run_start);
    h.Fill |= uint32_t{kChecksumFlag} << 8;
    h.Reserved = Summer.Sum(h, map);
  }
  StoreBlock(block, h, map, FillPattern(fill));
}

void TestDisk::WriteBlocks(int32_t first, int32_t run_start,
                           int32_t run_length) {
  const int64_t offset = (static_cast<int64_t>(first) + run_start) * kBlockSize;
  const uint32_t length = static_cast<uint32_t>(run_length) * kBlockSize;
  uint32_t moved = 0;
  uint32_t rc = 0;
  StoresDone();
  {
    // Only the transfer itself: the thread must be out of the gate before
    // CheckTransfer throws, as a failure may end the process.
    const GatedWrite gated(ProcessExitGate());
    TransferTimer timer(Counts, TransferCounters::kOwnSlot, true,
                        first + run_start, run_length);
    rc = Handle->WriteAt(offset,
                         Buffer + static_cast<size_t>(run_start) * kBlockSize,
                         length, &moved);
    timer.End();
  }
  CountTransfer(rc, moved, length, true);
  CheckTransfer(rc, moved, length);
  // Only now has the run returned, and only now may the journal claim it.
  if (journal::g_journal != nullptr) {
    journal::g_journal->RecordWrite(RunWriteSeq, first + run_start,
                                    run_length, SteadyNanos());
  }
  Table->Coverage->MarkWritten(first + run_start, run_length);
}

void TestDisk::CompleteWrite(int32_t first, int32_t count) {
  std::lock_guard<std::mutex> hold(Table->Lock);
  std::atomic<BlockState>* states = Table->States.get();
  for (int32_t i = 0; i < count; ++i) {
    if ((RangeStates[i] & kBusy) != 0) continue;
    // No one else changes a block's Seq while this write holds it, so this
    // makes it the generation just stamped.
    BlockState s = states[first + i].load(std::memory_order_relaxed);
    s = WithSeq(s, static_cast<uint16_t>(SeqOf(s) + 1));
    states[first + i].store((s | kWritten | kThisRun) & ~kBusy,
                            std::memory_order_release);
  }
}

void TestDisk::AbortWrite(int32_t first, int32_t count) {
  std::lock_guard<std::mutex> hold(Table->Lock);
  std::atomic<BlockState>* states = Table->States.get();
  for (int32_t i = 0; i < count; ++i) {
    if ((RangeStates[i] & kBusy) != 0) continue;
    // What the failed write left on the disk is unknown, so the block is
    // never verified again and stays held, out of every later write.
    const BlockState s = states[first + i].load(std::memory_order_relaxed);
    states[first + i].store(WithSeq(s & ~kWritten, 0),
                            std::memory_order_release);
  }
}

}  // namespace vorbex
