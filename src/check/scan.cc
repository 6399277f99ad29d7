// The whole-target scan. It reads the target once, front to back, and lets
// every stamp of this target vouch for its own block, for the blocks of its
// write (its extent) and for the generations of its 128 neighbours; whatever
// some stamp vouches for is verified. The analysis must keep up with the
// device, so the next chunk is read on a second thread while the current one
// is analysed, and work whose outcome is already known is skipped.

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>
#include <utility>

#include "base/error.h"
#include "base/flags.h"
#include "disk/block_format.h"
#include "disk/test_disk.h"
#include "platform/error_codes.h"

namespace vorbex {
namespace {

// A power of two; a write of the catalogue leaves at most a few hundred
// distinct extents in a window, so collisions are rare, and one costs only a
// pass that changes nothing.
constexpr int32_t kAppliedExtentSlots = 4096;

// The WriteSeq counter is raised past every valid stamp, but a damaged stamp
// may claim any value, and the counter must still count on without
// overflowing. No real run comes near this: it is 146 years of writes at a
// billion a second.
constexpr int64_t kMaxStampedWriteSeq = int64_t{1} << 62;

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

  // Trades memory with a buffer of the same size from the same Env.
  void Swap(uint8_t*& other) { std::swap(p_, other); }
  uint8_t* get() const { return p_; }

 private:
  platform::Env* env_;
  size_t bytes_;
  uint8_t* p_ = nullptr;
};

// Reads one chunk at a time on its own thread. Between Start and Finish the
// buffer given to Start belongs to the reader; the rest of the time it
// belongs to the caller. Each read is made exactly as ReadRange makes it
// (every block's first word poisoned, then one transfer), and its outcome is
// handed back rather than thrown, so the caller raises it at the point where
// reading in order would have.
class ChunkReader {
 public:
  struct Outcome {
    uint32_t rc = 0;
    uint32_t moved = 0;
    uint32_t length = 0;
  };

  explicit ChunkReader(platform::Target* target)
      : target_(target), thread_([this] { Loop(); }) {}

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

  void Start(int64_t first, int32_t count, uint8_t* buffer) {
    {
      std::lock_guard<std::mutex> hold(mu_);
      first_ = first;
      count_ = count;
      buffer_ = buffer;
      pending_ = true;
    }
    wake_.notify_all();
  }

  Outcome Finish() {
    std::unique_lock<std::mutex> hold(mu_);
    wake_.wait(hold, [this] { return !pending_; });
    return outcome_;
  }

 private:
  void Loop() {
    std::unique_lock<std::mutex> hold(mu_);
    for (;;) {
      wake_.wait(hold, [this] { return pending_ || quit_; });
      if (!pending_) return;
      const int64_t first = first_;
      const int32_t count = count_;
      uint8_t* buffer = buffer_;
      hold.unlock();
      for (int32_t i = 0; i < count; ++i) {
        std::memcpy(buffer + static_cast<size_t>(i) * kBlockSize, &kPoison,
                    sizeof kPoison);
      }
      Outcome o;
      o.length = static_cast<uint32_t>(count) * kBlockSize;
      o.rc = target_->ReadAt(first * kBlockSize, buffer, o.length, &o.moved);
      hold.lock();
      outcome_ = o;
      pending_ = false;
      wake_.notify_all();
    }
  }

  platform::Target* const target_;
  std::mutex mu_;  // guards everything below but the thread
  std::condition_variable wake_;
  int64_t first_ = 0;
  int32_t count_ = 0;
  uint8_t* buffer_ = nullptr;
  bool pending_ = false;  // a read is asked for or under way
  bool quit_ = false;
  Outcome outcome_;
  std::thread thread_;  // last, so that it starts after the rest exists
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

  // Declared before the reader, so it outlives any read still under way.
  Pages spare(env_, static_cast<size_t>(chunk) * kBlockSize);
  ChunkReader reader(Handle.get());
  reader.Start(0, std::min(chunk, n_blocks), spare.get());

