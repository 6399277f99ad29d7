#ifndef VORBEX_DISK_DISK_HANDLE_H_
#define VORBEX_DISK_DISK_HANDLE_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "disk/block_format.h"
#include "disk/block_state.h"
#include "disk/transfer_counters.h"
#include "platform/env.h"

namespace vorbex {

inline constexpr int32_t kBlockSize = 512;

// Block numbers are signed 32-bit, so a larger target is tested only up to
// this many blocks (just under 1 TiB).
inline constexpr int64_t kMaxBlocks = 0x7FFFFFFF;

// One transfer moves at most a buffer, and the system counts the bytes of a
// transfer in 32 bits.
inline constexpr int32_t kMaxBufferBlocks = 0x7FFFFF;

// The whole blocks in a target of `bytes` bytes, up to kMaxBlocks; a trailing
// partial block is not used.
int32_t BlocksInBytes(int64_t bytes);

// What the processes that test one target share: every TestDisk opened on
// the same path string holds the same table. It lives as long as any of
// them is open; there is no count, only the DiskList.
struct BlockStateTable {
  // Guards the WriteSeq counter and every change that a writer makes to
  // States. Held only for one pass over a range, never across a transfer.
  std::mutex Lock;

  // One entry per block. Writers change entries under Lock; readers copy
  // them without it, one whole 32-bit entry at a time. The start-up scan
  // changes them without Lock while it is the only thread.
  std::unique_ptr<std::atomic<BlockState>[]> States;

  // Constant once test threads run: set at creation, replaced only by the
  // start-up scan on the main thread before any test thread starts.
  uint32_t DiskID = 0;
  int32_t BlockCount = 0;

  // The next WriteSeq to hand out. Guarded by Lock, except that the
  // start-up scan raises it alone before any test thread starts. Never
  // lowered.
  int64_t WriteSeq = 1;

  // Which blocks this process wrote and verified. Shared with the run's
  // summary, which may outlive the table; set at creation.
  std::shared_ptr<TargetCoverage> Coverage;
};

class ExtentMaxima;

// One record of the start-up scan's window: what the valid stamps seen so far
// say about one block.
struct WindowEntry {
  int64_t ExtentSeq = 0;
  int64_t MapSeq = 0;
};

// An extent that the start-up scan has already applied to its window at
// WindowBase. Applying it again before the window slides changes nothing, so
// the other blocks of the same write skip the pass.
struct AppliedExtent {
  int64_t WriteSeq = 0;
  int32_t BaseBlk = 0;
  int32_t EndBlk = 0;
  int32_t WindowBase = 0;
};

// What verifying a block needs of its bytes: its header, its own map entry
// and where its fill first differs from the pattern its header names
// (kFillBytes where it does not).
struct BlockView {
  BlockHeader header{};
  uint16_t own_entry = 0;
  int16_t fill_difference = 0;
};

// The view of the block at bytes, read as block blk.
BlockView ViewOf(const uint8_t* bytes, int32_t blk);

// What the start-up scan learns from one block's bytes alone, before it
// looks at any other block's stamp or the table; found for a whole chunk at
// once, on several threads. Small, so that a chunk's facts stay in the
// cache of the thread that goes through them in order. The block's first
// word is kept because the scan reuses it as soon as the facts are found;
// the rest of its bytes stay where they were read, for the few blocks
// that need them.
struct BlockFacts {
  enum Flag : uint8_t {
    kStamped = 1,     // this target's Magic and DiskID
    kSane = 2,        // and its own Blkno, inside an extent inside the target
    kMapFollows = 4,  // its map is the previous slot's, shifted by one
    kIntact = 8,      // sane, and its fill byte and fill as its Seq says
  };
  int64_t write_seq = 0;
  int32_t base_blk = 0;
  int32_t end_blk = 0;
  uint32_t seq = 0;
  uint32_t first_word = 0;  // its Magic as read
  uint16_t own_entry = 0;
  uint16_t last_entry = 0;  // the map's entry for the farthest neighbour
  uint8_t flags = 0;
};

// What is wrong with one block as read: nothing, its header (expected holds
// what it should say), or its fill (from offset on, which should be want).
struct BlockFinding {
  enum Kind : uint8_t { kGood, kHeader, kFill };
  Kind kind = kGood;
  BlockHeader expected{};
  int32_t offset = 0;
  uint8_t want = 0;
};

// One open handle on the target with everything one thread needs to move
// blocks through it. Open and Close run on the main thread only; between
// them a TestDisk is used by one thread at a time.
class TestDisk {
 public:
  TestDisk() = default;
  TestDisk(const TestDisk&) = delete;
  TestDisk& operator=(const TestDisk&) = delete;
  // A TestDisk must be closed before it is destroyed.
  ~TestDisk() = default;

