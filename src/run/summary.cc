#include "run/summary.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "base/console.h"
#include "base/text.h"
#include "disk/stalls.h"
#include "disk/target_window.h"
#include "disk/transfer_counters.h"
#include "run/catalogue.h"

namespace vorbex {
namespace {

using Clock = std::chrono::steady_clock;

// Global because whichever thread ends the process prints the summary.
// Set once by main before any other thread exists; read by whoever prints.
constinit std::atomic<int64_t> g_start_ticks{0};

double Share(int64_t part, int64_t whole) {
  return whole > 0
             ? 100.0 * static_cast<double>(part) / static_cast<double>(whole)
             : 0.0;
}

void AppendRow(std::string* out, const SummaryRow& r) {
  Appendf(out,
          "  %4d %-18s %10" PRId64 " %11s %11s %10" PRId64 " %11" PRId64
          " %7" PRId64 "\n",
          r.Code, r.Name.c_str(), r.Transfers,
          ByteText(static_cast<double>(r.BytesRead)).c_str(),
          ByteText(static_cast<double>(r.BytesWritten)).c_str(),
          r.BlocksVerified, r.Mismatches, r.Errors);
}

// Median, 99th and 99.9th percentiles and the longest, of one kind.
void AppendTimes(std::string* out, const LatencyCounts& t) {
  const bool any = t.total > 0;
  Appendf(out, " %7s %7s %7s %7s", LatencyText(t.Percentile(0.5), any).c_str(),
          LatencyText(t.Percentile(0.99), any).c_str(),
          LatencyText(t.Percentile(0.999), any).c_str(),
          LatencyText(t.max, any).c_str());
}

void AppendLatencyRow(std::string* out, const char* code, const char* name,
                      const SummaryRow& r) {
  Appendf(out, "  %4s %-18s", code, name);
  AppendTimes(out, r.ReadTimes);
  Appendf(out, " ");
  AppendTimes(out, r.WriteTimes);
  Appendf(out, " %6" PRId64 "\n", r.Stalls);
}

// How long the transfers took, per test and in all: a drive that answers
// right but late is failing too.
void AppendLatency(std::string* out, const std::vector<SummaryRow>& rows,
                   const SummaryRow& total) {
  Appendf(out, "  Latency %-15s %-31s  write\n", "", "read");
  Appendf(out, "  %4s %-18s %7s %7s %7s %7s  %7s %7s %7s %7s %6s\n", "Code",
          "Test", "median", "99%", "99.9%", "max", "median", "99%", "99.9%",
          "max", "Stalls");
  for (const SummaryRow& r : rows) {
    const std::string code = std::to_string(r.Code);
    AppendLatencyRow(out, code.c_str(), r.Name.c_str(), r);
  }
  AppendLatencyRow(out, "", "Total", total);
}

}  // namespace

void AddTo(SummaryRow* total, const SummaryRow& r) {
  total->Transfers += r.Transfers;
  total->BytesRead += r.BytesRead;
  total->BytesWritten += r.BytesWritten;
  total->BlocksVerified += r.BlocksVerified;
  total->Mismatches += r.Mismatches;
  total->Errors += r.Errors;
  total->Stalls += r.Stalls;
  total->ReadTimes.Add(r.ReadTimes);
  total->WriteTimes.Add(r.WriteTimes);
}

SummaryRow TotalOf(const std::vector<SummaryRow>& rows) {
  SummaryRow total;
  for (const SummaryRow& r : rows) AddTo(&total, r);
  return total;
}

namespace {

SummaryRow RowOf(const TransferCounters& c) {
  SummaryRow r;
  // Relaxed: each field as it stands; the owner may still be adding.
  r.Code = c.TestCode.load(std::memory_order_relaxed);
  r.Transfers = c.Transfers.load(std::memory_order_relaxed);
  r.BytesRead = c.BytesRead.load(std::memory_order_relaxed);
  r.BytesWritten = c.BytesWritten.load(std::memory_order_relaxed);
  r.BlocksVerified = c.BlocksVerified.load(std::memory_order_relaxed);
  r.Mismatches = c.Mismatches.load(std::memory_order_relaxed);
  r.Errors = c.Errors.load(std::memory_order_relaxed);
  r.Stalls = c.Stalls.load(std::memory_order_relaxed);
  for (const auto* h : {c.ReadTimes.get(), c.ReadAheadTimes.get()}) {
    if (h != nullptr) r.ReadTimes.Add(*h);
  }
  if (c.WriteTimes != nullptr) r.WriteTimes.Add(*c.WriteTimes);
  return r;
}

}  // namespace

void MarkRunStart() {
  g_start_ticks.store(Clock::now().time_since_epoch().count());
}

double SecondsSinceRunStart() {
  const Clock::duration since =
      Clock::now().time_since_epoch() - Clock::duration(g_start_ticks.load());
  return std::chrono::duration<double>(since).count();
}

SummaryFacts CollectSummary(int exit_code) {
  SummaryFacts facts;
  facts.ExitCode = exit_code;
  facts.Seconds = SecondsSinceRunStart();

  SummaryRow startup;
  startup.Name = "start-up";
  bool any_startup = false;
  const int claimed = ClaimedCounters();
  for (int i = 0; i < claimed; ++i) {
    SummaryRow r = RowOf(CountersAt(i));
    if (r.Code == 0) {
      AddTo(&startup, r);
      any_startup = true;
      continue;
    }
    const TestEntry& entry = FindTest(r.Code);
    r.Name = entry.TestCode != 0 ? entry.Name : "invalid";
    facts.Rows.push_back(r);
  }
  if (any_startup) {
    if (startup.BytesRead > 0) startup.Name = "start-up check";
    facts.Rows.insert(facts.Rows.begin(), startup);
  }

  if (const TargetCoverage* coverage = RunCoverage()) {
    facts.HasCoverage = true;
    facts.TargetBlocks = coverage->Blocks();
    facts.BlocksWritten = coverage->WrittenCount();
    facts.BlocksVerified = coverage->VerifiedCount();
  }
  facts.NowNs = SteadyNanos();
  facts.Stalls = RecordedStalls();
  for (const StallRecord& s : facts.Stalls) {
    facts.StallStarts.push_back(
        facts.Seconds - static_cast<double>(facts.NowNs - s.SinceNs) / 1e9);
  }
  const TargetWindow window = RunWindow();
  facts.Windowed = window.Windowed;
  facts.WindowOffset = window.Offset;
  facts.WindowBytes = window.Bytes;
  return facts;
}

// What the run's journal recorded, and what a check held to a journal
// found.
void AppendPowerCut(std::string* out, const SummaryFacts& f) {
  if (f.Journal) {
    const journal::JournalStats& j = *f.Journal;
    if (f.JournalPath.empty()) {
      Appendf(out, "Flushes: %" PRId64 " (%" PRId64 " failed)\n", j.flushes,
              j.failed_flushes);
    } else {
      Appendf(out,
              "Journal %s: %" PRId64 " writes, %" PRId64 " flushes (%" PRId64
              " failed)%s\n",
              f.JournalPath.c_str(), j.writes, j.flushes, j.failed_flushes,
              j.broken ? "; it could not be written to the end" : "");
      if (j.dropped > 0) {
        Appendf(out,
                "  %" PRId64
                " writes went unrecorded: the journal could not keep up\n",
                j.dropped);
      }
    }
  }
  if (!f.PowerCut) return;
  const PowerCutFacts& p = *f.PowerCut;
  Appendf(out,
          "Power cut: journal %s%s, reaching %.3f s into its run: %" PRId64
          " writes, %" PRId64 " flushes (%" PRId64 " failed), %" PRId64
          " durable writes\n",
          p.journal.c_str(), p.journal_cut_short ? " (cut short)" : "",
          p.journal_reaches_s, p.writes_journalled, p.flushes,
          p.failed_flushes, p.durable_writes);
  Appendf(out,
          "  Lost after a flush: %" PRId64 " writes (%" PRId64 " blocks)\n",
          p.writes_lost_after_flush, p.blocks_lost_after_flush);
  Appendf(out,
          "  Allowed: %" PRId64 " blocks lost from the volatile cache, %" PRId64
          " torn writes at the cut",
          p.blocks_lost_from_cache, p.torn_writes);
  if (p.volatile_window_s >= 0) {
    Appendf(out, "; volatile window %.3f s\n", p.volatile_window_s);
  } else {
    *out += "; nothing acknowledged was lost\n";
  }
}

std::string SummaryText(const SummaryFacts& f) {
  std::string out;
  size_t tests = 0;  // the start-up row is not a test
  for (const SummaryRow& r : f.Rows) tests += r.Code != 0 ? 1 : 0;
  Appendf(&out, "Summary: %.1f s, %zu test%s, exit code %d\n", f.Seconds, tests,
          tests == 1 ? "" : "s", f.ExitCode);
  Appendf(&out, "  %4s %-18s %10s %11s %11s %10s %11s %7s\n", "Code", "Test",
          "Transfers", "Read", "Written", "Verified", "Mismatches", "Errors");
  SummaryRow total;
  total.Name = "total";
  for (const SummaryRow& r : f.Rows) {
    AppendRow(&out, r);
    AddTo(&total, r);
  }
  Appendf(&out,
          "  %4s %-18s %10" PRId64 " %11s %11s %10" PRId64 " %11" PRId64
          " %7" PRId64 "\n",
          "", "Total", total.Transfers,
          ByteText(static_cast<double>(total.BytesRead)).c_str(),
          ByteText(static_cast<double>(total.BytesWritten)).c_str(),
          total.BlocksVerified, total.Mismatches, total.Errors);
  if (f.Seconds > 0) {
    const double s = f.Seconds;
    Appendf(&out, "  Rates: read %s/s, written %s/s, %.0f transfers/s\n",
            ByteText(static_cast<double>(total.BytesRead) / s).c_str(),
            ByteText(static_cast<double>(total.BytesWritten) / s).c_str(),
            static_cast<double>(total.Transfers) / s);
  }
  AppendLatency(&out, f.Rows, total);
  for (size_t k = 0; k < f.Stalls.size(); ++k) {
    const StallRecord& s = f.Stalls[k];
    const TestEntry& entry = FindTest(s.TestCode);
    Appendf(&out,
            "  Stall: test %s (%d), the %s of %d block%s from block %d, "
            "%.1f s into the run: ",
            s.TestCode == 0       ? "start-up"
            : entry.TestCode != 0 ? entry.Name
                                  : "invalid",
            s.TestCode, s.Write ? "write" : "read", s.Blocks,
            s.Blocks == 1 ? "" : "s", s.First,
            k < f.StallStarts.size() ? f.StallStarts[k] : 0.0);
    if (s.DurationNs >= 0) {
      Appendf(&out, "took %.1f s\n", static_cast<double>(s.DurationNs) / 1e9);
    } else {
      Appendf(&out, "still out after %.1f s\n",
              static_cast<double>(f.NowNs - s.SinceNs) / 1e9);
    }
  }
  if (f.HasCoverage) {
    Appendf(&out,
            "Coverage of %" PRId64 " blocks: written %" PRId64
            " (%.1f%%), verified at least once %" PRId64 " (%.1f%%)\n",
            f.TargetBlocks, f.BlocksWritten,
            Share(f.BlocksWritten, f.TargetBlocks), f.BlocksVerified,
            Share(f.BlocksVerified, f.TargetBlocks));
  } else {
    out += "Coverage: no target was opened\n";
  }
  if (f.Windowed && f.WindowBytes > 0) {
    Appendf(&out,
            "Window: --offset %" PRId64 " --size %" PRId64 " (bytes %" PRId64
            " to %" PRId64 " of the target)\n",
            f.WindowOffset, f.WindowBytes, f.WindowOffset,
            f.WindowOffset + f.WindowBytes - 1);
  } else if (f.Windowed) {
    Appendf(&out, "Window: --offset %" PRId64 " up to the target's end\n",
            f.WindowOffset);
  }
  AppendPowerCut(&out, f);
  if (total.Mismatches > 0) {
    Appendf(&out,
            "MISMATCHES: %" PRId64
            " block%s read back different from what was written\n",
            total.Mismatches, total.Mismatches == 1 ? "" : "s");
  } else {
    Appendf(&out, "No mismatches%s\n",
            total.Errors > 0 ? " (but some transfers failed)" : "");
  }
  return out;
}

void PrintSummary(int exit_code) { PrintSummary(CollectSummary(exit_code)); }

void PrintSummary(const SummaryFacts& facts) {
  EndStatus();
  const std::string text = SummaryText(facts);
  std::fflush(stdout);
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace vorbex
