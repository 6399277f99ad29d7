#include "run/command_line.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "run/levels.h"

namespace vorbex {
namespace {

CommandLine Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "vorbex");
  return ParseCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(CommandLineTest, OptionsAreKnownByTheirSecondLetterOnly) {
  const CommandLine cl = Parse({"-rubbish", "-E", "-format", "-c", "-r", "t"});
  EXPECT_EQ(cl.options.resume, 1);
  EXPECT_EQ(cl.options.errstop, 1);
  EXPECT_EQ(cl.options.format, 1);
  EXPECT_EQ(cl.options.check, 1);
  EXPECT_EQ(cl.target, "t");
}

TEST(CommandLineTest, OptionsAloneLeaveNoTarget) {
  EXPECT_FALSE(Parse({}).target);
  EXPECT_FALSE(Parse({"-r", "-e"}).target);
}

TEST(CommandLineTest, FirstNonOptionIsTheTarget) {
  // An unknown letter or a lone dash is not an option but a file target.
  CommandLine cl = Parse({"-x", "C:"});
  EXPECT_EQ(cl.target, "-x");
  EXPECT_EQ(cl.level, "C:");
  EXPECT_EQ(Parse({"-", "5"}).target, "-");
  EXPECT_EQ(Parse({"-r", "-"}).target, "-");
}

TEST(CommandLineTest, ArgumentsAfterTheTargetArePositional) {
  const CommandLine cl = Parse({"C:", "-e", "-r", "-c"});
  EXPECT_EQ(cl.options.errstop, 0);
  EXPECT_EQ(cl.options.resume, 0);
  EXPECT_EQ(cl.level, "-e");
  EXPECT_EQ(cl.time_limit, "-r");
}

TEST(CommandLineTest, OneArgumentAfterTheTargetIsTheLevel) {
  const CommandLine cl = Parse({"C:", "1:30"});
  EXPECT_EQ(cl.level, "1:30");
  EXPECT_FALSE(cl.time_limit);
  EXPECT_EQ(ParseLevel(*cl.level), 1);
}

TEST(CommandLineTest, LongOptionsAreTwoDashesAndALetter) {
  struct Case {
    std::vector<const char*> args;
    const char* target;  // nullptr: none
    const char* error;   // "": accepted
  };
  const Case cases[] = {
      // Anything but a letter after "--" is a target, as before.
      {{"--", "5"}, "--", ""},
      {{"--1", "5"}, "--1", ""},
      {{"---x"}, "---x", ""},
      {{"-r", "--help"}, nullptr, ""},
      {{"--progress", "-e", "--json", "j.json", "t"}, "t", ""},
      {{"t", "--bogus"}, "t", ""},  // positional after the target
      {{"--bogus", "t"}, nullptr, "Unknown option --bogus"},
      {{"--resume", "t"}, nullptr, "Unknown option --resume"},
      {{"--HELP"}, nullptr, "Unknown option --HELP"},
      {{"--json"}, nullptr, "--json needs a file name"},
      {{"--inspect", "t"}, "t", "--inspect takes TARGET FIRST [COUNT]"},
      {{"--inspect", "t", "1", "2", "3"}, "t", "--inspect takes TARGET"},
      {{"-f", "--inspect", "t", "1"}, "t", "--inspect takes no other option"},
      {{"--stall-after", "0", "t"}, "t", ""},
      {{"--stall-after", "2.5", "t"}, "t", ""},
      {{"--stall-after", "86400", "t"}, "t", ""},
      {{"--stall-after"}, nullptr, "--stall-after needs a number of seconds"},
      {{"--stall-after", "x", "t"}, nullptr, "--stall-after x: give seconds"},
      {{"--stall-after", "-1", "t"}, nullptr, "--stall-after -1: give"},
      {{"--stall-after", "86401", "t"}, nullptr, "--stall-after 86401: give"},
      {{"--stall-after", "5s", "t"}, nullptr, "--stall-after 5s: give"},
      {{"--no-checksum", "--inspect", "t", "1"},
       "t",
       "--inspect takes no other option"},
      {{"--journal", "j", "--flush-every", "0", "t"}, "t", ""},
      {{"--flush-every", "1.5", "t"}, nullptr, "--flush-every 1.5: give"},
      {{"--flush-every", "86400001", "t"}, nullptr, "--flush-every 86400001"},
      {{"-c", "--journal", "j", "t"}, "t", "--journal and --flush-every are"},
      {{"--check-journal", "j", "t"}, "t", "--check-journal holds a check"},
      {{"-r", "--check-journal", "j", "--journal", "j", "t"},
       "t",
       "--journal would overwrite"},
      {{"--cut-after", "5:2", "t"}, nullptr, "--cut-after 5:2: give"},
      {{"--cut-after", "2:5", "t"}, "t", "--cut-after and --cut-command go"},
      {{"--cut-after", "0.5", "--cut-command", "x", "t"}, "t", ""},
      {{"-c", "--cut-after", "1", "--cut-command", "x", "t"},
       "t",
       "-c writes nothing"},
      {{"--journal", "j", "--inspect", "t", "1"},
       "t",
       "--inspect takes no other option"},
  };
  for (const Case& c : cases) {
    const CommandLine cl = Parse(c.args);
    const std::string where = ::testing::PrintToString(c.args);
    EXPECT_EQ(cl.target,
              c.target ? std::optional<std::string>(c.target) : std::nullopt)
        << where;
    EXPECT_EQ(cl.error.rfind(c.error, 0), 0u) << where << ": " << cl.error;
    EXPECT_EQ(cl.error.empty(), *c.error == '\0') << where;
  }
}

TEST(CommandLineTest, LongOptionsAreStored) {
  CommandLine cl = Parse({"--no-progress", "-r", "--json", "out.json", "--help",
                          "--version", "t", "7"});
  EXPECT_EQ(cl.progress, false);
  EXPECT_EQ(cl.json_path, "out.json");
  EXPECT_TRUE(cl.help && cl.version && !cl.inspect);
  EXPECT_EQ(cl.options.resume, 1);
  EXPECT_EQ(cl.level, "7");
  EXPECT_EQ(Parse({"--no-progress", "--progress", "t"}).progress, true);
  EXPECT_FALSE(Parse({"t"}).progress);
  cl = Parse({"--inspect", "t", "5", "9"});
  EXPECT_TRUE(cl.inspect && cl.error.empty());
  EXPECT_EQ(cl.level, "5");
  EXPECT_EQ(cl.time_limit, "9");
}

TEST(ParseByteCountTest, MultiplesOf512WithBinarySuffixes) {
  const std::pair<const char*, std::optional<int64_t>> cases[] = {
      {"512", 512},
      {"1k", 1024},
      {"3K", 3072},
      {"1023G", int64_t{1023} << 30},
      {"16t", int64_t{16} << 40},
      {"8388607T", int64_t{8388607} << 40},
      {"8388608T", std::nullopt},  // 2^63
      {"9223372036854775296", INT64_MAX - 511},
      {"99999999999999999999", std::nullopt},
      {"0", 0},
      {"513", std::nullopt},
      {"", std::nullopt},
      {"K", std::nullopt},
      {"1KB", std::nullopt},
      {"1P", std::nullopt},
      {" 512", std::nullopt},
      {"+512", std::nullopt},
      {"-512", std::nullopt},
      {"0x200", std::nullopt},
  };
  for (const auto& [text, bytes] : cases) {
    EXPECT_EQ(ParseByteCount(text), bytes) << text;
  }
}

TEST(TargetPathTest, TwoCharactersEndingInColonNameAVolume) {
  EXPECT_EQ(TargetPath("C:"), "\\\\.\\C:");
  EXPECT_EQ(TargetPath("c:"), "\\\\.\\c:");
  EXPECT_EQ(TargetPath("1:"), "\\\\.\\1:");
  EXPECT_TRUE(NamesVolumeLetter("1:"));
  for (const char* file : {"C:\\", "C", ":", "CC:", "/dev/sdb", "f.img"}) {
    EXPECT_FALSE(NamesVolumeLetter(file)) << file;
    EXPECT_EQ(TargetPath(file), file);
  }
}

TEST(TargetPathTest, LongPathsStayWhole) {
  const std::string path(5000, 'a');
  EXPECT_EQ(TargetPath(path), path);
}

TEST(ParseLevelTest, ReadsAsAtoiDoes) {
  EXPECT_EQ(ParseLevel("334"), 334);
  EXPECT_EQ(ParseLevel("  \t12abc"), 12);
  EXPECT_EQ(ParseLevel("+7"), 7);
  EXPECT_EQ(ParseLevel("-300"), -300);
  EXPECT_EQ(ParseLevel("abc"), 0);
  EXPECT_EQ(ParseLevel(""), 0);
  EXPECT_EQ(ParseLevel("- 5"), 0);
  EXPECT_EQ(ParseLevel("C:"), 0);
}

TEST(ParseLevelTest, HugeValuesStopAtTheRangeInsteadOfWrapping) {
  // Wrapping 4294967396 would give 100, a level that starts tests.
  EXPECT_EQ(ParseLevel("4294967396"), 2147483647);
  EXPECT_EQ(ParseLevel("2147483647"), 2147483647);
  EXPECT_EQ(ParseLevel("-2147483648"), -2147483647 - 1);
  EXPECT_EQ(ParseLevel("-99999999999"), -2147483647 - 1);
}

struct LimitCase {
  const char* text;
  uint64_t ms;
};

TEST(ParseTimeLimitTest, HoursAndMinutesElseSeconds) {
  const LimitCase cases[] = {
      {"1:30", 90 * 60 * 1000},
      {"90", 90 * 1000},
      {"0:90", 90 * 60 * 1000},
      {"1:x", 1000},
      {" 1: 30", 90 * 60 * 1000},
      {"1 :30", 1000},
      {"+2:+1", 121 * 60 * 1000},
      {"5s", 5000},
      {"0", 0},
      {"0:00", 0},
      {"abc", 0},
      {"", 0},
      {":30", 0},
  };
  for (const LimitCase& c : cases) {
    EXPECT_EQ(ParseTimeLimit(c.text).Milliseconds(), c.ms) << c.text;
  }
  EXPECT_TRUE(ParseTimeLimit("0:00").IsNone());
  EXPECT_FALSE(ParseTimeLimit("0:01").IsNone());
}

TEST(ParseTimeLimitTest,
     LimitsOfMoreThanTwoToThe32MillisecondsKeepTheirLength) {
  // 1193:02:48 is the first whole second past 2^32 ms; in 32 bits it would
  // wrap to a few seconds.
  EXPECT_EQ(ParseTimeLimit("1193:2").Milliseconds() + 48 * 1000,
            uint64_t{4294968} * 1000);
  EXPECT_EQ(ParseTimeLimit("4294968").Milliseconds(), uint64_t{4294968000});
  EXPECT_EQ(ParseTimeLimit("4294967295:59").Milliseconds(),
            (uint64_t{4294967295} * 3600 + 59 * 60) * 1000);
  // Past 32 bits a number stops at the largest one rather than wrapping.
  EXPECT_EQ(ParseTimeLimit("99999999999").seconds, 4294967295u);
}

TEST(ParseTimeLimitTest, MinusNegatesAsTheUnsignedConversionDoes) {
  EXPECT_EQ(ParseTimeLimit("-1").seconds, 4294967295u);
}

std::vector<int32_t> Parts(int32_t level) {
  const LevelParts p = SplitLevel(level);
  return {p.values.begin(), p.values.begin() + p.count};
}

TEST(SplitLevelTest, UnitsThenTensThenTheRest) {
  using V = std::vector<int32_t>;
  EXPECT_EQ(Parts(100), V({100}));
  EXPECT_EQ(Parts(10010), V({10, 10000}));
  EXPECT_EQ(Parts(120), V({20, 100}));
  EXPECT_EQ(Parts(334), V({4, 30, 300}));
  EXPECT_EQ(Parts(3333), V({3, 30, 3300}));  // the rest is not split further
  EXPECT_EQ(Parts(0), V());
  EXPECT_EQ(Parts(-300), V({-300}));
  EXPECT_EQ(Parts(-15), V({-5, -10}));
  EXPECT_EQ(Parts(-2147483647 - 1), V({-8, -40, -2147483600}));
}

}  // namespace
}  // namespace vorbex