  // Opens path (kept as an owned copy) with a transfer buffer of
  // buffer_blocks blocks and attaches the path's table, creating it when no
  // open TestDisk has this exact path. Throws Error (87 for buffer_blocks
  // outside 1 ... kMaxBufferBlocks), leaving nothing allocated and the
  // DiskList as it was.
  void Open(const std::string& path, int32_t test_code, int32_t buffer_blocks);

  // Releases what Open made; the table too when no other open TestDisk
  // shares it. Call once, only after a successful Open.
  void Close();

  // The target's size in blocks, queried once and then cached (a size of 0
  // is queried again every time, but never grows past the table's size).
  // Throws Error.
  int32_t GetBlockCount();

  // The first block not Written; BlockCount - 1 when all are, -1 when the
  // target is empty. Takes no lock.
  int32_t FirstUnwritten() const;

  // --- The write path (write_path.cc).

  // Writes blocks first ... first + count - 1, each stamped with a new
  // generation. Blocks that another writer holds are skipped, never waited
  // for, so the range may go out in several runs, one transfer each, or not
  // at all. Throws Error: 87 for a range outside the target or the buffer
  // (nothing changed), the system's code or 24 (short) for a failed run,
  // after which every block this write took stays held, not Written, with
  // generation 0.
  void WriteRange(int32_t first, int32_t count);

  // The steps of WriteRange, each with its range's first block. Prepare,
  // Complete and Abort hold the table's Lock for one pass over the range;
  // the others take no lock.
  void PrepareWrite(int32_t first, int32_t count);
  void StampBlock(int32_t first, int32_t index, int32_t run_start,
                  int32_t run_end);
  void WriteBlocks(int32_t first, int32_t run_start, int32_t run_length);
  void CompleteWrite(int32_t first, int32_t count);
  void AbortWrite(int32_t first, int32_t count);

  // --- The read path (read_path.cc).

  // Reads blocks first ... first + count - 1 with one transfer into Buffer
  // and verifies every block this process may trust, reporting each
  // mismatch. Takes no table lock. Throws Error: 87 for a range outside the
  // target or the buffer (nothing read), the system's code or 24 (short)
  // for a failed read. With errstop, outside the start-up scan, the first
  // mismatch ends the process with code 1 once its report is printed.
  void ReadRange(int32_t first, int32_t count);

  // Checks the block in slot index of the range that starts at first against
  // its RangeStates entry and its current table entry, and reports it when
  // it differs. A block the start-up scan marked (Seen and Recheck) is
  // checked whatever its flags and becomes Written when it passes.
  // The scan passes the facts it found of the block already; its first
  // word in the buffer is then taken to be facts->first_word.
  void VerifyBlock(int32_t first, int32_t index, int32_t count,
                   const BlockFacts* facts = nullptr);

  // Judges block blk, as view shows it, against the table entry copied
  // before its read and the one after it.
  BlockFinding ExamineBlock(int32_t blk, const BlockView& view,
                            BlockState before, BlockState current) const;
  // VerifyBlock's judgement from the block's bytes: true when it passes;
  // false when it was reported, or dropped after a torn read.
  bool PassesOnBytes(int32_t first, int32_t index, int32_t count,
                     const BlockFacts* facts, BlockState before,
                     BlockState current);
  // True only when ExamineBlock would find nothing wrong with the block the
  // facts describe; false says nothing. Looks at the facts alone.
  bool PassesOnFacts(int32_t blk, const BlockFacts& facts, BlockState before,
                     BlockState current) const;

  // Verified blocks, gathered a word at a time: one atomic update of the
  // coverage per 64 blocks rather than per block. FlushVerified publishes
  // them to the coverage and to BlocksVerified together; every read flushes
  // before it returns or throws, and before a report that may end the
  // process. A summary made meanwhile counts up to 63 verified blocks a disk
  // fewer, in both figures alike.
  void NoteVerified(int32_t blk);
  void FlushVerified();

  // On a Cached target: reads blk alone into Spare until no write of it ran
  // during the read, and judges it then. True, with the finding, when it
  // fails again; false when it passes, is no longer trusted, or is never
  // left alone long enough. Throws what ReadRange throws for a failed read.
  bool ReadAgainAlone(int32_t blk, BlockFinding* found);

