#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/flags.h"
#include "check/scanner.h"
#include "check/startup_check.h"
#include "disk/block_format.h"
#include "disk/disk_handle.h"
#include "disk/stamp_checksum.h"
#include "fake_disk_test.h"
#include "platform/error_codes.h"
#include "test_support.h"

namespace vorbex {
namespace {

using testing::ErrorCodeOf;
using testing::MaskTimes;

// --- The scan as plainly as it can be written: every chunk read in order,
// every extent and every neighbour entry applied in full. The product reads
// ahead and skips work it knows to be void; it must leave exactly the same
// reports, table and error.

// What the valid stamps so far say of the blocks from base on, three
// chunks of them.
struct ReferenceWindow {
  int32_t base = 0;
  std::vector<int64_t> extent_seqs;
  std::vector<int64_t> map_seqs;
  std::vector<bool> failed;  // reported once, not read again

  VerifyPolicy Policy() {
    VerifyPolicy p;
    p.write_seqs = extent_seqs.data();
    p.write_seqs_from = base;
    p.errstop_ends_process = false;
    return p;
  }
};

void ReferenceAnalyse(TestDisk& d, ReferenceWindow& win, int32_t c,
                      int32_t i) {
  const int32_t blk = c + i;
  const uint8_t* bytes = d.Buffer + static_cast<size_t>(i) * kBlockSize;
  std::atomic<BlockState>* st = d.Table->States.get();
  st[blk].fetch_or(kSeen);
  const BlockHeader h = LoadHeader(bytes);
  if ((h.Magic != kMagic || h.DiskID != d.Table->DiskID) &&
      !ChecksumNamesOwner(bytes, d.Table->DiskID)) {
    return;
  }
  st[blk].fetch_or(kRecheck);
  if (CheckChecksum(bytes, h).kind == ChecksumVerdict::kBad) return;
  if (h.Blkno != blk || h.BaseBlk < 0 || h.EndBlk > d.BlockCount ||
      h.BaseBlk > h.Blkno || h.Blkno >= h.EndBlk) {
    return;
  }
  const int64_t w = h.WriteSeq;
  const auto size = static_cast<int64_t>(win.extent_seqs.size());
  for (int64_t j = h.BaseBlk; j < h.EndBlk; ++j) {
    if (j < win.base || j >= win.base + size) continue;
    int64_t& e = win.extent_seqs[static_cast<size_t>(j - win.base)];
    if (w > e) {
      e = w;
      st[j].fetch_or(kRecheck);
    }
  }
  for (int k = 0; k < kNeighbours; ++k) {
    const int64_t n = int64_t{h.Blkno} - kSelfEntry + k;
    if (n >= d.BlockCount) break;
    const uint16_t entry = NeighbourEntry(bytes, k);
    if (n < 0 || (entry == 0 && (k != kSelfEntry || h.Seq != 0))) continue;
    int64_t& e = win.map_seqs[static_cast<size_t>(n - win.base)];
    if (w > e) {
      if (SeqOf(st[n].load()) != entry) st[n].fetch_or(kRecheck);
      e = w;
      st[n].store(WithSeq(st[n].load(), entry));
    }
  }
  // The counter stops 2^61 short of the top, so that it can always count on.
  if (w >= d.Table->WriteSeq) {
    d.Table->WriteSeq =
        std::min(w, std::numeric_limits<int64_t>::max() - (int64_t{1} << 61)) +
        1;
  }
}

void ReferenceReread(TestDisk& d, ReferenceWindow& win, int32_t first,
                     int32_t end) {
  const auto marked = [&](int32_t b) {
    if ((d.Table->States[b].load() & kRecheck) == 0) return false;
    if (!win.failed[static_cast<size_t>(b - win.base)]) return true;
    d.Table->States[b].fetch_and(~kRecheck);
    return false;
  };
  int32_t a = first;
  while (a < end) {
    if (!marked(a)) {
      ++a;
      continue;
    }
    int32_t run = 1;
    while (run < d.BufferBlocks && a + run < end && marked(a + run)) ++run;
    d.ReadRange(a, run, win.Policy());
    a += run;
  }
}

void ReferenceScan(TestDisk& d) {
  const int32_t b = d.BufferBlocks;
  ReferenceWindow win;
  win.extent_seqs.assign(3 * static_cast<size_t>(b), 0);
  win.map_seqs.assign(3 * static_cast<size_t>(b), 0);
  win.failed.assign(3 * static_cast<size_t>(b), false);
  d.ReadRange(0, 1);
  const BlockHeader zero = LoadHeader(d.Buffer);
  if (zero.Blkno != 0 || zero.Magic != kMagic ||
      CheckChecksum(d.Buffer, zero).kind == ChecksumVerdict::kBad) {
    throw Error(11);
  }
  d.Table->DiskID = zero.DiskID;
  const int32_t n_blocks = d.BlockCount;
  for (int32_t c = 0; c < n_blocks; c += b) {
    const int32_t n = std::min(b, n_blocks - c);
    d.ReadRange(c, n, win.Policy());
    for (int32_t i = 0; i < n; ++i) ReferenceAnalyse(d, win, c, i);
    for (int32_t i = 0; i < n; ++i) {
      d.RangeStates[i] = d.Table->States[c + i].load();
      const BlockState s = d.RangeStates[i];
      const int32_t reported = d.Mismatches;
      d.VerifyBlock(c, i, n, d.Buffer, win.Policy());
      // Only blocks judged on their bytes count as reported.
      if (d.Mismatches != reported && (s & (kRecheck | kWritten)) != 0) {
        win.failed[static_cast<size_t>(c + i - win.base)] = true;
      }
    }
    if (c != 0) {
      ReferenceReread(d, win, win.base, c);
      for (std::vector<int64_t>* seqs : {&win.extent_seqs, &win.map_seqs}) {
        seqs->erase(seqs->begin(), seqs->begin() + b);
        seqs->resize(3 * static_cast<size_t>(b), 0);
      }
      win.failed.erase(win.failed.begin(), win.failed.begin() + b);
      win.failed.resize(3 * static_cast<size_t>(b), false);
      win.base += b;
    }
  }
  ReferenceReread(d, win, win.base, n_blocks);
  if (d.Mismatches != 0 && g_flags.errstop != 0) throw Error(11);
}

struct ScanOutcome {
  std::string out;
  int64_t error = -1;
  std::vector<BlockState> states;
  int64_t write_seq = 0;
  uint32_t disk_id = 0;
  int32_t mismatches = 0;
};

class ScanTest : public testing::FakeDiskTest {
 protected:
  // Each target gets its own path, as the Env keeps them all.
  std::string path_ = "t.img";

