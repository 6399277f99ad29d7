// Runs the real binary with -c and -r on targets that this process stamps
// and then damages as a failing device would, and checks every line.

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "base/flags.h"
#include "check/startup_check.h"
#include "cli_support.h"
#include "disk/block_format.h"
#include "disk/disk_handle.h"
#include "test_support.h"

namespace vorbex {
namespace {

using platform::ProcessResult;
using testing::MaskTimes;
using testing::ReadBlock;
using testing::Vorbex;

constexpr int32_t kChunk = kScanBufferBlocks;

// A RunID no run of the binary draws, so every old block is from an
// earlier run.
constexpr uint32_t kEarlierRunID = 0x10000;

BlockHeader HeaderOf(const std::string& path, int64_t block) {
  return LoadHeader(ReadBlock(path, block).data());
}

// Stamps a file target in this process exactly as a run of test 7 would.
class Stamper {
 public:
  explicit Stamper(const std::string& path) : saved_(g_flags) {
    g_flags.RunID = kEarlierRunID;
    disk_.Open(path, 7, 4096);
  }
  ~Stamper() {
    disk_.Close();
    g_flags = saved_;
  }
  Stamper(const Stamper&) = delete;
  Stamper& operator=(const Stamper&) = delete;

  void Write(int32_t first, int32_t count) { disk_.WriteRange(first, count); }
  // Writes the range, but the device keeps the old content of block lost.
  void WriteLosing(int32_t first, int32_t count, int32_t lost) {
    const std::vector<uint8_t> old = ReadBlock(disk_.Path, lost);
    Write(first, count);
    testing::PutBlock(disk_.Path, lost, old);
  }
  BlockStateTable& table() { return *disk_.Table; }

 private:
  Flags saved_;
  TestDisk disk_;
};

class CheckCliTest : public ::testing::Test {
 protected:
  void MakeTarget(int32_t blocks) {
    testing::MakeSparseFile(target_, uint64_t{512} * blocks);
  }
  std::string Line(const char* what) {
    return "Check (" + target_ + "): " + what + " TIME\n";
  }
  std::string Clean() { return Line("Start on") + Line("End on"); }
  std::string Failed() { return Line("Start on") + Line("Failed at"); }
  // A header report as the scan prints it for block of a target of
  // `blocks` blocks, read in the run from first of count blocks.
  std::string Report(int32_t block, int32_t first, int32_t count,
                     const std::string& lines) {
    return "TIME\n" + target_ + ": Block " + std::to_string(block) +
           ":\n\tTest 0: start " + std::to_string(first) + ", len " +
           std::to_string(count) + "\n" + lines +
           "\tWritten during an earlier run by test 7\n\n";
  }
  static std::string Hex(int64_t v) {
    char text[24];
    std::snprintf(text, sizeof text, "%" PRIx64, static_cast<uint64_t>(v));
    return text;
  }
  // Runs with the given options on the target, at level 0 and stopping
  // after one second unless it only checks.
  ProcessResult Run(std::vector<std::string> options) {
    options.push_back(target_);
    options.insert(options.end(), {"0", "1"});
    ProcessResult r = Vorbex(options, 60);
    r.out = MaskTimes(r.out);
    return r;
  }

