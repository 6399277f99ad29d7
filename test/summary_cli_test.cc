// The summary of the real binary: after everything on standard output, at
// the time limit and on an interrupt, with the interrupt's exit code.

#include <gtest/gtest.h>

#include <string>

#include "cli_support.h"
#include "platform/subprocess.h"
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

}  // namespace
}  // namespace vorbex