  void SetUp() override {
    FakeDiskTest::SetUp();
    g_flags.RunID = 0x2345;
  }

  std::vector<uint8_t> Block(int32_t b) {
    return env_.ReadMedium(path_, int64_t{b} * kBlockSize, kBlockSize);
  }
  void PutBlock(int32_t b, const std::vector<uint8_t>& bytes) {
    env_.WriteMedium(path_, int64_t{b} * kBlockSize, bytes);
  }
  template <typename T>
  void Patch(int32_t b, int offset, T value) {
    std::vector<uint8_t> bytes = Block(b);
    std::memcpy(bytes.data() + offset, &value, sizeof value);
    PutBlock(b, bytes);
  }

  // Gives a stamp whose checksum a patch broke a checksum that holds, as a
  // writer that stamped those very fields would have.
  void Reseal(int32_t b) {
    std::vector<uint8_t> bytes = Block(b);
    if (ChecksumFlag(LoadHeader(bytes.data())) != kChecksumFlag) return;
    const uint32_t sum = BlockChecksum(bytes.data());
    std::memcpy(bytes.data() + 44, &sum, sizeof sum);
    PutBlock(b, bytes);
  }

  // Overlapping writes of every length up to twice a chunk, some of them
  // lost or stamped for another target, then misplaced, damaged and absurd
  // stamps.
  void MakeDamagedTarget(int32_t blocks, uint32_t seed) {
    env_.AddTarget(path_, int64_t{blocks} * kBlockSize);
    std::mt19937 rng(seed);
    const auto pick = [&rng](int32_t lo, int32_t hi) {
      return std::uniform_int_distribution<int32_t>(lo, hi)(rng);
    };
    TestDisk* w = Open(path_, 256, 7);
    w->WriteRange(0, 1);
    for (int op = 0; op < 60; ++op) {
      const int32_t first = pick(0, blocks - 1);
      const int32_t longest = pick(0, 3) == 0 ? 130 : 12;
      const int32_t count = pick(1, std::min(blocks - first, longest));
      const int32_t lost = first + pick(0, count - 1);
      const std::vector<uint8_t> before = Block(lost);
      const uint32_t id = w->Table->DiskID;
      if (pick(0, 19) == 0) w->Table->DiskID = id ^ 0x5A5A;
      // Both forms of stamp, as a target that older runs wrote holds.
      g_flags.checksum = pick(0, 3) != 0;
      w->WriteRange(first, count);
      w->Table->DiskID = id;
      if (pick(0, 7) == 0) PutBlock(lost, before);
    }
    Close(w);
    g_flags.checksum = true;
    for (int k = 0; k < 3; ++k)
      PutBlock(pick(1, blocks - 1), Block(pick(0, blocks - 1)));
    // Flipped bits anywhere, and in neighbour maps in particular.
    for (int k = 0; k < 8; ++k) {
      const int32_t b = pick(1, blocks - 1);
      std::vector<uint8_t> bytes = Block(b);
      const int32_t at = k % 2 == 0 ? pick(0, kBlockSize - 1)
                                    : pick(kMapOffset, kFillOffset - 1);
      bytes[at] ^= static_cast<uint8_t>(1 << pick(0, 7));
      PutBlock(b, bytes);
    }
    // A map entry that the same write's previous block has as 0 now names a
    // generation of a block that was never written.
    for (int32_t b = 1; b < blocks; ++b) {
      const std::vector<uint8_t> bytes = Block(b);
      const BlockHeader h = LoadHeader(bytes.data());
      if (h.Magic != kMagic ||
          LoadHeader(Block(b - 1).data()).WriteSeq != h.WriteSeq) {
        continue;
      }
      const int k = pick(0, kNeighbours - 2);
      const int32_t d = b - kSelfEntry + k;
      if (d < 0 || d >= blocks || NeighbourEntry(bytes.data(), k) != 0 ||
          LoadHeader(Block(d).data()).Magic != 0) {
        continue;
      }
      Patch(b, kMapOffset + 2 * k, static_cast<uint16_t>(pick(1, 3)));
      Reseal(b);
      break;
    }
    // Valid stamps whose extent is the whole target.
    for (int k = 0; k < 3; ++k) {
      const int32_t b = pick(1, blocks - 1);
      if (LoadHeader(Block(b).data()).Magic != kMagic) continue;
      Patch(b, 20, 0);
      Patch(b, 24, blocks);
      Patch(b, 32, int64_t{1000} + pick(0, 100));
      Reseal(b);
    }
    const int32_t absurd = pick(1, blocks - 1);
    Patch(absurd, 32, std::numeric_limits<int64_t>::max() - pick(0, 2));
    Reseal(absurd);
    const int32_t outside = pick(1, blocks - 1);
    Patch(outside, 24, blocks + pick(1, 100));  // EndBlk
    Reseal(outside);
  }

