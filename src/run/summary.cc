#include "run/summary.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>

#include "base/console.h"
#include "base/text.h"
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

}  // namespace

void AddTo(SummaryRow* total, const SummaryRow& r) {
  total->Transfers += r.Transfers;
  total->BytesRead += r.BytesRead;
  total->BytesWritten += r.BytesWritten;
  total->BlocksVerified += r.BlocksVerified;
  total->Mismatches += r.Mismatches;
  total->Errors += r.Errors;
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
  const TargetWindow window = RunWindow();
  facts.Windowed = window.Windowed;
  facts.WindowOffset = window.Offset;
  facts.WindowBytes = window.Bytes;
  return facts;
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
