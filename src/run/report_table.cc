#include "run/report_table.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <system_error>

#include "base/text.h"
#include "run/json_report.h"
#include "run/metrics_file.h"
#include "run/status_line.h"

namespace vorbex {
namespace {

using Json = nlohmann::json;

struct Column {
  const char* title;
  bool right;  // numbers line up on the right
};
constexpr Column kColumns[] = {
    {"Host", false},   {"Target", false},  {"Window", false},
    {"Level", true},   {"Time", true},     {"Bytes", true},
    {"Written", true}, {"Verified", true}, {"Mismatches", true},
    {"Stalls", true},  {"Exit", true},     {"Verdict", false}};
constexpr size_t kColumnCount = std::size(kColumns);

enum class Verdict { kPassed, kStopped, kFailed, kMismatch };
constexpr const char* kVerdictNames[] = {"passed", "stopped", "FAILED",
                                         "MISMATCH"};

// One report, as its row shows it.
struct RunRow {
  std::vector<std::string> cells;  // one per column
  int64_t bytes = 0;
  int64_t mismatches = 0;
  int64_t stalls = 0;
  Verdict verdict = Verdict::kPassed;
};

// A mismatch outweighs everything. A failure is any other way the run did
// not do what it was asked: the exit code of errstop, an Error line, a
// check or a format that failed, a transfer that failed. An interrupt is
// how a run without a time limit ends, and no failure by itself.
Verdict VerdictOf(const Json& doc) {
  const Json& total = doc.at("total");
  if (doc.at("mismatches").at("count").get<int64_t>() > 0 ||
      total.at("mismatches").get<int64_t>() > 0) {
    return Verdict::kMismatch;
  }
  const int exit_code = doc.at("exit_code").get<int>();
  const auto reason = doc.at("end").at("reason").get<std::string>();
  const bool interrupted = reason == "interrupt";
  const Json& check = doc.at("check");
  const bool failed =
      (exit_code != 0 && !interrupted) || reason == "error" ||
      reason == "format-failed" ||
      (!check.is_null() && check.get<std::string>() == "failed") ||
      total.at("errors").get<int64_t>() > 0;
  if (failed) return Verdict::kFailed;
  return interrupted ? Verdict::kStopped : Verdict::kPassed;
}

// A path or a host name may hold anything; a control character would
// break the table's lines.
std::string Printable(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return text;
}

std::string Percent(const Json& share) {
  std::string out;
  Appendf(&out, "%.1f%%", 100 * share.get<double>());
  return out;
}

// A check runs no test and a format one pass, whatever the level says.
std::string LevelCell(const Json& doc) {
  const Json& options = doc.at("options");
  if (options.at("check").get<bool>()) return "check";
  if (options.at("format").get<bool>()) return "format";
  return std::to_string(doc.at("level").get<int64_t>());
}

// Throws nlohmann::json::exception when doc lacks a field the table needs
// or has one of another type: it is not a report of ours.
RunRow RowOf(const Json& doc) {
  doc.at("version").get<std::string>();
  doc.at("command_line").get<std::vector<std::string>>();
  const Json& target = doc.at("target");
  const Json& window = target.at("window");
  const Json& total = doc.at("total");
  const Json& coverage = doc.at("coverage");
  const Json host = doc.value("host", Json());
  RunRow row;
  row.bytes = total.at("bytes_read").get<int64_t>() +
              total.at("bytes_written").get<int64_t>();
  row.mismatches = doc.at("mismatches").at("count").get<int64_t>();
  // Reports made before transfers were timed have no stalls.
  row.stalls = total.value("stalls", int64_t{0});
  row.verdict = VerdictOf(doc);
  row.cells = {
      host.is_null() ? "-" : Printable(host.get<std::string>()),
      Printable(target.at("argument").get<std::string>()),
      window.is_null() ? "whole"
                       : WindowLabel(true, window.at("offset").get<int64_t>(),
                                     window.at("bytes").get<int64_t>()),
      LevelCell(doc),
      ClockText(doc.at("seconds").get<double>()),
      ByteText(static_cast<double>(row.bytes)),
      coverage.is_null() ? "-" : Percent(coverage.at("written_share")),
      coverage.is_null() ? "-" : Percent(coverage.at("verified_share")),
      std::to_string(row.mismatches),
      std::to_string(row.stalls),
      std::to_string(doc.at("exit_code").get<int>()),
      kVerdictNames[static_cast<int>(row.verdict)]};
  return row;
}

// The row of the report at path, or nothing, with the complaint in *why.
std::optional<RunRow> ReadRow(const std::string& path, std::string* why) {
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    const int error = errno;
    *why =
        "--report: cannot read " + path + ": " +
        (error != 0 ? std::error_code(error, std::generic_category()).message()
                    : "it cannot be opened");
    return std::nullopt;
  }
  const Json doc = Json::parse(in, nullptr, false);
  const Json* version = doc.is_object() && doc.contains("report_version")
                            ? &doc["report_version"]
                            : nullptr;
  if (version != nullptr && version->is_number_integer() &&
      version->get<int64_t>() > kJsonReportVersion) {
    *why = "--report: " + path + " is of report_version " +
           std::to_string(version->get<int64_t>()) +
           ", newer than this Vorbex reads (" +
           std::to_string(kJsonReportVersion) + ")";
    return std::nullopt;
  }
  if (version != nullptr && version->is_number_integer()) {
    try {
      return RowOf(doc);
    } catch (const Json::exception&) {
      // Below: not ours.
    }
  }
  *why = "--report: " + path + " is not a Vorbex JSON report";
  return std::nullopt;
}

// The total: how many runs, what they moved and found, and how many of
// each verdict ("2 passed, 1 MISMATCH").
std::vector<std::string> TotalCells(const std::vector<RunRow>& rows) {
  int64_t bytes = 0;
  int64_t mismatches = 0;
  int64_t stalls = 0;
  int verdicts[std::size(kVerdictNames)] = {};
  for (const RunRow& r : rows) {
    bytes += r.bytes;
    mismatches += r.mismatches;
    stalls += r.stalls;
    ++verdicts[static_cast<int>(r.verdict)];
  }
  std::string tally;
  for (size_t v = std::size(kVerdictNames); v-- > 0;) {
    if (verdicts[v] == 0) continue;
    if (!tally.empty()) tally += ", ";
    tally += std::to_string(verdicts[v]) + " " + kVerdictNames[v];
  }
  // The columns the total fills, by their place in kColumns.
  std::vector<std::string> cells(kColumnCount);
  cells[0] = "Total";
  cells[1] =
      std::to_string(rows.size()) + (rows.size() == 1 ? " run" : " runs");
  cells[5] = ByteText(static_cast<double>(bytes));
  cells[8] = std::to_string(mismatches);
  cells[9] = std::to_string(stalls);
  cells[11] = tally;
  return cells;
}

// Characters, not bytes, so that a name in UTF-8 keeps the columns.
size_t Width(const std::string& text) {
  return static_cast<size_t>(std::count_if(
      text.begin(), text.end(),
      [](char c) { return (static_cast<unsigned char>(c) & 0xc0) != 0x80; }));
}

std::string Layout(const std::vector<std::vector<std::string>>& lines) {
  size_t widths[kColumnCount] = {};
  for (const std::vector<std::string>& cells : lines) {
    for (size_t c = 0; c < kColumnCount; ++c) {
      widths[c] = std::max(widths[c], Width(cells[c]));
    }
  }
  std::string out;
  for (const std::vector<std::string>& cells : lines) {
    std::string line;
    for (size_t c = 0; c < kColumnCount; ++c) {
      const std::string pad(widths[c] - Width(cells[c]), ' ');
      if (c > 0) line += "  ";
      line += kColumns[c].right ? pad + cells[c] : cells[c] + pad;
    }
    line.erase(line.find_last_not_of(' ') + 1);
    out += line + "\n";
  }
  return out;
}

}  // namespace

ReportTable MakeReportTable(const std::vector<std::string>& paths) {
  ReportTable table;
  std::vector<RunRow> rows;
  for (const std::string& path : paths) {
    std::string why;
    if (std::optional<RunRow> row = ReadRow(path, &why)) {
      rows.push_back(std::move(*row));
    } else {
      table.complaints += why + "\n";
      table.exit_code = 1;
    }
  }
  if (rows.empty()) return table;
  std::vector<std::vector<std::string>> lines;
  std::vector<std::string> titles;
  for (const Column& c : kColumns) titles.emplace_back(c.title);
  lines.push_back(std::move(titles));
  for (const RunRow& r : rows) {
    lines.push_back(r.cells);
    if (r.verdict == Verdict::kFailed || r.verdict == Verdict::kMismatch) {
      table.exit_code = 1;
    }
  }
  lines.push_back(TotalCells(rows));
  table.text = Layout(lines);
  return table;
}

int PrintReportTable(const std::vector<std::string>& paths) {
  const ReportTable table = MakeReportTable(paths);
  std::fputs(table.text.c_str(), stdout);
  std::fflush(stdout);
  std::fputs(table.complaints.c_str(), stderr);
  return table.exit_code;
}

}  // namespace vorbex
