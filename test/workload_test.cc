// The workloads' transfers, recorded through an in-memory target. Which
// blocks a test touches follows from its draws, so the expected sequences
// are worked out by hand from the generator's first values (41, 18467,
// 6334, 26500, 19169, ...).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "base/error.h"
#include "fake_disk_test.h"
#include "platform/error_codes.h"
#include "run/catalogue.h"
#include "support/fake_env.h"
#include "test_support.h"
#include "workloads/workload_thread.h"

namespace vorbex {
namespace {

using platform::FakeEnv;
using testing::ErrorCodeOf;

// One transfer in blocks: 'R'ead or 'W'rite of count blocks from first.
struct Xfer {
  char kind;
  int32_t first;
  int32_t count;
  bool operator==(const Xfer&) const = default;
};
void PrintTo(const Xfer& x, std::ostream* os) {
  *os << x.kind << x.first << "/" << x.count;
}
Xfer R(int32_t first, int32_t count) { return {'R', first, count}; }
Xfer W(int32_t first, int32_t count) { return {'W', first, count}; }

class WorkloadTest : public testing::FakeDiskTest {
 protected:
  // Runs workload with argument on this thread, on a fresh target of size
  // blocks of which the first `written` are written beforehand, until it
  // returns or has made `most` transfers; returns the first `most` it made.
  std::vector<Xfer> Record(WorkloadRoutine workload, int32_t argument,
                           int32_t buffer_blocks, int32_t size, size_t most,
                           int32_t written = 0) {
    const std::string path = NewPath();
    env_.AddTarget(path, int64_t{size} * 512);
    TestThread t;
    t.Disk = std::make_unique<TestDisk>();
    t.Disk->Open(path, 1, buffer_blocks);
    t.BufferBlocks = buffer_blocks;
    for (int32_t b = 0; b < written; b += buffer_blocks) {
      t.Disk->WriteRange(b, std::min(buffer_blocks, written - b));
    }
    const size_t before = env_.Transfers().size();
    env_.OnTransfer(
        FakeEnv::When::kAfter, [&t] { t.StopRequested = 1; },
        static_cast<int>(most) - 1);
    (t.*workload)(argument);
    std::vector<Xfer> out;
    const std::vector<FakeEnv::Transfer> all = env_.Transfers();
    for (size_t i = before; i < all.size() && out.size() < most; ++i) {
      out.push_back({all[i].write ? 'W' : 'R',
                     static_cast<int32_t>(all[i].offset / 512),
                     static_cast<int32_t>(all[i].length / 512)});
    }
    return out;
  }

  // A thread record whose disk is open on a fresh target of size blocks.
  std::unique_ptr<TestThread> Idle(int32_t size) {
    const std::string path = NewPath();
    env_.AddTarget(path, int64_t{size} * 512);
    auto t = std::make_unique<TestThread>();
    t->Disk = std::make_unique<TestDisk>();
    t->Disk->Open(path, 1, 1);
    return t;
  }

  // A fresh target's name.
  std::string NewPath() {
    char name[32];
    std::snprintf(name, sizeof name, "t%d.img", ++targets_);
    return name;
  }

