#ifndef VORBEX_RUN_REPORT_TABLE_H_
#define VORBEX_RUN_REPORT_TABLE_H_

// The table of a campaign (--report FILE...): the JSON reports of many
// runs, from many drives and hosts, a row each and a total, so that one
// look says which drive failed.

#include <string>
#include <vector>

namespace vorbex {

struct ReportTable {
  // A row per report that could be read, in the order given, and the
  // total; "" when none could.
  std::string text;
  // A line for each file that is not a JSON report of ours, or of a newer
  // report_version than this program writes.
  std::string complaints;
  // 1 when any run found a mismatch or failed, or any file could not be
  // reported; else 0. A run stopped by an interrupt did neither.
  int exit_code = 0;
};

ReportTable MakeReportTable(const std::vector<std::string>& paths);

// Prints the table on standard output and the complaints on standard
// error; returns the exit code.
int PrintReportTable(const std::vector<std::string>& paths);

}  // namespace vorbex

#endif  // VORBEX_RUN_REPORT_TABLE_H_
