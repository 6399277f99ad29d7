#include "check/inspect.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "disk/block_format.h"
#include "disk/stamp_checksum.h"
#include "platform/error_codes.h"
#include "support/fake_env.h"

namespace vorbex {
namespace {

constexpr uint32_t kDisk = 0xD15C;
constexpr int64_t kBlocks = 300;

// A block as a writer of the given generation and extent stamps it, its map
// saying `map_seq` for every block that exists.
std::vector<uint8_t> Stamp(int32_t blkno, uint32_t seq, int64_t write_seq,
                           uint16_t map_seq) {
  std::vector<uint8_t> b(512);
  BlockHeader h{};
  h.Magic = kMagic;
  h.DiskID = kDisk;
  h.Blkno = blkno;
  h.RunID = 0x77;
  h.TestCode = 10;
  h.BaseBlk = blkno - blkno % 8;
  h.EndBlk = h.BaseBlk + 8;
  h.Seq = seq;
  h.WriteSeq = write_seq;
  h.Fill = FillByte(seq, blkno);
  StoreHeader(h, b.data());
  for (int j = 0; j < kNeighbours; ++j) {
    const int64_t n = int64_t{blkno} - kSelfEntry + j;
    const uint16_t e = n < 0 || n >= kBlocks ? 0 : map_seq;
    std::memcpy(b.data() + kMapOffset + 2 * j, &e, 2);
  }
  std::memcpy(b.data() + kFillOffset, FillPattern(FillByte(seq, blkno)),
              kFillBytes);
  return b;
}

std::string Hex(uint32_t v) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%x", v);
  return hex;
}

class InspectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.AddTarget("t", kBlocks * 512);
    for (int32_t b = 0; b < kBlocks; ++b) Put(b, Stamp(b, 5, 100, 5));
  }
  void Put(int64_t block, const std::vector<uint8_t>& bytes) {
    env_.WriteMedium("t", block * 512, bytes);
  }
  std::string Inspect(int64_t first, int64_t count = 1) {
    std::string text;
    outcome_ = InspectTarget(&env_, "t", false, first, count,
                             [&](const std::string& s) { text += s; });
    return text;
  }

  platform::FakeEnv env_;
  InspectOutcome outcome_;
};

TEST_F(InspectTest, GoodBlockSaysSoOnEveryLine) {
  EXPECT_EQ(Inspect(100),
            "Block 100:\n"
            "\tMagic fedab5ba: a stamp\n"
            "\tDiskID d15c: the target's\n"
            "\tRunID 77\n"
            "\tBlkno 100: its place\n"
            "\tBaseBlk..EndBlk 96..104\n"
            "\tWriteSeq 64\n"
            "\tSeq 5\n"
            "\tTest 10\n"
            "\tFill matches\n"
            "\tChecksum none (a stamp of the older form)\n"
            "\tMap entries that the neighbours disagree with: none\n");
  EXPECT_EQ(outcome_.error, 0u);
  EXPECT_TRUE(outcome_.complaint.empty());
}

// Each damage, done to block 40, and the line that must tell of it.
TEST_F(InspectTest, DamagedStampsAreNamed) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    std::string line;
  };
  std::vector<uint8_t> foreign = Stamp(40, 5, 100, 5);
  foreign[4] ^= 0x01;  // DiskID
  std::vector<uint8_t> torn = Stamp(40, 5, 100, 5);
  torn[400] ^= 0xFF;
  std::vector<uint8_t> blank(512, 0x5A);
  std::vector<uint8_t> wide = Stamp(40, 5, 100, 5);
  const int32_t end = 40;  // EndBlk no longer past the block
  std::memcpy(wide.data() + 24, &end, 4);
  // Summed as a writer sums it, then damaged in a byte no field check sees.
  std::vector<uint8_t> summed = Stamp(40, 5, 100, 5);
  summed[41] = 1;
  const uint32_t sum = BlockChecksum(summed.data());
  std::memcpy(summed.data() + 44, &sum, 4);
  std::vector<uint8_t> rotten = summed;
  rotten[17] ^= 0x04;  // TestCode
  std::vector<uint8_t> stray = Stamp(40, 5, 100, 5);
  stray[46] = 1;
  const Case cases[] = {
      {"summed", summed, "\tChecksum " + Hex(sum) + ": holds"},
      {"rotten", rotten, "\tChecksum " + Hex(sum) + ", flag 1: computed "},
      {"stray", stray,
       "\tChecksum none, yet bytes 41-47 hold 0 10000: damaged"},
      {"foreign", foreign, "\tDiskID d15d: foreign, block 0 has d15c\n"},
      {"misplaced", Stamp(41, 5, 100, 5),
       "\tBlkno 41: misplaced, this is block 40\n"},
      {"torn", torn, "\tFill differs from offset 400: "},
      {"not a stamp", blank, "\tMagic 5a5a5a5a: not a stamp"},
      {"bad extent", wide, "\tBaseBlk..EndBlk 40..40: does not hold its"},
  };
  for (const Case& c : cases) {
    Put(40, c.bytes);
    const std::string text = Inspect(40);
    EXPECT_NE(text.find(c.line), std::string::npos) << c.name << ":\n" << text;
    // A block misplaced whole still arrived whole.
    if (std::string(c.name) == "misplaced") {
      EXPECT_NE(text.find("Fill matches"), std::string::npos) << text;
    }
  }
}

