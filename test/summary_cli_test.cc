// The summary of the real binary: after everything on standard output, at
// the time limit and on an interrupt, with the interrupt's exit code.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cli_support.h"
#include "platform/testing/subprocess.h"
#include "test_support.h"

namespace vorbex {
namespace {

using platform::ProcessResult;

class SummaryCliTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::MakeSparseFile(target_, 8 << 20); }

  testing::TempDir dir_;
  const std::string target_ = dir_.File("s.img");
};

// Both streams into one pipe, so that their order shows.
TEST_F(SummaryCliTest, TimeLimitEndsWithTheSummaryAfterTheLastLine) {
  ProcessResult r = platform::RunProcess({VORBEX_BINARY, target_, "30", "2"},
                                         30, -1, /*merge_streams=*/true);
  r.out = testing::UnixLineEnds(r.out);
  EXPECT_EQ(r.exit_code, 0) << r.out;
  const size_t stopped = r.out.find("Tests stopped at ");
  const size_t summary = r.out.find("\nSummary: ");
  ASSERT_NE(stopped, std::string::npos) << r.out;
  ASSERT_NE(summary, std::string::npos) << r.out;
  EXPECT_LT(stopped, summary);
  EXPECT_NE(r.out.find("   27 Seq 512 Verify"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nCoverage of 16384 blocks: written "),
            std::string::npos);
  EXPECT_EQ(r.out.substr(r.out.size() - 14), "No mismatches\n") << r.out;
}

TEST_F(SummaryCliTest, InterruptStopsTheTestsAndExits130) {
  const ProcessResult r =
      testing::Vorbex({"-e", target_, "334"}, 30, /*interrupt=*/1.5);
  EXPECT_EQ(r.exit_code, 130) << r.out << r.err;
  EXPECT_FALSE(r.timed_out);
  EXPECT_LT(r.seconds, 10);
  EXPECT_EQ(r.out.find("Tests stopped"), std::string::npos);
  EXPECT_EQ(r.out.find(": Block "), std::string::npos) << r.out;
  const std::string summary = r.err.substr(r.err.find("Summary: "));
  EXPECT_EQ(summary.find("Summary: "), 0u) << r.err;
  EXPECT_NE(summary.find("exit code 130"), std::string::npos) << summary;
  EXPECT_NE(summary.find("38 tests"), std::string::npos) << summary;

  // What the interrupted run left checks clean.
  const ProcessResult check = testing::Vorbex({"-c", "-e", target_}, 30);
  EXPECT_EQ(check.exit_code, 0) << check.out;
  EXPECT_EQ(check.out.find(": Block "), std::string::npos) << check.out;
  EXPECT_NE(check.err.find("Summary: "), std::string::npos);
}

// An interrupt in the middle of the start-up check, which runs on the main
// thread, still ends the run with the summary and the interrupt's code.
TEST_F(SummaryCliTest, InterruptDuringTheCheckPrintsTheSummary) {
  if (testing::kWindows) {
    GTEST_SKIP() << "needs a POSIX shell to wait for the check's first line";
  }
  // Mostly holes, so cheap to make, but with a block 0 that lets the
  // check go on through all of it.
  const std::string big = dir_.File("big.img");
  testing::MakeSparseFile(big, int64_t{16} << 30);
  testing::Vorbex({"-e", big, "1", "1"}, 60);
  // The interrupt comes once the check has printed its Start line, however
  // fast this machine reads holes.
  const std::string out = dir_.File("check.out");
  const ProcessResult r = platform::RunProcess(
      {"/bin/sh", "-c",
       "\"$0\" -c \"$1\" >\"$2\" & pid=$!; "
       "while ! grep -q 'Start on' \"$2\"; do sleep 0.01; done; "
       "kill -INT $pid; wait $pid",
       VORBEX_BINARY, big, out},
      60);
  EXPECT_EQ(r.exit_code, 130) << r.out << r.err;
  const std::vector<uint8_t> printed = testing::ReadFile(out);
  EXPECT_EQ(std::string(printed.begin(), printed.end()).find("): End"),
            std::string::npos);
  EXPECT_NE(r.err.find("Summary: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("exit code 130"), std::string::npos) << r.err;
}

// The status line goes to standard error only where someone watches it, or
// where asked for; standard output is the same either way.
TEST_F(SummaryCliTest, StatusLineOnlyOnATerminalOrWhenAsked) {
  struct Case {
    std::vector<std::string> options;
    bool status;
  };
  const Case cases[] = {
      {{}, false}, {{"--no-progress"}, false}, {{"--progress"}, true}};
  for (const Case& c : cases) {
    std::vector<std::string> args = c.options;
    for (const char* a : {"-e", "-f"}) args.emplace_back(a);
    args.push_back(target_);
    testing::Vorbex(args, 30);
    args = c.options;
    args.push_back(target_);
    args.emplace_back("2");
    args.emplace_back("3");
    const ProcessResult r = testing::Vorbex(args, 30);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err.find("IO/s") != std::string::npos, c.status) << r.err;
    EXPECT_EQ(r.err.find('\r') != std::string::npos, c.status) << r.err;
    EXPECT_EQ(r.out.find('\r'), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nTests stopped at "), std::string::npos) << r.out;
  }
}

// Under a pseudo-terminal (util-linux's script makes one) the line appears
// unasked, and is erased before the summary.
TEST_F(SummaryCliTest, StatusLineOnAPseudoTerminal) {
  if (platform::RunProcess({"script", "-V"}, 10).exit_code != 0) {
    GTEST_SKIP() << "no script(1) to make a pseudo-terminal";
  }
  const std::string command =
      std::string("exec ") + VORBEX_BINARY + " " + target_ + " 2 3 2>&1";
  const ProcessResult r =
      platform::RunProcess({"script", "-qefc", command, "/dev/null"}, 30);
  EXPECT_EQ(r.exit_code, 0) << r.out;
  const size_t status = r.out.find(" left)  read ");
  const size_t summary = r.out.find("Summary: ");
  ASSERT_NE(status, std::string::npos) << r.out;
  ASSERT_NE(summary, std::string::npos) << r.out;
  EXPECT_LT(status, summary);
  // Erased: blanks, then the cursor back at the start of the line.
  EXPECT_NE(r.out.rfind(" \r", summary), std::string::npos) << r.out;
}

}  // namespace
}  // namespace vorbex
