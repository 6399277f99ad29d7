#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "base/console.h"
#include "base/crc32c.h"
#include "base/random.h"

namespace vorbex {
namespace {

// Values any CRC-32C must give, whichever way it is computed.
TEST(Crc32cTest, KnownValues) {
  const std::string digits = "123456789";
  const auto* text = reinterpret_cast<const uint8_t*>(digits.data());
  const std::vector<uint8_t> zeros(32, 0);
  const std::vector<uint8_t> ones(32, 0xFF);
  for (auto crc : {Crc32c, Crc32cPortable}) {
    EXPECT_EQ(crc(text, 9, 0), 0xE3069283u);
    EXPECT_EQ(crc(zeros.data(), 32, 0), 0x8A9136AAu);
    EXPECT_EQ(crc(ones.data(), 32, 0), 0x62A8AB43u);
    EXPECT_EQ(crc(nullptr, 0, 0), 0u);
  }
}

// The lanes of the instruction's way join at fixed lengths, so every
// length and alignment around them must agree with the tables, and a CRC
// taken in two pieces with the one taken whole.
TEST(Crc32cTest, EveryLengthAlignmentAndSplitAgrees) {
  std::mt19937 rng(7);
  std::vector<uint8_t> bytes(1600);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
  for (size_t n = 0; n <= 1100; ++n) {
    const size_t at = n % 8;
    const uint32_t whole = Crc32cPortable(bytes.data() + at, n);
    ASSERT_EQ(Crc32c(bytes.data() + at, n), whole) << n;
    const size_t cut = n * 7 / 13;
    ASSERT_EQ(Crc32c(bytes.data() + at + cut, n - cut,
                     Crc32c(bytes.data() + at, cut)),
              whole)
        << n;
  }
}

// Every word of a block, blanked, whether the block is summed with the
// instruction or with tables; the word's place must not matter.
TEST(Crc32cTest, BlockWithABlankWordIsTheBlockWithZerosThere) {
  std::mt19937 rng(11);
  std::vector<uint8_t> block(512);
  for (uint8_t& b : block) b = static_cast<uint8_t>(rng());
  for (size_t blank = 0; blank < 504; blank += 4) {
    std::vector<uint8_t> zeroed = block;
    std::fill_n(zeroed.begin() + static_cast<std::ptrdiff_t>(blank), 4, 0);
    ASSERT_EQ(Crc32cOfBlock(block.data(), blank),
              Crc32cPortable(zeroed.data(), 512))
        << blank;
  }
}

// Every test thread starts from state 1, so this is the sequence that picks
// their blocks; a changed constant would move every test's writes.
TEST(RandomTest, StateOneGivesTheKnownSequence) {
  Random random;
  const int32_t expected[] = {41,    18467, 6334,  26500, 19169,
                              15724, 11478, 29358, 26962, 24464};
  for (int32_t value : expected) EXPECT_EQ(random.Draw(), value);
}

TEST(RandomTest, DrawsStayWithinFifteenBitsForAnySeed) {
  for (uint32_t seed : {0u, 0xFFFFFFFFu, 0x80000000u, 1765000000u}) {
    Random random(seed);
    for (int i = 0; i < 1000; ++i) {
      const int32_t v = random.Draw();
      ASSERT_GE(v, 0);
      ASSERT_LE(v, 32767);
    }
  }
}

TEST(TimeTextTest, LooksLikeCtime) {
  const std::string text = Now().c_str();
  ASSERT_EQ(text.size(), 25u) << text;
  EXPECT_TRUE(std::regex_match(
      text,
      std::regex(
          R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}\n)")))
      << text;
}

// Every test thread stamps its lines with the time; the C library answers
// in one shared buffer, so unguarded calls would tear each other's text.
TEST(TimeTextTest, WholeFromManyThreadsAtOnce) {
  std::atomic<int> torn{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&torn] {
      for (int i = 0; i < 2000; ++i) {
        const std::string text = Now().c_str();
        if (text.size() != 25 || text.back() != '\n') ++torn;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(torn.load(), 0);
}

}  // namespace
}  // namespace vorbex