  // threads: how many find the blocks' facts (0 for one per processor).
  ScanOutcome Scan(bool reference, int32_t chunk, int32_t threads = 0) {
    TestDisk* d = Open(path_, chunk);
    ScanOutcome o;
    ::testing::internal::CaptureStdout();
    o.error = ErrorCodeOf([&] {
      if (reference) {
        ReferenceScan(*d);
      } else {
        Scanner(*d, threads).Run();
      }
    });
    o.out = MaskTimes(::testing::internal::GetCapturedStdout());
    for (int32_t b = 0; b < d->BlockCount; ++b) {
      o.states.push_back(d->Table->States[b].load());
    }
    o.write_seq = d->Table->WriteSeq;
    o.disk_id = d->Table->DiskID;
    o.mismatches = d->Mismatches;
    Close(d);
    return o;
  }
};

TEST_F(ScanTest, LeavesWhatTheStraightforwardScanLeaves) {
  int reports = 0;
  int failures = 0;
  const int32_t sizes[] = {2, 37, 64, 128, 200, 451, 640};
  for (uint32_t seed = 1; seed <= 21; ++seed) {
    SCOPED_TRACE(seed);
    const int32_t blocks = sizes[seed % 7];
    char name[32];
    std::snprintf(name, sizeof name, "t%u.img", seed);
    path_ = name;
    MakeDamagedTarget(blocks, seed);
    if (seed % 3 == 0) {
      // A bad spot somewhere: the scan stops there, after the same reports.
      env_.FailReadsAt(path_, int64_t{seed * 97 % blocks} * kBlockSize + 7,
                       platform::kErrorIoDevice);
    }
    g_flags.errstop = static_cast<int32_t>(seed % 2);
    const ScanOutcome want = Scan(true, 64);
    // Shares of every size, down to none, split the chunks at every edge.
    const ScanOutcome got = Scan(false, 64, static_cast<int32_t>(seed % 5));
    EXPECT_EQ(got.out, want.out);
    EXPECT_EQ(got.error, want.error);
    EXPECT_EQ(got.states, want.states);
    EXPECT_EQ(got.write_seq, want.write_seq);
    EXPECT_EQ(got.disk_id, want.disk_id);
    EXPECT_EQ(got.mismatches, want.mismatches);
    reports += want.mismatches;
    failures += want.error != -1 ? 1 : 0;
  }
  // Not a comparison of two idle scans.
  EXPECT_GT(reports, 50);
  EXPECT_GT(failures, 3);
  EXPECT_LT(failures, 15);
}

// Whatever a read throws on the reading thread is raised by the scan, after
// the chunks before it.
TEST_F(ScanTest, AFailureWhileReadingAheadReachesTheScan) {
  env_.AddTarget(path_, 200 * kBlockSize);
  TestDisk* w = Open(path_, 256, 7);
  w->WriteRange(0, 200);
  Close(w);
  TestDisk* d = Open(path_, 64);
  // Transfers: block 0, then chunks 0, 1 and 2.
  env_.OnTransfer(
      platform::FakeEnv::When::kBefore,
      [] { throw std::runtime_error("the medium fell off"); }, 2);
  EXPECT_THROW(Scanner(*d).Run(), std::runtime_error);
  for (int32_t b = 0; b < 64; ++b) {
    EXPECT_EQ(d->Table->States[b].load() & 0xFFu, kSeen | kWritten) << b;
  }
  EXPECT_EQ(d->Table->States[64].load() & kSeen, 0u);
}

// A block whose 16-bit generation wrapped to 0 carries 0 as its own map
// entry, while an older neighbour's map still remembers 0xffff. Its own stamp
// must win, in a chunk, at a chunk's end and for the reads of a resumed run;
// and when its last write is really lost, the check must still say so.
TEST_F(ScanTest, AGenerationThatWrappedIsGoodAndItsLossIsNot) {
  struct Case {
    int32_t block;  // the wrapped one; chunks are 64 blocks
    bool lost;
  };
  const Case cases[] = {{10, false}, {10, true}, {63, false}, {63, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.block + (c.lost ? 1000 : 0));
    path_ = "w" + std::to_string(c.block) + (c.lost ? "l" : "") + ".img";
    env_.AddTarget(path_, 100 * kBlockSize);
    TestDisk* w = Open(path_, 8, 8);
    w->WriteRange(0, 1);
    w->Table->States[c.block].store(WithSeq(kWritten, 0xfffe));
    w->WriteRange(c.block, 1);
    const std::vector<uint8_t> at_ffff = Block(c.block);
    w->WriteRange(c.block + 1, 1);
    // With the block before it, so that this write's extent covers it.
    w->WriteRange(c.block - 1, 2);
    ASSERT_EQ(LoadHeader(Block(c.block).data()).Seq, 0u);
    Close(w);
    if (c.lost) PutBlock(c.block, at_ffff);

    TestDisk* d = Open(path_, 64);
    ::testing::internal::CaptureStdout();
    Scanner(*d).Run();
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(
        out.find("Block " + std::to_string(c.block) + ":") != std::string::npos,
        c.lost)
        << out;
    EXPECT_EQ(d->Mismatches, c.lost ? 1 : 0) << out;
    if (c.lost) continue;

    // The run that resumes reads the block, and a write of it that the
    // device drops is caught.
    TestDisk* online = Open(path_, 8, 3);
    Close(d);
    ::testing::internal::CaptureStdout();
    online->ReadRange(c.block - 2, 5);
    env_.InjectFault(platform::FakeEnv::Fault::kDrop, 0);
    online->WriteRange(c.block, 1);
    online->ReadRange(c.block - 2, 5);
    out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(online->Mismatches, 1) << out;
    EXPECT_NE(out.find("\tSeq 0, expected 1\n"), std::string::npos) << out;
  }
}

// A chunk that the device acknowledges but never delivers lands in a
// buffer that last held an earlier chunk: every block of it must fail on
// the poisoned Magic, not pass for, or be reported as, the block it held.
TEST_F(ScanTest, AnUndeliveredChunkFailsOnThePoisonInAReusedBuffer) {
  env_.AddTarget(path_, 256 * kBlockSize);
  TestDisk* w = Open(path_, 256, 7);
  w->WriteRange(0, 256);
  Close(w);
  TestDisk* d = Open(path_, 64);
  // Transfers: block 0, then chunks 0, 1 and 2, which reuses chunk 0's
  // buffer.
  env_.InjectFault(platform::FakeEnv::Fault::kDrop, 0, 3);
  ::testing::internal::CaptureStdout();
  Scanner(*d).Run();
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(d->Mismatches, 64);
  size_t poisoned = 0;
  for (size_t at = out.find("\tMagic 5a5a5a5a, expected fedab5ba\n");
       at != std::string::npos; at = out.find("\tMagic 5a5a5a5a", at + 1)) {
    ++poisoned;
  }
  EXPECT_EQ(poisoned, 64u) << out;
  EXPECT_NE(out.find("Block 128:"), std::string::npos);
  EXPECT_NE(out.find("Block 191:"), std::string::npos);
  EXPECT_EQ(out.find("Block 192:"), std::string::npos);
}

// Each damaged stamp is reported once, as itself, and nothing else is: a
// flip in the last block of a chunk whose write runs on into the next (whose
// stamps name it again), and flips of the Magic and the DiskID, which only
// the checksum tells from another target's stamp. A damaged block 0 names
// no DiskID the check could trust.
TEST_F(ScanTest, EachDamagedStampIsReportedOnceAndAlone) {
  env_.AddTarget(path_, 200 * kBlockSize);
  TestDisk* w = Open(path_, 256, 7);
  w->WriteRange(0, 200);
  w->WriteRange(62, 4);  // 62 ... 65 over the boundary of chunks of 64
  w->WriteRange(120, 1);
  w->WriteRange(150, 1);
  Close(w);
  const auto flip = [&](int32_t b, int at, uint8_t bit) {
    std::vector<uint8_t> bytes = Block(b);
    bytes[static_cast<size_t>(at)] ^= bit;
    PutBlock(b, bytes);
  };
  flip(63, 400, 0x10);  // fill
  flip(120, 2, 0x01);   // Magic
  flip(150, 6, 0x80);   // DiskID
  const ScanOutcome got = Scan(false, 64);
  EXPECT_EQ(got.error, -1);
  EXPECT_EQ(got.mismatches, 3) << got.out;
  for (const char* block : {"Block 63:", "Block 120:", "Block 150:"}) {
    EXPECT_NE(got.out.find(block), std::string::npos) << got.out;
  }
  EXPECT_EQ(got.out, Scan(true, 64).out);

  flip(0, 17, 0x04);  // block 0's TestCode
  EXPECT_EQ(Scan(false, 64).error, platform::kErrorBadFormat);
}

TEST_F(ScanTest, TooSmallAChunkForTheNeighboursIsRefused) {
  env_.AddTarget(path_, 100 * kBlockSize);
  TestDisk* d = Open(path_, kSelfEntry - 1);
  EXPECT_EQ(ErrorCodeOf([&] { Scanner(*d).Run(); }),
            platform::kErrorInvalidParameter);
}

// --- The start-up sequence on targets of more than two chunks.

class StartupCheckTest : public ScanTest {
 protected:
  static constexpr int32_t kBlocks = 2 * kScanBufferBlocks + 100;