  int targets_ = 0;
};

TEST_F(WorkloadTest, SequentialWalkCutsItsLastTransferWrapsAndRestarts) {
  EXPECT_EQ(Record(&TestThread::SeqRead, 8, 8, 20, 4),
            (std::vector<Xfer>{R(0, 8), R(8, 8), R(16, 4), R(0, 8)}));
  EXPECT_EQ(Record(&TestThread::SeqUpdate, 8, 8, 12, 5),
            (std::vector<Xfer>{R(0, 8), W(0, 8), R(8, 4), W(8, 4), R(0, 8)}));

  // Drawn lengths: the walk runs on without a gap until the restart draw of
  // its 39th iteration gives 1 (mod 100) and it jumps to 50 * 48 rounded
  // down to a multiple of 2048.
  const std::vector<Xfer> walk = Record(&TestThread::SeqRead, 0, 50, 5000, 40);
  ASSERT_EQ(walk.size(), 40u);
  EXPECT_EQ(walk[0], R(0, 42));
  for (size_t i = 1; i < 39; ++i) {
    EXPECT_EQ(walk[i].first, walk[i - 1].first + walk[i - 1].count) << i;
  }
  EXPECT_EQ(walk[38], R(1048, 7));
  EXPECT_EQ(walk[39], R(2048, 49));
}

TEST_F(WorkloadTest, SeqWriteGoesOnFromTheFirstUnwrittenBlock) {
  // No restart draw before the first wrap: every draw until then is a
  // length. From the wrap on, each iteration draws a length and a restart.
  EXPECT_EQ(Record(&TestThread::SeqWrite, 0, 50, 300, 14, 100),
            (std::vector<Xfer>{W(100, 42), W(142, 18), W(160, 35), W(195, 1),
                               W(196, 20), W(216, 25), W(241, 29), W(270, 9),
                               W(279, 13), W(292, 8), W(0, 46), W(46, 28),
                               W(74, 42), W(116, 43)}));
  // Everything written: the walk starts at the last block, wraps, and
  // from then on draws a restart after each length.
  EXPECT_EQ(Record(&TestThread::SeqWrite, 0, 50, 100, 2, 100),
            (std::vector<Xfer>{W(99, 1), W(0, 35)}));
  // A fixed length starts at block 0 whatever is written.
  EXPECT_EQ(Record(&TestThread::SeqWrite, 8, 8, 100, 1, 50)[0], W(0, 8));
}

TEST_F(WorkloadTest, RandomPlacementFollowsTheDraws) {
  // Length first, then two draws for the position: 10 * 8467 + 6334.
  const std::vector<Xfer> reads =
      Record(&TestThread::RandRead, 0, 16, 100000, 3);
  EXPECT_EQ(reads, (std::vector<Xfer>{R(91004, 10), R(97414, 5), R(99999, 1)}));
  // Workloads that draw alike touch the same blocks in the same order.
  EXPECT_EQ(Record(&TestThread::RandWrite, 0, 16, 100000, 3),
            (std::vector<Xfer>{W(91004, 10), W(97414, 5), W(99999, 1)}));
  EXPECT_EQ(Record(&TestThread::RandUpdate, 0, 16, 100000, 2),
            (std::vector<Xfer>{R(91004, 10), W(91004, 10)}));
  // First blocks are multiples of the unit, and 0 on a smaller target.
  EXPECT_EQ(Record(&TestThread::RandRead, 8, 8, 100000, 3),
            (std::vector<Xfer>{R(8872, 8), R(69840, 8), R(97408, 8)}));
  EXPECT_EQ(Record(&TestThread::RandRead, 2048, 2048, 10, 2),
            (std::vector<Xfer>{R(0, 10), R(0, 10)}));
}

TEST_F(WorkloadTest, RestartPositionIsAMultipleOf2048InsideTheTarget) {
  std::unique_ptr<TestThread> small = Idle(4095);
  std::unique_ptr<TestThread> exact = Idle(4096);
  std::set<int32_t> seen;
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(small->RestartPosition(), 0);
    seen.insert(exact->RestartPosition());
  }
  EXPECT_EQ(seen, (std::set<int32_t>{0, 2048}));
}

TEST_F(WorkloadTest, ReadBackOnlyWhereTheGuardsFitAndClippedExtentsOnce) {
  // The first write at block 0 and the one at the end have no room for
  // their guards.
  EXPECT_EQ(Record(&TestThread::SeqVerify, 8, 24, 24, 5),
            (std::vector<Xfer>{W(0, 8), W(8, 8), R(0, 24), W(16, 8), W(0, 8)}));
  // Extents of 8 + 2 * 8 blocks; the last is cut to 4 blocks and written
  // once.
  EXPECT_EQ(Record(&TestThread::SeqRewrite, 8, 40, 100, 14),
            (std::vector<Xfer>{W(0, 24), W(8, 8), W(24, 24), W(32, 8),
                               R(16, 40), W(48, 24), W(56, 8), R(40, 40),
                               W(72, 24), W(80, 8), W(96, 4), W(0, 24),
                               W(8, 8), W(24, 24)}));
  EXPECT_EQ(Record(&TestThread::RandRewrite, 8, 40, 30, 2),
            (std::vector<Xfer>{W(16, 14), W(16, 14)}));
  EXPECT_EQ(Record(&TestThread::RandVerify, 1, 5, 100000, 3),
            (std::vector<Xfer>{W(8877, 1), R(8875, 5), W(69840, 1)}));
}

TEST_F(WorkloadTest, PartialWritesOneBlockOfWhatItRead) {
  EXPECT_EQ(Record(&TestThread::SeqPartial, 1, 1, 2, 6),
            (std::vector<Xfer>{R(0, 1), W(0, 1), R(1, 1), W(1, 1), R(0, 1),
                               W(0, 1)}));
  EXPECT_EQ(Record(&TestThread::RandPartial, 0, 16, 20000, 6),
            (std::vector<Xfer>{R(19999, 1), W(19999, 1), R(12926, 2),
                               W(12926, 1), R(14633, 3), W(14635, 1)}));
}

TEST_F(WorkloadTest, CacheReadStaysInOneWindowFor10001Reads) {
  const std::vector<Xfer> whole =
      Record(&TestThread::CacheRead, 2048, 2048, 100000, 10002);
  ASSERT_EQ(whole.size(), 10002u);
  for (size_t i = 0; i < 10001; ++i) ASSERT_EQ(whole[i], R(8192, 2048)) << i;
  EXPECT_EQ(whole[10001], R(12288, 2048));

  for (const int32_t a : {0, 8}) {
    for (const Xfer& x : Record(&TestThread::CacheRead, a, 32, 100000, 3000)) {
      ASSERT_GE(x.first, 8192);
      ASSERT_LE(x.first + x.count, 8192 + 2048);
      if (a == 8) {
        ASSERT_EQ(x.first % 8, 0);
      }
    }
  }
}

TEST_F(WorkloadTest, FormatWriteMakesOnePassAndReturns) {
  EXPECT_EQ(Record(&TestThread::FormatWrite, 2048, 2048, 5000, 100),
            (std::vector<Xfer>{W(0, 2048), W(2048, 2048), W(4096, 904)}));
}

// Every workload looks at the stop flag before its first transfer, and
// every one but the format pass has its first transfer refused on a target
// of no blocks.
TEST_F(WorkloadTest, EveryWorkloadStopsFirstAndRefusesAnEmptyTarget) {
  env_.AddTarget("empty.img", 0);
  env_.AddTarget("t.img", 4096 * 512);
  for (const TestEntry* e = TestCatalogue; e->TestCode != 0; ++e) {
    SCOPED_TRACE(e->Name);
    for (const char* path : {"empty.img", "t.img"}) {
      TestThread t;
      t.Disk = std::make_unique<TestDisk>();
      t.Disk->Open(path, e->TestCode, e->BufferBlocks);
      t.BufferBlocks = e->BufferBlocks;
      const size_t before = env_.Transfers().size();
      if (std::string(path) == "t.img") {
        t.StopRequested = 1;
        (t.*e->Workload)(e->Argument);
      } else {
        const int64_t code =
            ErrorCodeOf([&] { (t.*e->Workload)(e->Argument); });
        EXPECT_EQ(code, e->TestCode == 51 ? int64_t{-1}
                                          : int64_t{platform::kErrorInvalidParameter});
      }
      EXPECT_EQ(env_.Transfers().size(), before);
    }
  }
}

}  // namespace
}  // namespace vorbex