  std::atomic<BlockState>* states = Table->States.get();
  for (int64_t c = 0; c < n_blocks; c += chunk) {
    const auto first = static_cast<int32_t>(c);
    const int32_t n = static_cast<int32_t>(
        std::min<int64_t>(chunk, n_blocks - c));
    const ChunkReader::Outcome read = reader.Finish();
    spare.Swap(Buffer);
    CheckTransfer(read.rc, read.moved, read.length);
    // The next chunk comes in while this one is analysed: no block of it is
    // Seen yet, so reading it early can verify nothing that reading it in
    // order would.
    if (c + chunk < n_blocks) {
      reader.Start(c + chunk,
                   static_cast<int32_t>(
                       std::min<int64_t>(chunk, n_blocks - c - chunk)),
                   spare.get());
    }

    for (int32_t i = 0; i < n; ++i) AnalyseBlock(first, i);
    for (int32_t i = 0; i < n; ++i) {
      RangeStates[i] = states[first + i].load(std::memory_order_relaxed);
      VerifyBlock(first, i, n);
    }
    if (c != 0) {
      RereadRechecks(WindowBase, first);
      std::memmove(&ScanWindow[0], &ScanWindow[chunk],
                   sizeof(WindowEntry) * 2 * static_cast<size_t>(chunk));
      std::fill(&ScanWindow[2 * static_cast<size_t>(chunk)],
                &ScanWindow[3 * static_cast<size_t>(chunk)], WindowEntry{});
      WindowBase += chunk;
    }
  }
  RereadRechecks(WindowBase, n_blocks);
  if (Mismatches != 0 && g_flags.errstop != 0) {
    throw Error(platform::kErrorBadFormat);
  }
}

void TestDisk::AnalyseBlock(int32_t first, int32_t index) {
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
  const BlockHeader h = LoadHeader(bytes);
  if (h.Magic != kMagic || h.DiskID != Table->DiskID) return;
  set(blk, kRecheck);
  if (h.Blkno != blk || h.BaseBlk < 0 || h.EndBlk > BlockCount ||
      h.BaseBlk > h.Blkno || h.Blkno >= h.EndBlk) {
    return;
  }
  const int64_t w = h.WriteSeq;

  // Extent: every block of the write must carry at least this WriteSeq.
  // Every block of one write names the same extent, so it is applied once.
  AppliedExtent& applied = AppliedExtents[ExtentSlot(w)];
  if (applied.WriteSeq != w || applied.BaseBlk != h.BaseBlk ||
      applied.EndBlk != h.EndBlk || applied.WindowBase != WindowBase) {
    const int64_t lo = std::max<int64_t>(h.BaseBlk, WindowBase);
    const int64_t hi =
        std::min<int64_t>(h.EndBlk, int64_t{WindowBase} + WindowBlocks);
    for (int64_t j = lo; j < hi; ++j) {
      WindowEntry& e = ScanWindow[j - WindowBase];
      if (w > e.ExtentSeq) {
        e.ExtentSeq = w;
        set(j, kRecheck);
      }
    }
    applied = AppliedExtent{w, h.BaseBlk, h.EndBlk, WindowBase};
  }

  // Neighbours: the newest stamp around a block says which generation it
  // must carry. The previous block of the same write carries the same map
  // shifted by one; it has applied every entry this block shares with it,
  // leaving each of those blocks' MapSeq at least w, so only the entry that
  // is new here can change anything.
  const uint8_t* map = bytes + kMapOffset;
  int32_t k = 0;
  if (index > 0 && MappedIndex == index - 1 && MappedSeq == w &&
      std::memcmp(map, map - kBlockSize + sizeof(uint16_t),
                  (kNeighbours - 1) * sizeof(uint16_t)) == 0) {
    k = kNeighbours - 1;
  }
  for (; k < kNeighbours; ++k) {
    const int64_t d = int64_t{blk} - kSelfEntry + k;
    if (d >= BlockCount) break;
    const uint16_t entry = NeighbourEntry(bytes, k);
    if (d < 0 || entry == 0) continue;
    WindowEntry& e = ScanWindow[d - WindowBase];
    if (w <= e.MapSeq) continue;
    BlockState s = states[d].load(std::memory_order_relaxed);
    if (SeqOf(s) != entry) s |= kRecheck;
    states[d].store(WithSeq(s, entry), std::memory_order_relaxed);
    e.MapSeq = w;
  }
  MappedIndex = index;
  MappedSeq = w;

  if (w >= Table->WriteSeq) {
    Table->WriteSeq = std::min(w, kMaxStampedWriteSeq) + 1;
  }
}

void TestDisk::RereadRechecks(int32_t first, int32_t end) {
  const std::atomic<BlockState>* states = Table->States.get();
  const auto marked = [states](int64_t b) {
    return (states[b].load(std::memory_order_relaxed) & kRecheck) != 0;
  };
  int64_t a = first;
  while (a < end) {
    if (!marked(a)) {
      ++a;
      continue;
    }
    int32_t run = 1;
    while (run < BufferBlocks && a + run < end && marked(a + run)) ++run;
    ReadRange(static_cast<int32_t>(a), run);
    a += run;
  }
}

}  // namespace vorbex