  // Writes that cross both chunk boundaries and cover the last block, plus
  // random ones; remembers which blocks carry a stamp.
  void MakeCleanTarget() {
    env_.AddTarget(path_, int64_t{kBlocks} * kBlockSize);
    TestDisk* w = Open(path_, 4096, 7);
    std::mt19937 rng(7);
    const auto write = [&](int32_t first, int32_t count) {
      w->WriteRange(first, count);
      for (int32_t b = first; b < first + count; ++b) stamped_.insert(b);
    };
    write(0, 1);
    write(kScanBufferBlocks - 5, 10);
    write(2 * kScanBufferBlocks - 2000, 2048);
    write(kBlocks - 3, 3);
    for (int k = 0; k < 300; ++k) {
      const int32_t count = std::uniform_int_distribution<int32_t>(1, 64)(rng);
      write(std::uniform_int_distribution<int32_t>(0, kBlocks - count)(rng),
            count);
    }
    write(kScanBufferBlocks - 5, 10);  // a newer generation over an older
    disk_id_ = w->Table->DiskID;
    Close(w);
  }

  std::string Run() {
    ::testing::internal::CaptureStdout();
    anchor_ = StartupCheck(path_);
    return MaskTimes(::testing::internal::GetCapturedStdout());
  }

  void TearDown() override {
    if (anchor_ != nullptr && anchor_->Table != nullptr) anchor_->Close();
    ScanTest::TearDown();
  }

