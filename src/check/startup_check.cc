#include "check/startup_check.h"

#include <cstdio>
#include <string>

#include "base/console.h"
#include "base/flags.h"
#include "base/process_end.h"
#include "base/run_outcome.h"
#include "base/text.h"
#include "check/scanner.h"

namespace vorbex {
namespace {

std::unique_ptr<TestDisk> OpenAnchor(const std::string& path) {
  auto anchor = std::make_unique<TestDisk>();
  anchor->Open(path, 0, 1);
  return anchor;
}

}  // namespace

std::unique_ptr<TestDisk> StartupCheck(const std::string& path) {
  std::unique_ptr<TestDisk> anchor;
  if (g_flags.resume != 0 || g_flags.check != 0) {
    TestDisk disk;
    disk.Open(path, 0, kScanBufferBlocks);
    PrintOutf("Check (%s): Start on %s", disk.Path.c_str(), Now().c_str());
    try {
      Scanner(disk).Run();
      // An interrupt that ended the run during the scan has already cut
      // the check short, whatever the scan still went on to read.
      std::string end;
      Appendf(&end, "Check (%s): End on %s", disk.Path.c_str(),
              Now().c_str());
      PrintOutWhileRunning(end);
      NoteCheckOutcome(CheckOutcome::kFinished);
      // While the check's disk is still open, so that the anchor takes
      // over the table the check rebuilt.
      anchor = OpenAnchor(path);
    } catch (...) {
      // Whatever went wrong, nothing the scan learned may be trusted.
      PrintOutf("Check (%s): Failed at %s", disk.Path.c_str(),
                Now().c_str());
      NoteCheckOutcome(CheckOutcome::kFailed);
      if (g_flags.errstop != 0) EndProcess(1);
    }
    disk.Close();
  }
  // After a failed check the table went with the check's disk, and this
  // makes a fresh one.
  if (anchor == nullptr) anchor = OpenAnchor(path);

  if (g_flags.check == 0) {
    // Block 0 always carries a current stamp, whose DiskID the next resume
    // adopts.
    try {
      anchor->WriteRange(0, 1);
    } catch (...) {
      anchor->Close();
      throw;
    }
  }
  return anchor;
}

}  // namespace vorbex