  testing::TempDir dir_;
  std::string target_ = dir_.File("t.img");
};

TEST_F(CheckCliTest, NeverStampedTargetFailsTheCheck) {
  MakeTarget(100);
  ProcessResult r = Run({"-c"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, Failed());
  r = Run({"-c", "-e"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, Failed());
  r = Run({"-r", "-e"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, Failed());
  EXPECT_EQ(testing::ReadFile(target_), std::vector<uint8_t>(100 * 512));

  // Without -e the run goes on as a fresh one, and stamps block 0.
  r = Run({"-r"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, Failed() + "Tests stopped at TIME\n");
  const BlockHeader zero = HeaderOf(target_, 0);
  EXPECT_EQ(zero.Magic, kMagic);
  EXPECT_EQ(zero.Blkno, 0);
  EXPECT_EQ(zero.WriteSeq, 1);
  EXPECT_EQ(Run({"-c"}).out, Clean());
}

TEST_F(CheckCliTest, BlockZeroCarryingAnotherBlocksStampFailsTheCheck) {
  MakeTarget(100);
  {
    Stamper s(target_);
    s.Write(0, 16);
  }
  testing::PutBlock(target_, 0, ReadBlock(target_, 5));
  const ProcessResult r = Run({"-c"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, Failed());
}

// One chunk, exactly two, and two and a bit, with writes across the chunk
// boundaries and at the end.
TEST_F(CheckCliTest, CleanTargetsPassAndResumeCarriesOn) {
  for (const int32_t blocks : {100, 2 * kChunk, 2 * kChunk + 300}) {
    SCOPED_TRACE(blocks);
    MakeTarget(blocks);
    int64_t newest = 0;
    uint32_t disk_id = 0;
    {
      Stamper s(target_);
      std::mt19937 rng(static_cast<uint32_t>(blocks));
      s.Write(0, 1);
      for (int k = 0; k < 40; ++k) {
        const int32_t count =
            std::uniform_int_distribution<int32_t>(1, std::min(blocks, 2112))(
                rng);
        s.Write(std::uniform_int_distribution<int32_t>(0, blocks - count)(rng),
                count);
      }
      if (blocks > kChunk) s.Write(kChunk - 4, 8);
      s.Write(blocks - 2, 2);
      newest = s.table().WriteSeq - 1;
      disk_id = s.table().DiskID;
    }
    const std::vector<uint8_t> before = testing::ReadFile(target_);
    ProcessResult r = Run({"-c"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, Clean());
    EXPECT_EQ(testing::ReadFile(target_), before);

    // Each resume keeps the target's identity and stamps block 0 after
    // everything on it.
    for (int run = 1; run <= 2; ++run) {
      r = Run({"-r", "-e"});
      EXPECT_EQ(r.exit_code, 0);
      EXPECT_EQ(r.out, Clean() + "Tests stopped at TIME\n");
      EXPECT_EQ(HeaderOf(target_, 0).DiskID, disk_id);
      EXPECT_EQ(HeaderOf(target_, 0).WriteSeq, newest + run);
    }
  }
}

TEST_F(CheckCliTest, CounterEndsAboveTheNewestStamp) {
  MakeTarget(100);
  {
    Stamper s(target_);
    s.table().WriteSeq = 5;
    s.Write(0, 1);
    s.Write(1, 1);
  }
  EXPECT_EQ(Run({"-r"}).exit_code, 0);
  EXPECT_EQ(HeaderOf(target_, 0).WriteSeq, 7);
}

TEST_F(CheckCliTest, LostLastBlockOfAWrite) {
  MakeTarget(64);
  {
    Stamper s(target_);
    s.Write(0, 1);                 // WriteSeq 1
    s.Write(10, 8);                // 2, generation 1
    s.WriteLosing(10, 8, 17);      // 3, generation 2 but for block 17
  }
  const std::string report =
      Report(17, 0, 64, "\tWriteSeq 2, expected 3\n\tSeq 1, expected 2\n");
  ProcessResult r = Run({"-c"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, Line("Start on") + report + Line("End on"));
  // With -e the scan still reports everything, then fails.
  r = Run({"-c", "-e"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, Line("Start on") + report + Line("Failed at"));
}

// The newer neighbour's map says which generation the lost block should
// have, whether the scan meets it before the lost block (the lost block is
// then checked with its chunk) or after (the lost block was confirmed with
// its chunk and is read again).
TEST_F(CheckCliTest, LostWriteFoundThroughANewerNeighbourInEitherOrder) {
  struct Case {
    int32_t lost, newer, first, count;
  };
  for (const Case c : {Case{kChunk - 4, kChunk + 6, kChunk - 4, 1},
                       Case{kChunk + 6, kChunk - 4, kChunk, kChunk}}) {
    SCOPED_TRACE(c.lost);
    MakeTarget(2 * kChunk);
    {
      Stamper s(target_);
      s.Write(0, 1);
      s.Write(c.lost, 1);
      s.WriteLosing(c.lost, 1, c.lost);
      s.Write(c.newer, 1);
    }
    const ProcessResult r = Run({"-c"});
    EXPECT_EQ(r.out, Line("Start on") +
                         Report(c.lost, c.first, c.count,
                                "\tSeq 1, expected 2\n") +
                         Line("End on"));
  }
}

TEST_F(CheckCliTest, StampAtTheWrongBlockShowsWhereItBelongs) {
  MakeTarget(128);
  {
    Stamper s(target_);
    s.Write(0, 1);
    s.Write(40, 30);
  }
  testing::PutBlock(target_, 60, ReadBlock(target_, 50));
  const std::string out = Run({"-c"}).out;
  EXPECT_NE(out.find(": Block 60:\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\tBlkno 32, expected 3c\n"), std::string::npos);
  EXPECT_EQ(out.find(": Block ", out.find(": Block 60:") + 1),
            std::string::npos)
      << out;
}

// Another target's stamps are reported only where a stamp of this target
// says what must be there.
TEST_F(CheckCliTest, AnotherTargetsStampsAreCheckedOnlyWhereNamed) {
  MakeTarget(400);
  uint32_t ours = 0;
  {
    Stamper s(target_);
    s.Write(0, 1);
    s.Write(1, 101);  // covers 100 and 101
    ours = s.table().DiskID;
  }
  const uint32_t theirs = ours ^ 0x00FF00FF;
  {
    Stamper s(target_);
    s.table().DiskID = theirs;
    s.Write(100, 2);   // WriteSeq 1
    s.Write(300, 10);  // 2, where nothing of ours reaches
  }
  const std::string lines = "\tDiskID " + Hex(theirs) + ", expected " +
                            Hex(ours) + "\n\tWriteSeq 1, expected 2\n";
  const ProcessResult r = Run({"-c"});
  EXPECT_EQ(r.out, Line("Start on") + Report(100, 0, 400, lines) +
                       Report(101, 0, 400, lines) + Line("End on"));
}

// A block device is scanned like a file, in chunks that the kernel serves
// without a cache.
TEST_F(CheckCliTest, DeviceTargetIsCheckedAndResumed) {
  const std::string backing = dir_.File("backing.img");
  testing::MakeSparseFile(backing, uint64_t{512} * (2 * kChunk + 8));
  testing::LoopDevice loop(backing);
  if (!loop.ok()) GTEST_SKIP() << "no loop device: " << loop.reason();
  target_ = loop.device();
  {
    Stamper s(target_);
    s.Write(0, 1);
    s.Write(kChunk - 1000, 2112);
    s.WriteLosing(kChunk - 1000, 2112, kChunk + 2);
  }
  ProcessResult r = Run({"-c"});
  EXPECT_EQ(testing::BeforeSummary(r.err), "");
  EXPECT_EQ(r.out, Line("Start on") +
                       Report(kChunk + 2, kChunk, kChunk,
                              "\tWriteSeq 2, expected 3\n"
                              "\tSeq 1, expected 2\n") +
                       Line("End on"));
  r = Run({"-r", "-e"});
  EXPECT_EQ(r.exit_code, 1);
}

}  // namespace
}  // namespace vorbex
