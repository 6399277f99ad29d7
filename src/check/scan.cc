// The whole-target scan. It reads the target once, front to back, and lets
// every stamp of this target vouch for its own block, for the blocks of its
// write (its extent) and for the generations of its 128 neighbours; whatever
// some stamp vouches for is verified. The analysis must keep up with the
// device, so the next chunk is read on a second thread while the current one
// is analysed, what each block says about itself alone is found on every
// core at once, and work whose outcome is already known is skipped. Only the
// steps whose outcome depends on the order of the stamps run on one thread,
// in block order, so the table, the reports and their order are those of a
// scan that did everything itself.

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/flags.h"
#include "check/extent_maxima.h"
#include "disk/block_format.h"
#include "disk/block_stores.h"
#include "disk/disk_handle.h"
#include "platform/error_codes.h"

namespace vorbex {
namespace {

// A power of two; a write of the catalogue leaves at most a few hundred
// distinct extents in a window, so collisions are rare, and one costs only a
// pass that changes nothing.
constexpr int32_t kAppliedExtentSlots = 4096;

// The WriteSeq counter is raised past every valid stamp, but a damaged stamp
// may claim any value, and the counter must still count on without
// overflowing: past this it stops, with 2^61 writes to go. It lies above
// 2^62, so a stamp with that one bit flipped is still passed, and later
// writes stay newer than it.
constexpr int64_t kMaxStampedWriteSeq =
    std::numeric_limits<int64_t>::max() - (int64_t{1} << 61);

// Workers for the processors that neither the scan's own thread nor its
// reader keeps busy: on two processors a worker only took turns with the
// reader, and the check ran slower than with none. Past a few, the one
// thread's ordered steps set the pace.
int32_t DefaultScanWorkers() {
  constexpr int32_t kMostWorkers = 15;
  const auto processors = static_cast<int32_t>(
      std::min<unsigned>(std::thread::hardware_concurrency(), 64));
  return std::clamp(processors - 2, 0, kMostWorkers);
}

uint32_t ExtentSlot(int64_t write_seq) {
  // Consecutive values land far apart.
  const uint64_t h = static_cast<uint64_t>(write_seq) * 0x9E3779B97F4A7C15u;
  return static_cast<uint32_t>(h >> 52) & (kAppliedExtentSlots - 1);
}

// Page-aligned memory from the Env, freed when it goes.
class Pages {
 public:
  Pages(platform::Env* env, size_t bytes) : env_(env), bytes_(bytes) {
    uint32_t error = platform::kErrorSuccess;
    p_ = static_cast<uint8_t*>(env_->AllocatePages(bytes_, &error));
    if (p_ == nullptr) throw Error(error);
  }
  ~Pages() { env_->FreePages(p_, bytes_); }
  Pages(const Pages&) = delete;
  Pages& operator=(const Pages&) = delete;

  uint8_t* get() const { return p_; }

 private:
  platform::Env* env_;
  size_t bytes_;
  uint8_t* p_ = nullptr;
};

// Reads the target's chunks in order on a thread of its own, one ahead of
// the caller, into two buffers in turn, so that the device is not left idle
// while the caller analyses. Each read is made as ReadRange makes it: every
// block's first word poisoned, then one transfer. The caller poisons the
// blocks of a buffer before it gives the buffer back, while their lines are
// still in its cache; here that would be a second pass over memory in the
// way of the next transfer. A third buffer was tried: on a virtual machine
// a larger set of buffers slowed every transfer more than it won.
// A read's outcome, or what it threw, is handed over rather than raised, so
// that the caller raises it at the point where reading in order would have.
// After a failed read nothing more is read.
class ChunkReader {
 public:
  struct Chunk {
    uint8_t* data = nullptr;
    uint32_t rc = 0;
    uint32_t moved = 0;
    uint32_t length = 0;
    std::exception_ptr thrown;
  };

  // The first buffer is the caller's, of chunk blocks; the reader adds one.
  ChunkReader(platform::Env* env, platform::Target* target, uint8_t* buffer,
              int32_t chunk, int32_t blocks)
      : target_(target),
        chunk_(chunk),
        blocks_(blocks),
        extra_{{{env, Bytes(chunk)}}},
        slots_{buffer, extra_[0].get()},
        thread_([this] { Loop(); }) {}

