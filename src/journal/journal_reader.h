#ifndef VORBEX_JOURNAL_JOURNAL_READER_H_
#define VORBEX_JOURNAL_JOURNAL_READER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "journal/journal_format.h"

namespace vorbex::journal {

// Everything a journal holds that its checksums vouch for, in file order.
struct JournalContents {
  Header header;
  std::vector<WriteRecord> writes;
  std::vector<FlushRecord> flushes;
  std::vector<CutRecord> cuts;
  std::vector<LeftBehindRecord> left_behind;
  // The newest time any record names, ns since the journal began: how far
  // the journal reaches.
  int64_t last_ns = 0;
  // The file ends inside a record, or a record's checksum fails: the tail
  // of a journal cut off with its writer. What follows is not read.
  bool cut_short = false;
  int64_t sound_bytes = 0;  // the header and the whole records before it
  int64_t file_bytes = 0;
};

// Reads the journal at path. Returns "" with contents filled, or a line
// that says why it cannot be used: it cannot be read, is no journal, or a
// record that its checksum vouches for names blocks outside the window or
// a write older than the run.
std::string ReadJournal(const std::string& path, JournalContents* contents);

// For each write record, the index of the first flush that made it
// durable: one that returned without error and was issued after the write
// returned. -1 for a write no such flush covers.
std::vector<int32_t> DurableFlushes(const JournalContents& contents);

}  // namespace vorbex::journal

#endif  // VORBEX_JOURNAL_JOURNAL_READER_H_
