// Runs the real binary with a journal, ends it as a crash would, and checks
// the target against the journal: a crash keeps every write that returned,
// so nothing may be reported and nothing may even be allowed as lost.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli_support.h"
#include "test_support.h"

namespace vorbex {
namespace {

using platform::ProcessResult;
using testing::MaskTimes;
using testing::Vorbex;

class PowerCutCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    target_ = dir_.File("t.img");
    journal_ = dir_.File("j");
    report_ = dir_.File("r.json");
    testing::MakeSparseFile(target_, 16 << 20);
  }

  void Format(const std::string& target) {
    const ProcessResult r = Vorbex({"-f", target}, 60);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  }

  // A run of level 334 with a journal, killed after `seconds`.
  void KilledRun(const std::string& target, double seconds) {
    const ProcessResult r =
        Vorbex({"-r", "--journal", journal_, target, "334"}, seconds);
    ASSERT_TRUE(r.timed_out) << r.out << r.err;
  }

  // The check held to the journal: its standard output, and the report's
  // power_cut object.
  nlohmann::json CheckWithJournal(const std::string& target) {
    const ProcessResult r = Vorbex(
        {"-c", "--check-journal", journal_, "--json", report_, target}, 120);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(MaskTimes(r.out), "Check (" + target +
                                    "): Start on TIME\nCheck (" + target +
                                    "): End on TIME\n");
    std::ifstream in(report_);
    return nlohmann::json::parse(in)["power_cut"];
  }

  static void ExpectNothingLost(const nlohmann::json& cut) {
    EXPECT_GT(cut["writes_journalled"].get<int64_t>(), 0) << cut;
    EXPECT_GT(cut["flushes"].get<int64_t>(), 0) << cut;
    EXPECT_EQ(cut["writes_lost_after_flush"], 0) << cut;
    EXPECT_EQ(cut["blocks_lost_from_volatile_cache"], 0) << cut;
    EXPECT_EQ(cut["allowed_blocks"], 0) << cut;
    EXPECT_EQ(cut["torn_writes"], 0) << cut;
  }

  testing::TempDir dir_;
  std::string target_, journal_, report_;
};

TEST_F(PowerCutCliTest, AKilledRunOnAFileLosesNoReturnedWrite) {
  Format(target_);
  KilledRun(target_, 3);
  ExpectNothingLost(CheckWithJournal(target_));
  // Resuming with the journal goes on testing, and keeps a new one.
  const std::string next = dir_.File("j2");
  const ProcessResult r = Vorbex(
      {"-r", "--check-journal", journal_, "--journal", next, target_, "2", "1"},
      60);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_GT(std::filesystem::file_size(next), 64u);
}

TEST_F(PowerCutCliTest, ACutCommandCutsWhereTheLineSays) {
  if (testing::kWindows)
    GTEST_SKIP() << "the shell here cannot kill its parent";
  Format(target_);
  const ProcessResult r =
      Vorbex({"-r", "--journal", journal_, "--cut-after", "1:2",
              "--cut-command", "kill -KILL $PPID", target_, "334", "30"},
             30);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, -1);  // the signal, not an exit
  // Nothing comes after the line: the process was gone.
  const std::string out = MaskTimes(r.out);
  const std::string last = "Cut at TIME\n";
  ASSERT_GE(out.size(), last.size()) << out;
  EXPECT_EQ(out.substr(out.size() - last.size()), last) << out;
  ExpectNothingLost(CheckWithJournal(target_));
}

TEST_F(PowerCutCliTest, AKilledRunOnALoopDeviceLosesNoReturnedWrite) {
  testing::LoopDevice loop(target_);
  if (!loop.ok()) GTEST_SKIP() << "no loop device: " << loop.reason();
  Format(loop.device());
  KilledRun(loop.device(), 3);
  ExpectNothingLost(CheckWithJournal(loop.device()));
}

TEST_F(PowerCutCliTest, JournalsThatCannotServeAreRefused) {
  Format(target_);
  // The journal's own target, at risk: refused before anything is written.
  const std::vector<uint8_t> before = testing::ReadFile(target_);
  ProcessResult r = Vorbex({"--journal", target_, target_, "2", "1"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("is the target itself"), std::string::npos) << r.err;
  EXPECT_EQ(testing::ReadFile(target_), before);

  r = Vorbex({"--journal", journal_, target_, "2", "1"}, 60);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("a power cut would take it with the target"),
            std::string::npos)
      << r.err;

  const auto refused = [&](std::vector<std::string> args, const char* why) {
    const ProcessResult c = Vorbex(std::move(args), 60);
    EXPECT_EQ(c.exit_code, 1) << why;
    EXPECT_EQ(c.out, "") << why;
    EXPECT_NE(c.err.find(why), std::string::npos) << c.err;
  };
  refused({"-c", "--check-journal", dir_.File("none"), target_},
          "cannot read the journal");
  refused({"--check-journal", journal_, target_}, "give -c, or -r");
  refused({"-c", "--check-journal", journal_, "--offset", "1M", target_},
          "is of another window");
  const std::string other = dir_.File("other.img");
  testing::MakeSparseFile(other, 16 << 20);
  Format(other);
  refused({"-c", "--check-journal", journal_, other}, "is not of this target");

  // Torn in its last record: said, and used as far as it goes.
  std::filesystem::resize_file(journal_,
                               std::filesystem::file_size(journal_) - 5);
  r = Vorbex({"-c", "--check-journal", journal_, target_}, 60);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.err.find("ends in a torn record"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("Block"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace vorbex
