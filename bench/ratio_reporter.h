#ifndef VORBEX_BENCH_RATIO_REPORTER_H_
#define VORBEX_BENCH_RATIO_REPORTER_H_

// What a benchmark here is judged by is a ratio: Vorbex's run against a
// plain run of the same transfers on the same device, with the same kind of
// buffer. A shared machine's disk drifts by a factor of two from minute to
// minute, so both sides are repeated, interleaved, and compared by their
// medians; this prints those ratios after the usual table.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace vorbex::bench {

// One ratio to print: the run named run against the run named yardstick
// (names as the table shows them, without an aggregate's suffix).
struct Ratio {
  std::string label;
  std::string run;
  std::string yardstick;
  bool cpu = false;  // also the processor time per byte, both on one thread
};

class RatioReporter final : public benchmark::ConsoleReporter {
 public:
  // Without colour: the table is as often kept in a file as read.
  explicit RatioReporter(std::vector<Ratio> ratios)
      : ConsoleReporter(OO_Tabular), ratios_(std::move(ratios)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      const bool median =
          r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
      const bool only = r.run_type == Run::RT_Iteration && r.repetitions <= 1;
      if (r.error_occurred || !(median || only)) continue;
      Figures& f = figures_[r.run_name.str()];
      f.real = r.GetAdjustedRealTime();
      f.cpu = r.GetAdjustedCPUTime();
      const auto rate = r.counters.find("bytes_per_second");
      f.rate = rate != r.counters.end() ? rate->second.value : 0;
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::FILE* out = stdout;
    std::fprintf(out, "\nRatios to plain transfers (medians; 1.00 = as fast):\n");
    for (const Ratio& ratio : ratios_) {
      const auto run = figures_.find(ratio.run);
      const auto yard = figures_.find(ratio.yardstick);
      if (run == figures_.end() || yard == figures_.end()) continue;
      const Figures& a = run->second;
      const Figures& b = yard->second;
      std::fprintf(out, "  %-28s rate %5.2f", ratio.label.c_str(),
                   a.rate > 0 && b.rate > 0 ? a.rate / b.rate
                                            : b.real / a.real);
      if (ratio.cpu && a.rate > 0 && b.rate > 0 && b.cpu > 0) {
        // Processor time per byte moved.
        std::fprintf(out, "   CPU per MiB %5.2f",
                     (a.cpu / (a.rate * a.real)) / (b.cpu / (b.rate * b.real)));
      }
      std::fprintf(out, "\n");
    }
  }

 private:
  struct Figures {
    double real = 0;
    double cpu = 0;
    double rate = 0;
  };

  std::vector<Ratio> ratios_;
  std::map<std::string, Figures> figures_;
};

// argv with five repetitions, interleaved and reported by their aggregates,
// ahead of the caller's own arguments, which win where they say otherwise.
// The strings live as long as the process.
inline std::vector<char*> WithRepetitions(int argc, char** argv) {
  static char repetitions[] = "--benchmark_repetitions=5";
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  static char aggregates[] = "--benchmark_report_aggregates_only=true";
  std::vector<char*> args{argv[0], repetitions, interleave, aggregates};
  args.insert(args.end(), argv + 1, argv + argc);
  args.push_back(nullptr);
  return args;
}

}  // namespace vorbex::bench

#endif  // VORBEX_BENCH_RATIO_REPORTER_H_