  // Raises what the chunk's read threw, if anything.
  static void Check(const Chunk& c) {
    if (c.thrown) std::rethrow_exception(c.thrown);
  }

  ~ChunkReader() {
    {
      std::lock_guard<std::mutex> hold(mu_);
      quit_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

  ChunkReader(const ChunkReader&) = delete;
  ChunkReader& operator=(const ChunkReader&) = delete;

  // Waits for the next chunk. Its buffer belongs to the caller until the
  // next call, when it goes back to the reader with every block poisoned.
  Chunk Next() {
    std::unique_lock<std::mutex> hold(mu_);
    wake_.wait(hold, [this] { return read_ > taken_; });
    Chunk c = ready_[taken_ % kSlots];
    ++taken_;
    hold.unlock();
    wake_.notify_all();
    return c;
  }

 private:
  static constexpr int kSlots = 2;

  static size_t Bytes(int32_t blocks) {
    return static_cast<size_t>(blocks) * kBlockSize;
  }

  void Loop() {
    for (int64_t k = 0; k * chunk_ < blocks_; ++k) {
      {
        std::unique_lock<std::mutex> hold(mu_);
        // Slot k % kSlots is free once the caller has taken chunk
        // k - kSlots + 1, and so given back chunk k - kSlots.
        wake_.wait(hold, [&] { return quit_ || k < taken_ + kSlots - 1; });
        if (quit_) return;
      }
      const int64_t first = k * chunk_;
      const auto count =
          static_cast<int32_t>(std::min<int64_t>(chunk_, blocks_ - first));
      Chunk c;
      c.data = slots_[k % kSlots];
      // Until the caller has given a buffer back, no one poisoned it.
      if (k < kSlots) PoisonBlocks(c.data, count);
      c.length = static_cast<uint32_t>(Bytes(count));
      try {
        c.rc = target_->ReadAt(first * kBlockSize, c.data, c.length, &c.moved);
      } catch (...) {
        c.thrown = std::current_exception();
      }
      {
        std::lock_guard<std::mutex> hold(mu_);
        ready_[k % kSlots] = c;
        ++read_;
      }
      wake_.notify_all();
      if (c.thrown || c.rc != 0 || c.moved != c.length) return;
    }
  }

  platform::Target* const target_;
  const int32_t chunk_;
  const int32_t blocks_;
  std::array<Pages, kSlots - 1> extra_;
  const std::array<uint8_t*, kSlots> slots_;
  std::mutex mu_;  // guards the four values below
  std::condition_variable wake_;
  std::array<Chunk, kSlots> ready_;  // by chunk number modulo kSlots
  int64_t read_ = 0;                 // chunks read
  int64_t taken_ = 0;                // chunks handed to the caller
  bool quit_ = false;
  std::thread thread_;  // last, so that it starts after the rest exists
};

// Share number share of shares equal shares of n blocks.
std::pair<int32_t, int32_t> ShareOf(int32_t n, int32_t share, int32_t shares) {
  return {static_cast<int32_t>(int64_t{n} * share / shares),
          static_cast<int32_t>(int64_t{n} * (share + 1) / shares)};
}

// What the block at bytes, in slot index of its chunk, read as block blk,
// says about itself alone. Its first word is then poisoned for the next
// transfer into the slot, while its line is still in this thread's cache;
// the facts keep that word.
BlockFacts FactsOf(uint8_t* bytes, int32_t index, int32_t blk,
                   uint32_t disk_id, int32_t block_count) {
  const BlockView view = ViewOf(bytes, blk);
  PoisonBlocks(bytes, 1);
  const BlockHeader& h = view.header;
  BlockFacts f;
  f.write_seq = h.WriteSeq;
  f.base_blk = h.BaseBlk;
  f.end_blk = h.EndBlk;
  f.seq = h.Seq;
  f.first_word = h.Magic;
  f.own_entry = view.own_entry;
  f.last_entry = NeighbourEntry(bytes, kNeighbours - 1);
  if (h.Magic == kMagic && h.DiskID == disk_id) f.flags |= BlockFacts::kStamped;
  if ((f.flags & BlockFacts::kStamped) != 0 && h.Blkno == blk &&
      h.BaseBlk >= 0 &&
      h.EndBlk <= block_count && h.BaseBlk <= h.Blkno && h.Blkno < h.EndBlk) {
    f.flags |= BlockFacts::kSane;
    const uint8_t* map = bytes + kMapOffset;
    if (index > 0 && std::memcmp(map, map - kBlockSize + sizeof(uint16_t),
                                 (kNeighbours - 1) * sizeof(uint16_t)) == 0) {
      f.flags |= BlockFacts::kMapFollows;
    }
    if ((h.Fill & 0xFFu) == FillByte(h.Seq, blk) &&
        view.fill_difference == kFillBytes) {
      f.flags |= BlockFacts::kIntact;
    }
  }
  return f;
}

// Finds the facts of every block of a chunk, on the calling thread and on
// workers of its own, one share each. The workers only read the chunk and
// each writes its own share of the facts; the caller waits for all of them
// before it looks at any.
class FactFinder {
 public:
  // workers: threads besides the caller's.
  explicit FactFinder(int32_t workers) {
    // Before any thread starts: a vector that failed to grow with threads
    // in it would end the process.
    threads_.reserve(static_cast<size_t>(workers));
    try {
      for (int32_t i = 0; i < workers; ++i) {
        threads_.emplace_back([this, i] { Work(i + 1); });
      }
    } catch (const std::system_error&) {
      // Fewer workers find the same facts.
    }
  }

  ~FactFinder() {
    {
      std::lock_guard<std::mutex> hold(mu_);
      quit_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
  }

  FactFinder(const FactFinder&) = delete;
  FactFinder& operator=(const FactFinder&) = delete;

  // Fills facts[0 ... n - 1] for the chunk of n blocks at bytes, whose
  // first block is first, and poisons those blocks.
  void Find(uint8_t* bytes, int32_t first, int32_t n, uint32_t disk_id,
            int32_t block_count, BlockFacts* facts) {
    const Job job{bytes, first, n, disk_id, block_count, facts};
    {
      std::lock_guard<std::mutex> hold(mu_);
      job_ = job;
      pending_ = static_cast<int32_t>(threads_.size());
      ++generation_;
    }
    wake_.notify_all();
    FindShare(job, 0);
    std::unique_lock<std::mutex> hold(mu_);
    done_.wait(hold, [this] { return pending_ == 0; });
  }

  int32_t Shares() const { return static_cast<int32_t>(threads_.size()) + 1; }

 private:
  struct Job {
    uint8_t* bytes = nullptr;
    int32_t first = 0;
    int32_t n = 0;
    uint32_t disk_id = 0;
    int32_t block_count = 0;
    BlockFacts* facts = nullptr;
  };

  void FindShare(const Job& job, int32_t share) const {
    const auto [begin, end] = ShareOf(job.n, share, Shares());
    for (int32_t i = begin; i < end; ++i) {
      job.facts[i] = FactsOf(job.bytes + static_cast<size_t>(i) * kBlockSize,
                             i, job.first + i, job.disk_id, job.block_count);
    }
  }

  void Work(int32_t share) {
    int64_t seen = 0;
    std::unique_lock<std::mutex> hold(mu_);
    for (;;) {
      wake_.wait(hold, [&] { return quit_ || generation_ != seen; });
      if (quit_) return;
      seen = generation_;
      const Job job = job_;
      hold.unlock();
      FindShare(job, share);
      hold.lock();
      if (--pending_ == 0) done_.notify_one();
    }
  }

  std::mutex mu_;  // guards the four values below
  std::condition_variable wake_;
  std::condition_variable done_;
  Job job_;                // the chunk of the current generation
  int64_t generation_ = 0;  // chunks handed out
  int32_t pending_ = 0;     // workers yet to finish the current one
  bool quit_ = false;
  std::vector<std::thread> threads_;  // last, so they start after the rest
};

// Points a disk's Buffer elsewhere for a while.
class BufferLoan {
 public:
  explicit BufferLoan(uint8_t*& buffer) : buffer_(buffer), own_(buffer) {}
  ~BufferLoan() { buffer_ = own_; }
  BufferLoan(const BufferLoan&) = delete;
  BufferLoan& operator=(const BufferLoan&) = delete;

 private:
  uint8_t*& buffer_;
  uint8_t* const own_;
};

}  // namespace

void TestDisk::ScanTarget() {
  // A stamp's neighbours reach 64 blocks either side, and the window holds
  // one chunk either side of the current one.
  if (BufferBlocks < kSelfEntry) throw Error(platform::kErrorInvalidParameter);

  ReadRange(0, 1);
  const BlockHeader zero = LoadHeader(Buffer);
  if (zero.Blkno != 0 || zero.Magic != kMagic) {
    throw Error(platform::kErrorBadFormat);
  }
  Table->DiskID = zero.DiskID;

  const int32_t chunk = BufferBlocks;
  const int32_t n_blocks = BlockCount;
  WindowBlocks = 3 * chunk;
  ScanWindow = std::make_unique<WindowEntry[]>(WindowBlocks);
  WindowBase = 0;
  AppliedExtents = std::make_unique<AppliedExtent[]>(kAppliedExtentSlots);

  // The chunk being analysed stands in for Buffer, so that its blocks are
  // analysed and verified where they were read, and rereads go there too.
  const BufferLoan loan(Buffer);
  ExtentMaxima extents(chunk);
  Extents = &extents;
  ChunkReader reader(env_, Handle.get(), Buffer, chunk, n_blocks);
  FactFinder finder(ScanThreads > 0 ? ScanThreads - 1 : DefaultScanWorkers());
  const std::unique_ptr<BlockFacts[]> facts =
      std::make_unique<BlockFacts[]>(chunk);

  std::atomic<BlockState>* states = Table->States.get();
  try {
    for (int64_t c = 0; c < n_blocks; c += chunk) {
      const auto first = static_cast<int32_t>(c);
      const auto n =
          static_cast<int32_t>(std::min<int64_t>(chunk, n_blocks - c));
      // Read early, but no block of a chunk is Seen before its analysis, so
      // reading it verified nothing that reading it now would have.
      const ChunkReader::Chunk read = reader.Next();
      Buffer = read.data;
      ChunkReader::Check(read);
      CountTransfer(read.rc, read.moved, read.length, false);
      CheckTransfer(read.rc, read.moved, read.length);

      finder.Find(Buffer, first, n, Table->DiskID, BlockCount, facts.get());
      for (int32_t i = 0; i < n; ++i) AnalyseBlock(first, i, facts[i]);
      SettleExtents(first);
      for (int32_t i = 0; i < n; ++i) {
        RangeStates[i] = states[first + i].load(std::memory_order_relaxed);
        VerifyBlock(first, i, n, &facts[i]);
      }
      FlushVerified();
      if (c != 0) {
        SettleExtents(WindowBase);
        PoisonBlocks(Buffer, RereadRechecks(WindowBase, first));
        WindowEntry* window = ScanWindow.get();
        std::memmove(window, window + chunk,
                     sizeof(WindowEntry) * 2 * static_cast<size_t>(chunk));
        std::fill(window + 2 * static_cast<size_t>(chunk),
                  window + 3 * static_cast<size_t>(chunk), WindowEntry{});
        WindowBase += chunk;
        extents.Forget(WindowBase / chunk + 2);
      }
    }
  } catch (...) {
    // What the extents claim is in the table, as far as the scan got.
    for (int32_t k = 0; k < 3; ++k) {
      SettleExtents(WindowBase + k * static_cast<int64_t>(chunk));
    }
    Extents = nullptr;
    throw;
  }
  Extents = nullptr;
  RereadRechecks(WindowBase, n_blocks);
  if (Mismatches != 0 && g_flags.errstop != 0) {
    throw Error(platform::kErrorBadFormat);
  }
}

void TestDisk::AnalyseBlock(int32_t first, int32_t index,
                            const BlockFacts& facts) {
  const int32_t blk = first + index;
  const uint8_t* bytes = Buffer + static_cast<size_t>(index) * kBlockSize;
  std::atomic<BlockState>* states = Table->States.get();
  // The scan is the only thread that touches the table, so plain loads and
  // stores of whole entries do.
  const auto set = [states](int64_t b, BlockState flags) {
    states[b].store(states[b].load(std::memory_order_relaxed) | flags,
                    std::memory_order_relaxed);
  };
  if (index == 0) MappedIndex = -1;

  set(blk, kSeen);
  if ((facts.flags & BlockFacts::kStamped) == 0) return;
  set(blk, kRecheck);
  if ((facts.flags & BlockFacts::kSane) == 0) return;
  const int64_t w = facts.write_seq;

  // Extent: every block of the write must carry at least this WriteSeq.
  // Every block of one write names the same extent, so it is applied once.
  AppliedExtent& applied = AppliedExtents[ExtentSlot(w)];
  if (applied.WriteSeq != w || applied.BaseBlk != facts.base_blk ||
      applied.EndBlk != facts.end_blk || applied.WindowBase != WindowBase) {
    const int64_t lo = std::max<int64_t>(facts.base_blk, WindowBase);
    const int64_t hi =
        std::min<int64_t>(facts.end_blk, int64_t{WindowBase} + WindowBlocks);
    if (lo < hi) Extents->Raise(lo, hi, w);
    applied = AppliedExtent{w, facts.base_blk, facts.end_blk, WindowBase};
  }

  // Neighbours: the newest stamp around a block says which generation it
  // must carry. The previous block of the same write carries the same map
  // shifted by one; it has applied every entry this block shares with it,
  // leaving each of those blocks' MapSeq at least w, so only the entry that
  // is new here can change anything.
  //
  // An entry of 0 says nothing about a neighbour (another writer held it, or
  // it was never written), but a block's own entry is its generation, and a
  // generation that wrapped to 0 must still outvote older stamps that
  // remember 0xffff.
  // The two entries every block applies come from its facts, so that a
  // block whose previous one took the rest leaves its bytes untouched.
  const auto apply = [&](int k) {
    const int64_t d = int64_t{blk} - kSelfEntry + k;
    const uint16_t entry = k == kSelfEntry          ? facts.own_entry
                           : k == kNeighbours - 1 ? facts.last_entry
                                                  : NeighbourEntry(bytes, k);
    if (d < 0 || d >= BlockCount) return;
    if (entry == 0 && (k != kSelfEntry || facts.seq != 0)) return;
    WindowEntry& e = ScanWindow[d - WindowBase];
    if (w <= e.MapSeq) return;
    BlockState s = states[d].load(std::memory_order_relaxed);
    if (SeqOf(s) != entry) s |= kRecheck;
    states[d].store(WithSeq(s, entry), std::memory_order_relaxed);
    e.MapSeq = w;
  };
  int k = 0;
  if (index > 0 && MappedIndex == index - 1 && MappedSeq == w &&
      (facts.flags & BlockFacts::kMapFollows) != 0) {
    // The previous block took this block's entry for a neighbour's.
    apply(kSelfEntry);
    k = kNeighbours - 1;
  }
  for (; k < kNeighbours && int64_t{blk} - kSelfEntry + k < BlockCount; ++k) {
    apply(k);
  }
  MappedIndex = index;
  MappedSeq = w;

  if (w >= Table->WriteSeq) {
    Table->WriteSeq = std::min(w, kMaxStampedWriteSeq) + 1;
  }
}

void TestDisk::SettleExtents(int64_t first) {
  if (first >= BlockCount) return;
  const int32_t chunk = BufferBlocks;
  const auto count =
      static_cast<int32_t>(std::min<int64_t>(chunk, BlockCount - first));
  std::atomic<BlockState>* states = Table->States.get();
  WindowEntry* window = ScanWindow.get() + (first - WindowBase);
  Extents->SettleChunk(first / chunk, count, [&](int32_t i, int64_t w) {
    if (w <= window[i].ExtentSeq) return;
    window[i].ExtentSeq = w;
    std::atomic<BlockState>& cell = states[first + i];
    cell.store(cell.load(std::memory_order_relaxed) | kRecheck,
               std::memory_order_relaxed);
  });
}

int32_t TestDisk::RereadRechecks(int32_t first, int32_t end) {
  const std::atomic<BlockState>* states = Table->States.get();
  const auto marked = [states](int64_t b) {
    return (states[b].load(std::memory_order_relaxed) & kRecheck) != 0;
  };
  int32_t overwritten = 0;
  int64_t a = first;
  while (a < end) {
    if (!marked(a)) {
      ++a;
      continue;
    }
    int32_t run = 1;
    while (run < BufferBlocks && a + run < end && marked(a + run)) ++run;
    ReadRange(static_cast<int32_t>(a), run);
    overwritten = std::max(overwritten, run);
    a += run;
  }
  return overwritten;
}

}  // namespace vorbex
