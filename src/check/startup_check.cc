#include "check/startup_check.h"

#include <cstdio>
#include <string>
#include <vector>

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

// Writes each block of left (in order) anew, in runs of neighbours. Block
// 0 has just been.
void RewriteLeftBehind(const std::string& path,
                       const std::vector<int32_t>& left) {
  constexpr int32_t kMostBlocks = 2048;  // no longer than a test's write
  TestDisk disk;
  disk.Open(path, 0, kMostBlocks);
  try {
    size_t i = 0;
    while (i < left.size()) {
      int32_t n = 1;
      while (i + static_cast<size_t>(n) < left.size() && n < kMostBlocks &&
             left[i + static_cast<size_t>(n)] == left[i] + n) {
        ++n;
      }
      if (left[i] != 0) {
        disk.WriteRange(left[i], n);
      } else if (n > 1) {
        disk.WriteRange(1, n - 1);
      }
      i += static_cast<size_t>(n);
    }
  } catch (...) {
    disk.Close();
    throw;
  }
  disk.Close();
  PrintErrf("Rewrote %lld blocks that the cut left behind.\n",
            static_cast<long long>(left.size()));
}

}  // namespace

std::unique_ptr<TestDisk> StartupCheck(const std::string& path,
                                       const StartupExtras& extras) {
  std::unique_ptr<TestDisk> anchor;
  bool finished = false;
  if (g_flags.resume != 0 || g_flags.check != 0) {
    TestDisk disk;
    disk.Open(path, 0, kScanBufferBlocks);
    PrintOutf("Check (%s): Start on %s", disk.Path.c_str(), Now().c_str());
    try {
      Scanner(disk, 0, extras.power_cut).Run();
      // An interrupt that ended the run during the scan has already cut
      // the check short, whatever the scan still went on to read.
      std::string end;
      Appendf(&end, "Check (%s): End on %s", disk.Path.c_str(),
              Now().c_str());
      PrintOutWhileRunning(end);
      NoteCheckOutcome(CheckOutcome::kFinished);
      if (extras.power_cut != nullptr) {
        PublishPowerCutFacts(extras.power_cut->Facts());
      }
      // While the check's disk is still open, so that the anchor takes
      // over the table the check rebuilt.
      anchor = OpenAnchor(path);
      finished = true;
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
      if (extras.before_writes) extras.before_writes(*anchor);
      anchor->WriteRange(0, 1);
      if (finished && extras.power_cut != nullptr) {
        const std::vector<int32_t> left = extras.power_cut->LeftBehind();
        if (!left.empty()) RewriteLeftBehind(path, left);
      }
    } catch (...) {
      anchor->Close();
      throw;
    }
  }
  return anchor;
}

}  // namespace vorbex
