// Runs the real binary's test threads on scratch targets: a format pass, a
// soak of the largest level under errstop followed by a check and a resume,
// and the orderly stop after a test cannot be created.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli_support.h"
#include "disk/block_format.h"
#include "platform/testing/subprocess.h"
#include "run/levels.h"
#include "test_support.h"

namespace vorbex {
namespace {

using platform::ProcessResult;
using testing::MaskTimes;
using testing::Vorbex;

std::vector<std::string> Lines(const std::string& out) {
  std::vector<std::string> lines;
  std::istringstream in(MaskTimes(out));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string CheckLines(const std::string& target) {
  return "Check (" + target + "): Start on TIME\nCheck (" + target +
         "): End on TIME\n";
}

class StressCliTest : public ::testing::Test {
 protected:
  testing::TempDir dir_;
};

TEST_F(StressCliTest, FormatStampsEveryBlockOnceAndChecksClean) {
  const std::string target = dir_.File("f.img");
  testing::MakeSparseFile(target, 5000 * 512);
  // The level is ignored: -f runs the format pass alone.
  const ProcessResult r = Vorbex({"-f", target, "3"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(MaskTimes(r.out),
            "Test Format Write (51): Start on TIME\n"
            "Test Format Write (51): End at TIME\n");
  // Every block, block 0 included, carries its stamp from one of the three
  // writes of the pass.
  for (const int64_t b : {0, 1, 2047, 2048, 4095, 4096, 4999}) {
    const BlockHeader h = LoadHeader(testing::ReadBlock(target, b).data());
    EXPECT_EQ(h.Magic, kMagic) << b;
    EXPECT_EQ(h.Blkno, b);
    EXPECT_EQ(h.TestCode, 51);
    EXPECT_EQ(h.BaseBlk, b / 2048 * 2048);
    EXPECT_EQ(h.EndBlk, std::min<int64_t>(b / 2048 * 2048 + 2048, 5000));
  }
  const ProcessResult check = Vorbex({"-c", "-e", target});
  EXPECT_EQ(check.exit_code, 0);
  EXPECT_EQ(MaskTimes(check.out), CheckLines(target));
}

// The 38 tests of level 334 share one small target for a few seconds under
// errstop: any mismatch would end the run with code 1. What they leave
// must then check and resume clean.
void SoakThenCheck(const std::string& target, bool file) {
  const ProcessResult soak = Vorbex({"-e", target, "334", "4"}, 60);
  EXPECT_EQ(soak.exit_code, 0) << soak.out << soak.err;
  std::vector<std::string> lines = Lines(soak.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Tests stopped at TIME");
  lines.pop_back();
  std::set<std::string> started;
  for (const std::string& line : lines) {
    EXPECT_EQ(line.substr(0, 5), "Test ") << line;
    EXPECT_NE(line.find("): Start on TIME"), std::string::npos) << line;
    started.insert(line);
  }
  EXPECT_EQ(started.size(), 38u);
  EXPECT_EQ(testing::BeforeSummary(soak.err).empty(), !file);

  const ProcessResult check = Vorbex({"-c", "-e", target}, 60);
  EXPECT_EQ(check.exit_code, 0);
  EXPECT_EQ(MaskTimes(check.out), CheckLines(target));
  const ProcessResult resume = Vorbex({"-r", "-e", target, "334", "2"}, 60);
  EXPECT_EQ(resume.exit_code, 0) << resume.out;
  const std::vector<std::string> resumed = Lines(resume.out);
  ASSERT_GE(resumed.size(), 3u);
  EXPECT_EQ(resumed[0], "Check (" + target + "): Start on TIME");
  EXPECT_EQ(resumed[1], "Check (" + target + "): End on TIME");
  EXPECT_EQ(resumed.back(), "Tests stopped at TIME");
  EXPECT_EQ(resumed.size(), 41u);
}

TEST_F(StressCliTest, Level334SoaksCleanOnAFile) {
  const std::string target = dir_.File("soak.img");
  testing::MakeSparseFile(target, 16 << 20);
  SoakThenCheck(target, true);
}

TEST_F(StressCliTest, Level334SoaksCleanOnALoopDevice) {
  const std::string backing = dir_.File("backing.img");
  testing::MakeSparseFile(backing, 16 << 20);
  testing::LoopDevice loop(backing);
  if (!loop.ok()) GTEST_SKIP() << "no loop device: " << loop.reason();
  SoakThenCheck(loop.device(), false);
}

// With room for only a few open targets, one test of level 4 cannot open
// its disk: main prints the error, stops every test made before it, in the
// order they were made, and exits with 0.
TEST_F(StressCliTest, ErrorStopsEveryTestAndExitsZero) {
#ifdef VORBEX_CHECKS_NEED_HANDLES
  GTEST_SKIP() << "the undefined-behaviour checker needs spare file handles "
                  "for its type checks, and this test leaves none";
#endif
  if (testing::kWindows) {
    GTEST_SKIP() << "Windows has no per-process limit on open handles that "
                    "this test could lower";
  }
  const std::string target = dir_.File("e.img");
  testing::MakeSparseFile(target, 8 << 20);
  const ProcessResult r = platform::RunProcess(
      {"/bin/sh", "-c", "ulimit -n 7 && exec \"$0\" \"$@\"", VORBEX_BINARY,
       target, "4"},
      60);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  const std::vector<std::string> lines = Lines(r.out);
  const auto error = std::find(lines.begin(), lines.end(), "Error 4");
  ASSERT_NE(error, lines.end()) << r.out;

  const LevelTestList level = LevelTests(4);
  std::vector<std::string> starts;
  std::vector<std::string> ends;
  for (const std::string& line : lines) {
    if (line.find(": Start on TIME") != std::string::npos) {
      starts.push_back(line);
    } else if (line.find(": End at TIME") != std::string::npos) {
      EXPECT_GT(&line, &*error) << "an End line before the Error line";
      ends.push_back(line.substr(0, line.find(':')));
    }
  }
  ASSERT_GE(ends.size(), 1u);
  ASSERT_LT(ends.size(), 13u);
  EXPECT_EQ(starts.size(), ends.size());
  EXPECT_EQ(lines.size(), starts.size() + ends.size() + 1);
  // The End lines come in creation order, since each test is stopped in
  // turn.
  for (size_t i = 0; i < ends.size(); ++i) {
    char code[16];
    std::snprintf(code, sizeof code, "(%d)", level.codes[i]);
    EXPECT_NE(ends[i].find(code), std::string::npos) << ends[i];
  }
}

}  // namespace
}  // namespace vorbex