  std::set<int32_t> stamped_;
  uint32_t disk_id_ = 0;
  std::unique_ptr<TestDisk> anchor_;
};

TEST_F(StartupCheckTest, ResumeConfirmsACleanTargetAndRestampsBlockZero) {
  MakeCleanTarget();
  int64_t newest = 0;
  std::vector<uint16_t> seqs(kBlocks);
  for (const int32_t b : stamped_) {
    const BlockHeader h = LoadHeader(Block(b).data());
    newest = std::max(newest, h.WriteSeq);
    seqs[b] = static_cast<uint16_t>(h.Seq);
  }
  g_flags.resume = 1;
  EXPECT_EQ(Run(),
            "Check (t.img): Start on TIME\nCheck (t.img): End on TIME\n");

  for (int32_t b = 0; b < kBlocks; ++b) {
    SCOPED_TRACE(b);
    const BlockState s = anchor_->Table->States[b].load();
    const BlockState written = stamped_.count(b) != 0 ? kWritten : 0;
    EXPECT_EQ(s & 0xFFFFu, kSeen | written | (b == 0 ? kThisRun : 0));
    EXPECT_EQ(SeqOf(s), b == 0 ? seqs[0] + 1 : seqs[b]);
  }
  const BlockHeader zero = LoadHeader(Block(0).data());
  EXPECT_EQ(zero.DiskID, disk_id_);
  EXPECT_EQ(anchor_->Table->DiskID, disk_id_);
  EXPECT_EQ(zero.WriteSeq, newest + 1);
  EXPECT_EQ(anchor_->Table->WriteSeq, newest + 2);
}

TEST_F(StartupCheckTest, CheckWritesNothing) {
  MakeCleanTarget();
  const std::vector<uint8_t> before =
      env_.ReadMedium(path_, 0, size_t{kBlocks} * kBlockSize);
  const size_t transfers = env_.Transfers().size();
  g_flags.check = 1;
  EXPECT_EQ(Run(),
            "Check (t.img): Start on TIME\nCheck (t.img): End on TIME\n");
  for (size_t i = transfers; i < env_.Transfers().size(); ++i) {
    EXPECT_FALSE(env_.Transfers()[i].write);
  }
  EXPECT_EQ(env_.ReadMedium(path_, 0, size_t{kBlocks} * kBlockSize), before);
  EXPECT_EQ(anchor_->Table->States[0].load() & kThisRun, 0u);
}

TEST_F(StartupCheckTest, FailedScanLeavesAFreshTable) {
  MakeCleanTarget();
  env_.FailReadsAt(path_, int64_t{kScanBufferBlocks + 1} * kBlockSize,
                   platform::kErrorIoDevice);
  g_flags.resume = 1;
  EXPECT_EQ(Run(),
            "Check (t.img): Start on TIME\nCheck (t.img): Failed at TIME\n");
  // Nothing the scan learned before it failed survives.
  for (int32_t b = 1; b < kBlocks; ++b) {
    ASSERT_EQ(anchor_->Table->States[b].load(), 0u) << b;
  }
  EXPECT_EQ(anchor_->Table->States[0].load(), WithSeq(kWritten | kThisRun, 1));
  EXPECT_EQ(LoadHeader(Block(0).data()).WriteSeq, 1);
  EXPECT_EQ(anchor_->Table->WriteSeq, 2);
}

TEST_F(StartupCheckTest, ErrorsReachTheCallerWithNothingLeftOpen) {
  env_.AddTarget(path_, 100 * kBlockSize);
  g_flags.check = 1;
  env_.FailOpen(path_, platform::kErrorAccessDenied);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(ErrorCodeOf([&] { StartupCheck(path_); }),
            platform::kErrorAccessDenied);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");

  env_.FailOpen(path_, 0);
  g_flags.check = 0;
  env_.InjectFault(platform::FakeEnv::Fault::kFail,
                   platform::kErrorWriteProtect);
  EXPECT_EQ(ErrorCodeOf([&] { StartupCheck(path_); }),
            platform::kErrorWriteProtect);
  EXPECT_EQ(DiskListHead(), nullptr);
}

}  // namespace
}  // namespace vorbex
