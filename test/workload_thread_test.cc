// The catalogue, the level table and the test threads: which tests a level
// starts, in what order, and what each thread prints and leaves behind.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/flags.h"
#include "base/sleep.h"
#include "disk/block_format.h"
#include "fake_disk_test.h"
#include "platform/error_codes.h"
#include "run/catalogue.h"
#include "run/levels.h"
#include "support/fake_env.h"
#include "test_support.h"
#include "workloads/workload_thread.h"

namespace vorbex {
namespace {

using platform::FakeEnv;
using testing::ErrorCodeOf;
using testing::MaskTimes;

std::vector<int32_t> Codes(const LevelTestList& list) {
  return {list.codes.begin(), list.codes.begin() + list.count};
}

TEST(LevelTest, EveryValueStartsItsTestsInOrder) {
  const std::vector<std::pair<int32_t, std::vector<int32_t>>> table = {
      {1, {10, 9}},
      {2, {11, 12, 15, 18, 21, 10, 9}},
      {3, {28, 31, 34, 37, 11, 12, 15, 18, 21, 10, 9}},
      {4, {24, 25, 28, 31, 34, 37, 11, 12, 15, 18, 21, 10, 9}},
      {10, {6, 5}},
      {20, {7, 8, 14, 17, 20, 6, 5}},
      {30, {27, 30, 33, 36, 7, 8, 14, 17, 20, 6, 5}},
      {100, {2, 1}},
      {200, {3, 4, 13, 16, 19, 2, 1}},
      {300, {22, 23, 26, 29, 32, 35, 50, 3, 4, 13, 16, 19, 2, 1}},
      {1000, {39, 38}},
      {2000, {40, 41, 42, 43, 44, 39, 38}},
      {3000, {45, 46, 47, 48, 49, 50, 40, 41, 42, 43, 44, 39, 38}},
      {10000, {51}},
  };
  for (const auto& [value, codes] : table) {
    EXPECT_EQ(Codes(LevelTests(value)), codes) << value;
  }
  for (const int32_t value : {0, 5, 9, 40, 90, 400, 1100, 3300, -300, -1}) {
    EXPECT_EQ(LevelTests(value).count, 0) << value;
  }
}

TEST(LevelTest, LevelsSplitIntoUnitsTensAndTheRest) {
  const auto parts = [](int32_t level) {
    const LevelParts p = SplitLevel(level);
    std::vector<int32_t> values;
    for (int i = 0; i < p.count; ++i) values.push_back(p.values[i]);
    return values;
  };
  EXPECT_EQ(parts(10010), (std::vector<int32_t>{10, 10000}));
  EXPECT_EQ(parts(120), (std::vector<int32_t>{20, 100}));
  EXPECT_EQ(parts(334), (std::vector<int32_t>{4, 30, 300}));
  EXPECT_EQ(parts(-300), (std::vector<int32_t>{-300}));
  int tests = 0;
  for (const int32_t value : parts(334)) tests += LevelTests(value).count;
  EXPECT_EQ(tests, 38);
}

TEST(CatalogueTest, FindTestSearchesFromTheTop) {
  EXPECT_EQ(std::string(FindTest(1).Name), "Seq Read");
  EXPECT_EQ(&FindTest(1), &TestCatalogue[0]);
  EXPECT_EQ(std::string(FindTest(51).Name), "Format Write");
  EXPECT_EQ(FindTest(51).BufferBlocks, 2048);
  for (const int32_t code : {0, 52, -1}) {
    EXPECT_EQ(&FindTest(code), &TestCatalogue[kCatalogueRows - 1]) << code;
    EXPECT_EQ(FindTest(code).TestCode, 0);
    EXPECT_EQ(FindTest(code).Workload, nullptr);
  }
  // Every code 1 ... 51 is there once.
  std::vector<int> seen(52);
  for (const TestEntry* e = TestCatalogue; e->TestCode != 0; ++e) {
    ++seen[e->TestCode];
  }
  EXPECT_EQ(std::count(seen.begin() + 1, seen.end(), 1), 51);
}

class TestThreadTest : public testing::FakeDiskTest {
 protected:
  void SetUp() override {
    FakeDiskTest::SetUp();
    g_flags.RunID = 0x321;
    env_.AddTarget(path_, kBlocks * 512);
  }

  static void AwaitFinished(const TestThread& t) {
    for (int i = 0; i < 2000 && !t.Finished.load(); ++i) SleepMilliseconds(5);
    ASSERT_TRUE(t.Finished.load());
  }

