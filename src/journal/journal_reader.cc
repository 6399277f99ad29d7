#include "journal/journal_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "base/text.h"

namespace vorbex::journal {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// Why a sound record cannot belong to the journal's run, or "".
std::string Implausible(const WriteRecord& w, const Header& h) {
  std::string why;
  if (w.count < 1 || w.first < 0 || int64_t{w.first} + w.count > h.blocks) {
    Appendf(&why, "a write of blocks %d + %d outside the %d blocks it names",
            static_cast<int>(w.first), static_cast<int>(w.count),
            static_cast<int>(h.blocks));
  } else if (w.write_seq < h.first_write_seq) {
    Appendf(&why, "a write older than its run");
  }
  return why;
}

}  // namespace

std::string ReadJournal(const std::string& path, JournalContents* contents) {
  *contents = JournalContents{};
  const std::unique_ptr<std::FILE, FileCloser> file(
      std::fopen(path.c_str(), "rb"));
  if (file == nullptr) {
    return "cannot read the journal " + path + ": " + std::strerror(errno);
  }
  // Records are read in large pieces, and a piece's unread tail moves to
  // the front of the next.
  constexpr size_t kPiece = size_t{1} << 20;
  std::vector<uint8_t> buffer(kPiece + kLargestRecord);
  size_t held = std::fread(buffer.data(), 1, kHeaderBytes, file.get());
  contents->file_bytes = static_cast<int64_t>(held);
  if (held < kHeaderBytes) {
    if (std::ferror(file.get()) != 0) {
      return "cannot read the journal " + path + ": " + std::strerror(errno);
    }
    return path + " is not a journal: it is too short for a header";
  }
  const std::optional<Header> header = DecodeHeader(buffer.data());
  if (!header) return path + " is not a journal of this program's";
  contents->header = *header;
  contents->sound_bytes = kHeaderBytes;
  // Nearly all of a journal is write records: room for them at once, rather
  // than copies of a growing list.
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  if (!ec && size > kHeaderBytes) {
    contents->writes.reserve((size - kHeaderBytes) / kWriteBytes);
  }

  held = 0;
  bool ended = false;
  while (!ended) {
    const size_t got = std::fread(buffer.data() + held, 1, kPiece, file.get());
    if (std::ferror(file.get()) != 0) {
      return "cannot read the journal " + path + ": " + std::strerror(errno);
    }
    contents->file_bytes += static_cast<int64_t>(got);
    held += got;
    const bool at_end = got == 0;
    size_t at = 0;
    while (at < held) {
      const Decoded d = DecodeRecord(buffer.data() + at, held - at);
      if (d.outcome == Decoded::kShort && !at_end) break;
      if (d.outcome != Decoded::kRecord) {
        contents->cut_short = true;
        ended = true;
        break;
      }
      switch (d.kind) {
        case RecordKind::kWrite: {
          const std::string why = Implausible(d.write, *header);
          if (!why.empty()) {
            return path + " cannot be used: it records " + why;
          }
          contents->writes.push_back(d.write);
          contents->last_ns = std::max(contents->last_ns, d.write.returned_ns);
          break;
        }
        case RecordKind::kFlush:
          contents->flushes.push_back(d.flush);
          contents->last_ns = std::max(contents->last_ns, d.flush.returned_ns);
          break;
        case RecordKind::kCut:
          contents->cuts.push_back(d.cut);
          contents->last_ns = std::max(contents->last_ns, d.cut.at_ns);
          break;
        case RecordKind::kLeftBehind: {
          const LeftBehindRecord& l = d.left;
          if (l.count < 1 || l.first < 0 ||
              int64_t{l.first} + l.count > header->blocks) {
            return path +
                   " cannot be used: it records blocks left behind "
                   "outside the ones it names";
          }
          contents->left_behind.push_back(l);
          break;
        }
      }
      at += d.size;
      contents->sound_bytes += static_cast<int64_t>(d.size);
    }
    if (at_end) break;
    std::memmove(buffer.data(), buffer.data() + at, held - at);
    held -= at;
  }
  return "";
}

std::vector<int32_t> DurableFlushes(const JournalContents& contents) {
  std::vector<int32_t> flush_of(contents.writes.size(), -1);
  size_t covered = 0;
  for (size_t f = 0; f < contents.flushes.size(); ++f) {
    const FlushRecord& flush = contents.flushes[f];
    if (flush.result != 0 || flush.covers <= 0) continue;
    const size_t covers =
        std::min(static_cast<size_t>(flush.covers), contents.writes.size());
    for (; covered < covers; ++covered) {
      flush_of[covered] = static_cast<int32_t>(f);
    }
  }
  return flush_of;
}

}  // namespace vorbex::journal
