#ifndef VORBEX_DISK_DISK_HANDLE_H_
#define VORBEX_DISK_DISK_HANDLE_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "disk/block_format.h"
#include "disk/block_state.h"
#include "disk/stamp_checksum.h"
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

// What verifying a block needs of its bytes: its header, its own map
// entry, what its checksum says and, for a stamp without one, where its
// fill first differs from the pattern its header names (kFillBytes where it
// does not, or where a checksum vouches for the fill or rules the block
// out already).
struct BlockView {
  BlockHeader header{};
  uint16_t own_entry = 0;
  int16_t fill_difference = 0;
  ChecksumVerdict checksum;
};

// The view of the block at bytes, read as block blk.
BlockView ViewOf(const uint8_t* bytes, int32_t blk);

// The generation a block that reads `read` must carry, when the disk may
// hold any generation from s0, copied before the transfer, up to e, the one
// after it, and own_entry is the block's own map entry as read.
uint32_t ExpectedSeq(uint32_t read, uint16_t s0, uint16_t e,
                     uint16_t own_entry);

struct BlockFinding;

// A second opinion on a block that a check would report, from what the run
// that wrote the target recorded of its writes and flushes: whether the
// block lost a write that the drive had promised to keep, or only writes it
// was free to lose when the power went.
class MismatchJudge {
 public:
  enum Verdict { kReport, kAllowed, kDurableLost };
  // Block blk, whose header reads read, fails as found says. For
  // kDurableLost, *line gets a line for its report (tab, text, newline).
  virtual Verdict Judge(int32_t blk, const BlockHeader& read,
                        const BlockFinding& found, std::string* line) = 0;

 protected:
  ~MismatchJudge() = default;
};

// How a read verifies, besides the table: what each block must carry and
// what a mismatch does. The test threads read with the default. The
// whole-target check holds each block to the newest write that any stamp
// before it claimed, and counts its mismatches to decide at its end.
struct VerifyPolicy {
  // Block b must carry WriteSeq write_seqs[b - write_seqs_from]; null: the
  // one it carries, since what the table knows of a block is its Seq.
  const int64_t* write_seqs = nullptr;
  int32_t write_seqs_from = 0;
  // Under errstop a mismatch ends the process once it is reported.
  bool errstop_ends_process = true;
  // Asked about every block before it is reported; null: report them all.
  MismatchJudge* judge = nullptr;
};

// The test threads' policy; one constant, so that no read builds its own.
inline constexpr VerifyPolicy kThreadPolicy{};

// What is wrong with one block as read: nothing, its checksum (it is not
// what its writer wrote; expected holds what its header should say), its
// header, or its fill (from offset on, which should be want).
struct BlockFinding {
  enum Kind : uint8_t { kGood, kChecksum, kHeader, kFill };
  Kind kind = kGood;
  ChecksumVerdict checksum;
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
  // for a failed read. With errstop, unless the policy says otherwise, the
  // first mismatch ends the process with code 1 once its report is printed.
  void ReadRange(int32_t first, int32_t count,
                 const VerifyPolicy& policy = kThreadPolicy);

  // Checks the block in slot index of the range of count blocks that starts
  // at first and lies at data, against its RangeStates entry and its
  // current table entry, and reports it when it differs. A block that the
  // start-up check marked (Seen and Recheck) is checked whatever its flags
  // and becomes Written when it passes. known_good: the caller has found
  // already, from what it knows of the block's bytes, that they pass.
  void VerifyBlock(int32_t first, int32_t index, int32_t count,
                   const uint8_t* data, const VerifyPolicy& policy,
                   bool known_good = false);
  // The same for a range read into Buffer, as the test threads read.
  void VerifyBlock(int32_t first, int32_t index, int32_t count) {
    VerifyBlock(first, index, count, Buffer, kThreadPolicy);
  }

  // Judges block blk, as view shows it, against the table entry copied
  // before its read and the one after it.
  BlockFinding ExamineBlock(int32_t blk, const BlockView& view,
                            BlockState before, BlockState current,
                            const VerifyPolicy& policy) const;
  // VerifyBlock's judgement from the block's bytes: true when it passes;
  // false when it was reported, or dropped after a torn read.
  bool PassesOnBytes(int32_t first, int32_t index, int32_t count,
                     const uint8_t* data, const VerifyPolicy& policy,
                     BlockState before, BlockState current);

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
  bool ReadAgainAlone(int32_t blk, const VerifyPolicy& policy,
                      BlockFinding* found);

  // Print one whole report under the ReportLock and count it; then, under
  // errstop and unless the policy says otherwise, end the process.
  // durable: the judge found a write lost after its flush; also is the
  // line that says which.
  void ReportHeaderMismatch(int32_t block, const BlockHeader& read,
                            const BlockFinding& found, int32_t first,
                            int32_t count, const VerifyPolicy& policy,
                            bool durable = false, const std::string& also = "");
  void ReportFillMismatch(int32_t block, const uint8_t* bytes, int32_t offset,
                          uint8_t expected, const VerifyPolicy& policy,
                          bool durable = false, const std::string& also = "");

  // Counts one transfer, and its bytes when it succeeded, in Counts: for
  // readers that move blocks through Handle themselves, as the start-up
  // check does.
  void CountTransfer(uint32_t rc, uint32_t moved, uint32_t length, bool write);
  // The Error of a transfer that failed or moved fewer bytes than asked.
  static void CheckTransfer(uint32_t rc, uint32_t moved, uint32_t length);

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
  StampSummer Summer;  // sums the stamps this disk writes
  // Verified blocks not yet in the coverage: bits of word VerifiedWord.
  int32_t VerifiedWord = 0;
  uint64_t VerifiedBits = 0;

 private:
  void AttachTable();
  void CountMismatch();
  // Error 87 unless the range lies inside the target and fits the buffer.
  void CheckRange(int32_t first, int32_t count) const;

 public:
  // The Env that made Handle and Buffer, for more memory of the same kind.
  platform::Env* env() const { return env_; }

 private:
  platform::Env* env_ = nullptr;  // the Env that made Handle and Buffer
};

// The newest open TestDisk; the rest follow through Next. Main thread only.
TestDisk* DiskListHead();

// The process-wide lock that keeps each mismatch report whole. It exists
// while any TestDisk is open, and is null otherwise.
std::mutex* ReportLock();

}  // namespace vorbex

#endif  // VORBEX_DISK_DISK_HANDLE_H_