  static constexpr int32_t kBlocks = 8192;
  const std::string path_ = "t.img";
};

TEST_F(TestThreadTest, UnknownCodePrintsOneLineAndEnds) {
  ::testing::internal::CaptureStdout();
  TestThread t(99, path_);
  EXPECT_EQ(t.Disk->BufferBlocks, 1);
  AwaitFinished(t);
  t.Stop();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Invalid test code 99\n");
  EXPECT_EQ(t.Disk, nullptr);
  EXPECT_EQ(t.Name, nullptr);
}

TEST_F(TestThreadTest, FailureEndsOnlyItsOwnThread) {
  env_.InjectFault(FakeEnv::Fault::kFail, platform::kErrorIoDevice);
  ::testing::internal::CaptureStdout();
  TestThread failing(9, path_);
  AwaitFinished(failing);
  // Anything else thrown from below is an abort.
  env_.OnTransfer(FakeEnv::When::kBefore,
                  [] { throw std::runtime_error("not an Error"); });
  TestThread aborting(10, path_);
  AwaitFinished(aborting);
  // A finished thread is stopped at once, and its disk closed.
  failing.Stop();
  aborting.Stop();
  EXPECT_EQ(MaskTimes(::testing::internal::GetCapturedStdout()),
            "Test Seq 4k Read (9): Start on TIME\n"
            "Test Seq 4k Read (9): Error 1117 at TIME\n"
            "Test Seq 4k Read (9): End at TIME\n"
            "Test Seq 4k Write (10): Start on TIME\n"
            "Test Seq 4k Write (10): Abort at TIME\n"
            "Test Seq 4k Write (10): End at TIME\n");
  EXPECT_EQ(failing.Disk, nullptr);
}

// The process ends from the test thread: with errstop after the Error line
// and no End line; with format after the End line, whatever ended the test.
TEST_F(TestThreadTest, ErrstopAndFormatEndTheProcess) {
  // The child writes where this process looks, whether it is forked or (on
  // Windows) a new process that reruns the test up to its death statement.
  GTEST_FLAG_SET(death_test_style, "fast");
  const std::string out = testing::SharedScratchFile("out.txt");
  const auto run = [&](int32_t code) {
    if (std::freopen(out.c_str(), "wb", stdout) == nullptr) std::abort();
    TestThread t(code, path_);
    for (;;) SleepMilliseconds(1000);
  };
  const auto printed = [&] {
    const std::vector<uint8_t> text = testing::ReadFile(out);
    return MaskTimes(std::string(text.begin(), text.end()));
  };

  g_flags.errstop = 1;
  env_.InjectFault(FakeEnv::Fault::kShort, 512);
  EXPECT_EXIT(run(11), ::testing::ExitedWithCode(1), "");
  EXPECT_EQ(printed(),
            "Test Rand 4k Read (11): Start on TIME\n"
            "Test Rand 4k Read (11): Error 24 at TIME\n");

  // The child took the fault with it, so it is still to come here: a
  // format pass that fails without errstop still ends the process, with 0.
  g_flags.errstop = 0;
  g_flags.format = 1;
  EXPECT_EXIT(run(51), ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(printed(),
            "Test Format Write (51): Start on TIME\n"
            "Test Format Write (51): Error 24 at TIME\n"
            "Test Format Write (51): End at TIME\n");
}

TEST_F(TestThreadTest, FailedCreationKeepsTheTestsBeforeIt) {
  ThreadTable table;
  ::testing::internal::CaptureStdout();
  CreateLevelTests(table, path_, 1);
  env_.FailAllocation(platform::kErrorNotEnoughMemory, 2);
  EXPECT_EQ(ErrorCodeOf([&] { CreateLevelTests(table, path_, 2000); }),
            platform::kErrorNotEnoughMemory);
  EXPECT_EQ(table.NextSlot, 4);
  std::vector<int32_t> codes;
  for (const auto& slot : table.Slots) {
    if (slot != nullptr) codes.push_back(slot->TestCode);
  }
  EXPECT_EQ(codes, (std::vector<int32_t>{10, 9, 40, 41}));
  // Values outside the table start nothing.
  CreateLevelTests(table, path_, 400);
  EXPECT_EQ(table.NextSlot, 4);
  StopAllTests(table);
  const std::string printed = ::testing::internal::GetCapturedStdout();
  for (const std::string name : {"Seq 4k Write (10)", "Seq 4k Read (9)",
                                 "Rand 1m Read (40)", "Rand 1m Write (41)"}) {
    EXPECT_NE(printed.find("Test " + name + ": End at"), std::string::npos)
        << name;
  }
  EXPECT_EQ(printed.find("(42)"), std::string::npos);
}

// The 38 tests of level 334 at once, then stopped: nothing is reported,
// nothing is left taken, and the table agrees with every stamp on disk.
TEST_F(TestThreadTest, Level334SoaksCleanAndStops) {
  // Keeps the table for a look after the tests have gone.
  TestDisk* anchor = Open(path_, 1, 0);
  ThreadTable table;
  ::testing::internal::CaptureStdout();
  for (const int32_t value : {4, 30, 300}) {
    CreateLevelTests(table, path_, value);
  }
  EXPECT_EQ(table.NextSlot, 38);
  SleepMilliseconds(1500);
  StopAllTests(table);
  const std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(printed.find(": Block "), std::string::npos) << printed;
  int ends = 0;
  for (size_t at = 0; (at = printed.find(": End at", at)) != std::string::npos;
       ++at) {
    ++ends;
  }
  EXPECT_EQ(ends, 38);

  TestDisk& disk = *anchor;
  int written = 0;
  for (int32_t b = 0; b < kBlocks; ++b) {
    const BlockState s = disk.Table->States[b].load();
    ASSERT_EQ(s & kBusy, 0u) << b;
    if ((s & kWritten) == 0) continue;
    ++written;
    const std::vector<uint8_t> block =
        env_.ReadMedium(path_, int64_t{b} * 512, 512);
    ASSERT_EQ(LoadHeader(block.data()).Seq, SeqOf(s)) << b;
  }
  EXPECT_GT(written, 0);
}

}  // namespace
}  // namespace vorbex
