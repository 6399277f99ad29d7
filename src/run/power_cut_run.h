#ifndef VORBEX_RUN_POWER_CUT_RUN_H_
#define VORBEX_RUN_POWER_CUT_RUN_H_

// What a run does for power-cut testing, around the start-up check and the
// tests: the journal it keeps and the flushes it records, the check of a
// target against the journal of the run a cut ended, and the cut itself.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "check/power_cut_check.h"
#include "disk/disk_handle.h"
#include "journal/journal_writer.h"
#include "platform/env.h"

namespace vorbex {

// Reads the journal at journal_path and makes sure it is the journal of
// this target and window: the same blocks at the same offset, and stamps
// of its DiskID on block 0 or on blocks it names. Says on standard error
// how far a journal cut short reaches. Returns "" with *check ready, or a
// line that says why the journal cannot be used. REQUIRES: main thread,
// before the start-up check.
std::string PrepareCheckJournal(const std::string& journal_path,
                                const std::string& target_path, bool volume,
                                std::unique_ptr<PowerCutCheck>* check);

// Opens the journal this run is to keep at journal_path, refusing one that
// a cut of the target would take with it: the target itself, or a file on
// the target's device. Warns of one on the same file system as a file
// target. Returns "" with *file open, or a line that says why not.
// REQUIRES: main thread, before anything is written.
std::string OpenRunJournal(const std::string& journal_path,
                           const std::string& target_path, bool volume,
                           std::unique_ptr<platform::AppendFile>* file);

// Starts the journal (file may be null: flushes alone) with the identity
// of the anchor's target, and flushes every flush_every_ms (0: only at the
// end). Makes it the one the write path records into when there is a
// file. The journal is never destroyed: the process ends with it running.
// Throws Error when the target cannot be opened for the flushes.
// REQUIRES: main thread, before the first write it is to record.
// held: the check of this run's start held to an earlier journal, or null;
// the new journal lists what that check found the cut left behind, which
// this run writes anew first, so that a cut before it has is not taken for
// a loss of this run.
journal::Journal* StartRunJournal(TestDisk& anchor,
                                  std::unique_ptr<platform::AppendFile> file,
                                  const std::string& name,
                                  int64_t flush_every_ms, bool volume,
                                  const PowerCutCheck* held = nullptr);

// At a random moment min_s to max_s seconds from now, makes the journal
// durable (journal may be null), says so on standard output, and runs
// command through the shell to cut the power; warns when the process is
// still alive a while after it returned. On a thread of its own, which the
// process's end takes with it. REQUIRES: main thread.
void CutOnCue(double min_s, double max_s, const std::string& command,
              journal::Journal* journal);

}  // namespace vorbex

#endif  // VORBEX_RUN_POWER_CUT_RUN_H_
