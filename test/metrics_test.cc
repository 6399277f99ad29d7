// The metrics' text: the cumulative buckets against the fine histogram,
// the run's state, and label values that would break the format.

#include <gtest/gtest.h>

#include <string>

#include "disk/latency.h"
#include "run/metrics_file.h"

namespace vorbex {
namespace {

RunDescription SomeRun() {
  RunDescription run;
  run.Target = "/dev/sdb";
  run.Path = "/dev/sdb";
  run.Level = 334;
  return run;
}

// The value of the sample whose name and labels are exactly these, or ""
// when the text has no such sample.
std::string ValueOf(const std::string& text, const std::string& sample) {
  const std::string line = "\n" + sample + " ";
  const size_t at = text.find(line);
  if (at == std::string::npos) return "";
  const size_t from = at + line.size();
  return text.substr(from, text.find('\n', from) - from);
}

LatencyCounts TimesOf(std::initializer_list<int64_t> micros) {
  LatencyCounts t;
  for (const int64_t m : micros) {
    ++t.counts[static_cast<size_t>(LatencyBucket(m))];
    ++t.total;
    t.max = std::max(t.max, m);
  }
  return t;
}

TEST(MetricsTest, BucketsCountEveryTransferAtOrBelowTheirBound) {
  SummaryFacts facts;
  SummaryRow row{9, "Seq 4k Read", 6, 24576, 0, 48, 0, 0};
  // 10 µs is on a bound, and the buckets are exact there; 990 µs and
  // 1001 µs lie a fine bucket either side of 1 ms, 2.6 ms past the 2.5 ms
  // bound, 61 s past the last bound.
  row.ReadTimes = TimesOf({10, 11, 990, 1001, 2600, 61'000'000});
  facts.Rows = {row};
  const std::string text = MetricsText(SomeRun(), facts, {});
  const std::string labels =
      R"(target="/dev/sdb",window="whole",test_code="9",test="Seq 4k Read",op="read")";
  const auto bucket = [&](const char* le) {
    return ValueOf(text, "vorbex_transfer_duration_seconds_bucket{" + labels +
                             ",le=\"" + le + "\"}");
  };
  EXPECT_EQ(bucket("1e-05"), "1") << text;
  EXPECT_EQ(bucket("2.5e-05"), "2");
  EXPECT_EQ(bucket("0.001"), "3");
  EXPECT_EQ(bucket("0.0025"), "4");
  EXPECT_EQ(bucket("0.005"), "5");
  EXPECT_EQ(bucket("60"), "5");
  EXPECT_EQ(bucket("+Inf"), "6");
  EXPECT_EQ(
      ValueOf(text, "vorbex_transfer_duration_seconds_count{" + labels + "}"),
      "6");
  const double sum = std::stod(
      ValueOf(text, "vorbex_transfer_duration_seconds_sum{" + labels + "}"));
  EXPECT_NEAR(sum, 61.004612, 61.0 * 0.01);
  // The write histogram is there, empty, so that the series never appear
  // midway through a run.
  EXPECT_EQ(
      ValueOf(
          text,
          "vorbex_transfer_duration_seconds_count{" +
              std::string(
                  R"(target="/dev/sdb",window="whole",test_code="9",test="Seq 4k Read",op="write"})")),
      "0");
}

// Each series is named once: two disks of one test make one row, and the
// start-up row keeps its name when the summary's changes.
TEST(MetricsTest, OneSeriesPerTestWithStableNames) {
  SummaryFacts facts;
  facts.Rows = {{0, "start-up check", 3, 1024, 512, 1, 0, 0},
                {10, "Seq 4k Write", 100, 0, 409600, 0, 0, 0},
                {10, "Seq 4k Write", 50, 0, 204800, 0, 0, 2}};
  const std::string text = MetricsText(SomeRun(), facts, {});
  const std::string base = R"(target="/dev/sdb",window="whole",)";
  EXPECT_EQ(ValueOf(text, "vorbex_written_bytes_total{" + base +
                              R"(test_code="10",test="Seq 4k Write"})"),
            "614400");
  EXPECT_EQ(ValueOf(text, "vorbex_errors_total{" + base +
                              R"(test_code="10",test="Seq 4k Write"})"),
            "2");
  EXPECT_EQ(ValueOf(text, "vorbex_read_bytes_total{" + base +
                              R"(test_code="0",test="start-up"})"),
            "1024");
}

TEST(MetricsTest, LabelValuesAreEscapedAndUtf8) {
  RunDescription run = SomeRun();
  // A quote, a backslash, a line break, a stray byte, an overlong slash
  // and a character of two bytes that stays.
  run.Target =
      "a\"b\\c\nd\xff"
      "e\xc0\xaf"
      "f\xc3\xa9";
  run.Options.WindowOffset = 1 << 20;
  const std::string text = MetricsText(run, {}, {});
  EXPECT_NE(text.find("vorbex_level{target=\"a\\\"b\\\\c\\nd\xef\xbf\xbd"
                      "e\xef\xbf\xbd\xef\xbf\xbd"
                      "f\xc3\xa9\","
                      "window=\"1048576:end\"} 334\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(WindowLabel(false, 0, 0), "whole");
  EXPECT_EQ(WindowLabel(true, 512, 4096), "512:4096");
}

}  // namespace
}  // namespace vorbex
