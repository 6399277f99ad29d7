#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "base/console.h"
#include "base/random.h"

namespace vorbex {
namespace {

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