TEST_F(InspectTest, NamesMapEntriesThatNeighboursDoNotBearOut) {
  // Block 70 was written again later (generation 6); block 30 holds
  // another target's stamp; block 60's own generation is older than block
  // 50's map claims, by an older write: a lost write or a bad map entry.
  Put(70, Stamp(70, 6, 101, 5));
  std::vector<uint8_t> other = Stamp(30, 5, 100, 5);
  other[4] ^= 0x01;
  Put(30, other);
  Put(60, Stamp(60, 4, 99, 5));
  const std::string text = Inspect(50);
  EXPECT_NE(text.find("\tMap entries that the neighbours disagree with:\n"
                      "\t\tblock 30 (entry 44): map 5, its stamp has DiskID "
                      "d15d\n"
                      "\t\tblock 60 (entry 74): map 5, its Seq 4, WriteSeq 63 "
                      "(not a later write)\n"
                      "\t\tblock 70 (entry 84): map 5, its Seq 6, WriteSeq 65 "
                      "(written later)\n"),
            std::string::npos)
      << text;
}

TEST_F(InspectTest, ReadsOnlyAndCoversTheEndsOfTheTarget) {
  // The windows stop at both ends, and 300 blocks cross a read's edge; an
  // entry misread anywhere would show as a disagreement.
  const std::string text = Inspect(0, kBlocks);
  EXPECT_EQ(outcome_.error, 0u);
  size_t blocks = 0;
  size_t agreeing = 0;
  for (size_t at = 0; (at = text.find("Block ", at)) != std::string::npos;
       ++at) {
    ++blocks;
  }
  for (size_t at = 0;
       (at = text.find("disagree with: none", at)) != std::string::npos; ++at) {
    ++agreeing;
  }
  EXPECT_EQ(blocks, size_t{kBlocks});
  EXPECT_EQ(agreeing, size_t{kBlocks});
  for (const auto& t : env_.Transfers()) EXPECT_FALSE(t.write);

  std::unique_ptr<platform::Target> target;
  ASSERT_EQ(env_.OpenTargetReadOnly("t", false, &target), 0u);
  uint32_t moved = 1;
  EXPECT_EQ(target->WriteAt(0, Stamp(0, 1, 1, 1).data(), 512, &moved),
            platform::kErrorAccessDenied);
  EXPECT_EQ(moved, 0u);
}

TEST_F(InspectTest, ArgumentsPastTheEndAndReadFailuresStop) {
  for (const auto& [first, count] :
       std::vector<std::pair<int64_t, int64_t>>{{300, 1}, {299, 2}, {0, 0}}) {
    EXPECT_EQ(Inspect(first, count), "");
    EXPECT_EQ(outcome_.complaint,
              "--inspect: the target has 300 blocks, 0 to 299");
  }
  env_.AddTarget("small", 511);
  EXPECT_EQ(
      InspectTarget(&env_, "small", false, 0, 1, [](const std::string&) {})
          .complaint,
      "--inspect: the target holds no whole block");
  env_.FailReadsAt("t", 150 * 512, platform::kErrorIoDevice);
  EXPECT_EQ(Inspect(100), "");  // block 150 is a neighbour of block 100
  EXPECT_EQ(outcome_.error, platform::kErrorIoDevice);
  EXPECT_EQ(
      InspectTarget(&env_, "missing", false, 0, 1, [](const std::string&) {})
          .error,
      platform::kErrorFileNotFound);
}

TEST(ParseBlockArgumentTest, OnlyPlainDecimals) {
  EXPECT_EQ(ParseBlockArgument("0"), 0);
  EXPECT_EQ(ParseBlockArgument("2147483648"), 2147483648);
  for (const char* bad :
       {"", "-1", "+1", " 1", "1x", "0x10", "9999999999999999999"}) {
    EXPECT_FALSE(ParseBlockArgument(bad)) << bad;
  }
}

}  // namespace
}  // namespace vorbex