  // Print one whole report under the ReportLock and count it.
  void ReportHeaderMismatch(int32_t block, const BlockHeader& read,
                            const BlockHeader& expected, int32_t first,
                            int32_t count);
  void ReportFillMismatch(int32_t block, const uint8_t* bytes, int32_t offset,
                          uint8_t expected);

  // --- The start-up scan (check/scan.cc), on a disk opened only for it,
  // while it is the only open disk of its target and the main thread the
  // only thread.

  // Reads the whole target once, in chunks of BufferBlocks, rebuilds the
  // table from the stamps found there, and verifies every block that some
  // stamp vouches for. Throws Error: 11 when block 0 does not carry block
  // 0's stamp, or when mismatches were reported and errstop is set; 87 when
  // BufferBlocks is too small for the window to hold a stamp's neighbours;
  // and whatever ReadRange throws, at the point where the reads, made in
  // order, would throw it.
  void ScanTarget();
  // Applies what the block in slot index of the chunk that starts at first
  // says about itself, its extent and its neighbours; facts are its own.
  void AnalyseBlock(int32_t first, int32_t index, const BlockFacts& facts);
  // Puts what the extents applied so far claim for the chunk that starts at
  // first (a multiple of BufferBlocks in the window) into the window and the
  // table: a block that must carry a newer WriteSeq than its entry says is
  // marked Recheck.
  void SettleExtents(int64_t first);
  // Reads again and verifies every block from first to end - 1 marked
  // Recheck, in runs of at most BufferBlocks. Returns how many blocks from
  // the start of Buffer the rereads overwrote.
  int32_t RereadRechecks(int32_t first, int32_t end);

  // --- Constant while open.
  std::string Path;
  bool IsFile = false;
  // Reads may be copies from memory that a concurrent write of the same
  // block tears (see Target::Buffered).
  bool Cached = false;
  int32_t TestCode = 0;
  int32_t BufferBlocks = 0;
  BlockStateTable* Table = nullptr;  // shared; see BlockStateTable

  // --- Main thread only (Open, Close).
  TestDisk* Next = nullptr;  // in the DiskList

  // --- Owned by the one thread that uses this disk.
  std::unique_ptr<platform::Target> Handle;
  uint8_t* Buffer = nullptr;  // BufferBlocks blocks, page-aligned
  uint8_t* Spare = nullptr;   // one block, page-aligned; Cached disks only
  int32_t BlockCount = 0;
  std::unique_ptr<BlockState[]> RangeStates;      // BufferBlocks
  std::unique_ptr<int32_t[]> RunEnds;             // BufferBlocks
  std::unique_ptr<uint16_t[]> NeighbourSnapshot;  // BufferBlocks + 128
  int32_t Mismatches = 0;  // reports printed; stops at INT32_MAX
  // What this disk moved and found, for the summary; claimed by Open and
  // added to only by the thread that uses the disk.
  TransferCounters* Counts = nullptr;
  int64_t RunWriteSeq = 0;
  std::unique_ptr<WindowEntry[]> ScanWindow;  // start-up scan only
  int32_t WindowBase = 0;
  int32_t WindowBlocks = 0;
  // What the scan has applied already, so it is not applied again.
  std::unique_ptr<AppliedExtent[]> AppliedExtents;  // a fixed number
  ExtentMaxima* Extents = nullptr;  // the scan's own, while it runs
  // Threads that find BlockFacts, the scan's own included; 0 for one per
  // processor.
  int32_t ScanThreads = 0;
  int32_t MappedIndex = -1;  // the chunk slot whose neighbours were applied
  int64_t MappedSeq = 0;     // and its WriteSeq
  // Verified blocks not yet in the coverage: bits of word VerifiedWord.
  int32_t VerifiedWord = 0;
  uint64_t VerifiedBits = 0;

 private:
  void AttachTable();
  void CountMismatch();
  // Error 87 unless the range lies inside the target and fits the buffer.
  void CheckRange(int32_t first, int32_t count) const;
  // The Error of a transfer that failed or moved fewer bytes than asked.
  static void CheckTransfer(uint32_t rc, uint32_t moved, uint32_t length);
  // Counts one transfer, and its bytes when it succeeded, in Counts.
  void CountTransfer(uint32_t rc, uint32_t moved, uint32_t length, bool write);

  platform::Env* env_ = nullptr;  // the Env that made Handle and Buffer
};

// The newest open TestDisk; the rest follow through Next. Main thread only.
TestDisk* DiskListHead();

// The process-wide lock that keeps each mismatch report whole. It exists
// while any TestDisk is open, and is null otherwise.
std::mutex* ReportLock();

}  // namespace vorbex

#endif  // VORBEX_DISK_DISK_HANDLE_H_
