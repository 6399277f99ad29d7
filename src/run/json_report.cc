#include "run/json_report.h"

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <system_error>
#include <utility>

#include "base/sleep.h"
#include "base/text.h"
#include "disk/disk_handle.h"
#include "run/catalogue.h"
#include "run/levels.h"
#include "run/version.h"

namespace vorbex {
namespace {

// Keeps the fields in the order the README lists them.
using Json = nlohmann::ordered_json;

// Global because whichever thread ends the process writes the report, from
// the end report that takes nothing but the exit code. Set by
// StartJsonReport on the main thread before any other thread starts
// (thread creation orders it); read by the one thread that ends the run.
struct JsonReportSetting {
  bool Wanted = false;
  std::string Path;
  RunDescription Run;
};
JsonReportSetting g_setting;

constexpr int kRenameTries = 4;
constexpr uint64_t kRenameRetryMs = 50;

std::string TestName(int32_t code) {
  if (code == 0) return "start-up check";
  const TestEntry& entry = FindTest(code);
  return entry.TestCode != 0 ? entry.Name : "invalid";
}

// The figures the summary shows, and the buckets that are not empty, each
// [its smallest time, count], so that runs can be merged and their
// percentiles taken anew. Times in microseconds.
Json LatencyOf(const LatencyCounts& t) {
  Json buckets = Json::array();
  for (int b = 0; b < kLatencyBuckets; ++b) {
    const uint64_t n = t.counts[static_cast<size_t>(b)];
    if (n != 0) buckets.push_back(Json::array({LatencyBucketFloor(b), n}));
  }
  const bool any = t.total > 0;
  const auto figure = [&](double p) {
    return any ? Json(t.Percentile(p)) : Json(nullptr);
  };
  return {{"transfers", t.total},    {"median_us", figure(0.5)},
          {"p99_us", figure(0.99)},  {"p999_us", figure(0.999)},
          {"max_us", figure(1.0)},   {"buckets", std::move(buckets)}};
}

Json CountersOf(const SummaryRow& r) {
  return {
      {"transfers", r.Transfers},        {"bytes_read", r.BytesRead},
      {"bytes_written", r.BytesWritten}, {"blocks_verified", r.BlocksVerified},
      {"mismatches", r.Mismatches},      {"errors", r.Errors},
      {"stalls", r.Stalls},
      {"latency", {{"read", LatencyOf(r.ReadTimes)},
                   {"write", LatencyOf(r.WriteTimes)}}}};
}

Json StallsPart(const SummaryFacts& facts) {
  Json list = Json::array();
  for (size_t k = 0; k < facts.Stalls.size(); ++k) {
    const StallRecord& s = facts.Stalls[k];
    const bool out = s.DurationNs < 0;
    const int64_t took = out ? facts.NowNs - s.SinceNs : s.DurationNs;
    list.push_back({{"test_code", s.TestCode},
                    {"test_name", TestName(s.TestCode)},
                    {"kind", s.Write ? "write" : "read"},
                    {"first_block", s.First},
                    {"blocks", s.Blocks},
                    {"start_seconds", facts.StallStarts[k]},
                    {"seconds", static_cast<double>(took) / 1e9},
                    {"outstanding", out}});
  }
  return list;
}

double PerSecond(int64_t n, double seconds) {
  return seconds > 0 ? static_cast<double>(n) / seconds : 0.0;
}

double Share(int64_t part, int64_t whole) {
  return whole > 0 ? static_cast<double>(part) / static_cast<double>(whole)
                   : 0.0;
}

// With -c no test starts, whatever the level says.
Json LevelTestsOf(const RunDescription& run) {
  Json tests = Json::array();
  if (run.Options.check != 0) return tests;
  const LevelParts parts = SplitLevel(run.Level);
  for (int p = 0; p < parts.count; ++p) {
    const LevelTestList list = LevelTests(parts.values[p]);
    for (int t = 0; t < list.count; ++t) {
      tests.push_back(
          {{"code", list.codes[t]}, {"name", TestName(list.codes[t])}});
    }
  }
  return tests;
}

Json CountersPart(const SummaryFacts& facts, Json* total_out) {
  Json rows = Json::array();
  for (const SummaryRow& r : facts.Rows) {
    Json row = {{"code", r.Code}, {"name", r.Name}};
    row.update(CountersOf(r));
    rows.push_back(std::move(row));
  }
  const SummaryRow total = TotalOf(facts.Rows);
  Json t = CountersOf(total);
  t["bytes_read_per_second"] = PerSecond(total.BytesRead, facts.Seconds);
  t["bytes_written_per_second"] = PerSecond(total.BytesWritten, facts.Seconds);
  t["transfers_per_second"] = PerSecond(total.Transfers, facts.Seconds);
  *total_out = std::move(t);
  return rows;
}

Json CoveragePart(const SummaryFacts& facts) {
  if (!facts.HasCoverage) return nullptr;
  return {{"target_blocks", facts.TargetBlocks},
          {"blocks_written", facts.BlocksWritten},
          {"blocks_verified", facts.BlocksVerified},
          {"written_share", Share(facts.BlocksWritten, facts.TargetBlocks)},
          {"verified_share", Share(facts.BlocksVerified, facts.TargetBlocks)}};
}

const char* KindName(MismatchRecord::Kind kind) {
  switch (kind) {
    case MismatchRecord::kHeader: return "header";
    case MismatchRecord::kFill: return "fill";
    case MismatchRecord::kChecksum: return "checksum";
    case MismatchRecord::kDurableLost: return "durable-lost";
  }
  return "header";
}

Json MismatchPart(const MismatchList& mismatches) {
  Json list = Json::array();
  for (const MismatchRecord& m : mismatches.Records) {
    list.push_back({{"block", m.Block},
                    {"test_code", m.TestCode},
                    {"test_name", TestName(m.TestCode)},
                    {"kind", KindName(m.What)}});
  }
  const auto listed = static_cast<int64_t>(mismatches.Records.size());
  return {{"count", mismatches.Total},
          {"listed", listed},
          {"truncated", mismatches.Total > listed},
          {"list", std::move(list)}};
}

Json JournalPart(const SummaryFacts& facts) {
  if (!facts.Journal) return nullptr;
  const journal::JournalStats& j = *facts.Journal;
  return {{"path", facts.JournalPath.empty() ? Json(nullptr)
                                             : Json(facts.JournalPath)},
          {"writes", j.writes},
          {"flushes", j.flushes},
          {"failed_flushes", j.failed_flushes},
          {"unrecorded_writes", j.dropped},
          {"complete", !j.broken}};
}

Json PowerCutPart(const SummaryFacts& facts) {
  if (!facts.PowerCut) return nullptr;
  const PowerCutFacts& p = *facts.PowerCut;
  return {{"journal", p.journal},
          {"journal_cut_short", p.journal_cut_short},
          {"journal_reaches_seconds", p.journal_reaches_s},
          {"writes_journalled", p.writes_journalled},
          {"flushes", p.flushes},
          {"failed_flushes", p.failed_flushes},
          {"durable_writes", p.durable_writes},
          {"writes_lost_after_flush", p.writes_lost_after_flush},
          {"blocks_lost_after_flush", p.blocks_lost_after_flush},
          {"blocks_lost_from_volatile_cache", p.blocks_lost_from_cache},
          {"torn_writes", p.torn_writes},
          {"allowed_blocks", p.allowed},
          {"volatile_window_seconds", p.volatile_window_s >= 0
                                          ? Json(p.volatile_window_s)
                                          : Json(nullptr)}};
}

Json CheckPart(CheckOutcome check) {
  switch (check) {
    case CheckOutcome::kFinished: return "finished";
    case CheckOutcome::kFailed: return "failed";
    case CheckOutcome::kNone: break;
  }
  return nullptr;
}

// A name no other writer of the same file picks: two runs that share a
// report path must not write into each other's half-written file.
std::string FreshNameBeside(const std::string& path) {
  uint64_t token = 0;
  try {
    std::random_device device;
    token = (uint64_t{device()} << 32) ^ device();
  } catch (const std::exception&) {
    // No source of entropy: the clock still tells two runs apart.
  }
  token ^= static_cast<uint64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  std::string name = path;
  Appendf(&name, ".%016" PRIx64 ".tmp", token);
  return name;
}

// What the C library said about the stream that just failed.
std::string ErrnoText(int error) {
  return error != 0 ? std::error_code(error, std::generic_category()).message()
                    : "the file cannot be written";
}

}  // namespace

std::string JsonReportText(const RunDescription& run, const SummaryFacts& facts,
                           const MismatchList& mismatches,
                           const RunEnding& ending) {
  Json doc;
  doc["report_version"] = kJsonReportVersion;
  doc["version"] = VersionText();
  doc["host"] = run.Host.empty() ? Json(nullptr) : Json(run.Host);
  doc["command_line"] = run.Arguments;
  const RunOptions& options = run.Options;
  doc["options"] = {{"resume", options.resume != 0},
                    {"errstop", options.errstop != 0},
                    {"format", options.format != 0},
                    {"check", options.check != 0},
                    {"checksum", options.checksum},
                    {"stall_after", options.StallAfter}};
  Json target = {{"argument", run.Target}, {"path", run.Path}};
  if (facts.HasCoverage) {
    target["blocks"] = facts.TargetBlocks;
    target["bytes"] = facts.TargetBlocks * kBlockSize;
  } else {
    target["blocks"] = nullptr;
    target["bytes"] = nullptr;
  }
  // A window is a target of its own, and the block numbers count from its
  // start: without its place on the device they point nowhere.
  if (facts.Windowed) {
    target["window"] = {{"offset", facts.WindowOffset},
                        {"bytes", facts.WindowBytes}};
  } else {
    target["window"] = nullptr;
  }
  doc["target"] = std::move(target);
  doc["level"] = run.Level;
  doc["tests"] = LevelTestsOf(run);
  doc["seconds"] = facts.Seconds;
  Json total;
  doc["counters"] = CountersPart(facts, &total);
  doc["total"] = std::move(total);
  doc["coverage"] = CoveragePart(facts);
  doc["check"] = CheckPart(ending.Check);
  doc["mismatches"] = MismatchPart(mismatches);
  doc["stalls"] = StallsPart(facts);
  doc["journal"] = JournalPart(facts);
  doc["power_cut"] = PowerCutPart(facts);
  doc["error_line"] =
      ending.ErrorLine != 0 ? Json(ending.ErrorLine) : Json(nullptr);
  doc["exit_code"] = facts.ExitCode;
  const char* signal = SignalNameFor(facts.ExitCode);
  doc["end"] = {{"reason", EndCauseName(ending.Cause)},
                {"signal", signal != nullptr ? Json(signal) : Json(nullptr)}};
  // Paths and arguments are bytes, not always UTF-8; a stray byte becomes
  // U+FFFD rather than costing the whole report.
  return doc.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

bool WriteFileWhole(const std::string& path, const std::string& text,
                    std::string* why) {
  const std::string fresh = FreshNameBeside(path);
  {
    errno = 0;
    std::ofstream out(fresh, std::ios::binary | std::ios::trunc);
    if (!out) {
      *why = ErrnoText(errno);
      return false;
    }
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out) {
      *why = ErrnoText(errno);
      std::remove(fresh.c_str());
      return false;
    }
  }
  std::error_code ec;
  // Replaces an existing file in one step, on Windows too. There a reader
  // that has the old file open (a collector reading the metrics) makes the
  // rename fail until it is done, which takes it a moment.
  for (int tries = 0; tries < kRenameTries; ++tries) {
    if (tries > 0) SleepMilliseconds(kRenameRetryMs);
    std::filesystem::rename(fresh, path, ec);
    if (!ec) break;
  }
  if (ec) {
    *why = ec.message();
    std::remove(fresh.c_str());
    return false;
  }
  return true;
}

bool CanReplaceFile(const std::string& path, const std::string& target_path,
                    std::string* why) {
  const std::string probe = FreshNameBeside(path);
  {
    errno = 0;
    std::ofstream out(probe, std::ios::binary | std::ios::trunc);
    if (!out) {
      *why = ErrnoText(errno);
      return false;
    }
  }
  std::remove(probe.c_str());
  // The rename would put the new file in place of whatever is there: a
  // directory would refuse only then, a device node or the target itself
  // would be lost.
  std::error_code ec;
  if (std::filesystem::exists(path, ec) &&
      !std::filesystem::is_regular_file(path, ec)) {
    *why = "it is not an ordinary file";
    return false;
  }
  if (std::filesystem::equivalent(path, target_path, ec)) {
    *why = "it is the target";
    return false;
  }
  return true;
}

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  if (std::filesystem::equivalent(a, b, ec)) return true;
  const std::filesystem::path first = std::filesystem::weakly_canonical(a, ec);
  if (ec) return a == b;
  const std::filesystem::path second = std::filesystem::weakly_canonical(b, ec);
  if (ec) return a == b;
  return first == second;
}

bool StartJsonReport(const std::string& path, RunDescription run,
                     std::string* why) {
  if (!CanReplaceFile(path, run.Path, why)) return false;
  g_setting.Wanted = true;
  g_setting.Path = path;
  g_setting.Run = std::move(run);
  return true;
}

void WriteJsonReport(const SummaryFacts& facts) {
  if (!g_setting.Wanted) return;
  std::string why;
  try {
    RunEnding ending;
    ending.Cause = EndCauseFor(facts.ExitCode);
    ending.Check = RunCheckOutcome();
    ending.ErrorLine = ErrorLineCode();
    const std::string text =
        JsonReportText(g_setting.Run, facts, RecordedMismatches(), ending);
    if (WriteFileWhole(g_setting.Path, text, &why)) return;
  } catch (const std::exception& e) {
    why = e.what();
  }
  std::fprintf(stderr, "Vorbex: could not write the JSON report %s: %s\n",
               g_setting.Path.c_str(), why.c_str());
}

}  // namespace vorbex
