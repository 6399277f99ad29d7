#include "run/power_cut_run.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <random>
#include <thread>
#include <utility>

#include "base/console.h"
#include "base/error.h"
#include "base/flags.h"
#include "base/sleep.h"
#include "base/text.h"
#include "disk/block_format.h"
#include "disk/target_window.h"
#include "journal/journal_reader.h"
#include "platform/error_codes.h"

namespace vorbex {
namespace {

// Blocks that the journal names and that are read to find its stamps when
// block 0 does not carry them: enough that a cut that took some of them
// cannot hide the rest.
constexpr size_t kSampledWrites = 64;

// How long the cut waits for the journal to be durable, and how long the
// process may still live after the command returned before the cut is
// taken to have failed.
constexpr int64_t kJournalSyncMs = 10'000;
constexpr int64_t kCutGraceMs = 10'000;

// Whether the block at bytes is a stamp of disk_id at its own place.
bool StampOf(const uint8_t* bytes, int32_t blk, uint32_t disk_id) {
  const BlockHeader h = LoadHeader(bytes);
  return h.Magic == kMagic && h.DiskID == disk_id && h.Blkno == blk;
}

// Pages of the Env's own kind for a few single-block reads.
class OneBlock {
 public:
  explicit OneBlock(platform::Env* env) : env_(env) {
    uint32_t error = 0;
    bytes_ = static_cast<uint8_t*>(env_->AllocatePages(kBlockSize, &error));
    if (bytes_ == nullptr) throw Error(error);
  }
  ~OneBlock() { env_->FreePages(bytes_, kBlockSize); }
  OneBlock(const OneBlock&) = delete;
  OneBlock& operator=(const OneBlock&) = delete;

  // False when the block cannot be read whole.
  bool Read(platform::Target* target, int32_t blk) {
    uint32_t moved = 0;
    return target->ReadAt(int64_t{blk} * kBlockSize, bytes_, kBlockSize,
                          &moved) == platform::kErrorSuccess &&
           moved == kBlockSize;
  }
  const uint8_t* bytes() const { return bytes_; }

 private:
  platform::Env* const env_;
  uint8_t* bytes_ = nullptr;
};

// "" when the target at path carries the journal's stamps, else why not.
std::string MatchTarget(const journal::JournalContents& contents,
                        const std::string& journal_path,
                        const std::string& target_path, bool volume) {
  platform::Env* env = platform::CurrentEnv();
  std::unique_ptr<platform::Target> target;
  // A target that cannot be opened fails the run as it always has, with
  // its own error.
  if (OpenWindow(env, target_path, volume, true, &target) !=
      platform::kErrorSuccess) {
    return "";
  }
  const journal::Header& h = contents.header;
  int64_t bytes = 0;
  if (target->QuerySize(&bytes) != platform::kErrorSuccess) return "";
  const int32_t blocks = BlocksInBytes(bytes);
  std::string why;
  if (blocks != h.blocks || g_flags.WindowOffset != h.window_offset) {
    Appendf(&why,
            "the journal %s is of another window: %d blocks from byte %" PRId64
            " of its target, where this run has %d blocks from byte %" PRId64
            " (--offset, --size)",
            journal_path.c_str(), static_cast<int>(h.blocks), h.window_offset,
            static_cast<int>(blocks), g_flags.WindowOffset);
    return why;
  }
  OneBlock block(env);
  if (block.Read(target.get(), 0) && StampOf(block.bytes(), 0, h.disk_id)) {
    return "";
  }
  const BlockHeader zero = LoadHeader(block.bytes());
  // A cut may have taken block 0's stamp with it; the blocks of the writes
  // the journal says were made durable, spread over the whole of it, must
  // then show it. When none was, the cut may have taken every stamp of
  // this DiskID, and nothing was promised that the check could miss.
  // A flush covers every write recorded before it, so the durable writes
  // are the journal's first ones.
  size_t durable = 0;
  for (const journal::FlushRecord& f : contents.flushes) {
    if (f.result == 0 && f.covers > 0) {
      durable = std::max(durable, std::min(static_cast<size_t>(f.covers),
                                           contents.writes.size()));
    }
  }
  const size_t samples = std::min(durable, kSampledWrites);
  for (size_t k = 0; k < samples; ++k) {
    const journal::WriteRecord& w = contents.writes[k * durable / samples];
    if (block.Read(target.get(), w.first) &&
        StampOf(block.bytes(), w.first, h.disk_id)) {
      return "";
    }
  }
  if (durable == 0) {
    // Nothing was promised, so nothing can be missed; but a journal of
    // another target would pass here too, and the operator should know.
    PrintErrf(
        "WARNING: no block of the target carries the DiskID %x of the "
        "journal %s; its run made nothing durable, so a cut may have "
        "taken every stamp it wrote. Make sure it is this target's.\n",
        h.disk_id, journal_path.c_str());
    return "";
  }
  Appendf(&why,
          "the journal %s is not of this target: its stamps carry DiskID %x, "
          "but block 0 %s, and no block of the durable writes it records "
          "carries it",
          journal_path.c_str(), h.disk_id,
          zero.Magic == kMagic ? "carries another" : "carries no stamp");
  if (zero.Magic == kMagic) Appendf(&why, " (%x)", zero.DiskID);
  return why;
}

}  // namespace

std::string PrepareCheckJournal(const std::string& journal_path,
                                const std::string& target_path, bool volume,
                                std::unique_ptr<PowerCutCheck>* check) {
  journal::JournalContents contents;
  std::string why = journal::ReadJournal(journal_path, &contents);
  if (!why.empty()) return why;
  why = MatchTarget(contents, journal_path, target_path, volume);
  if (!why.empty()) return why;
  if (contents.cut_short) {
    PrintErrf("WARNING: the journal %s ends in a torn record after %" PRId64
              " of its %" PRId64
              " bytes: it reaches %.3f s into its run, and the check holds "
              "the target to that much.\n",
              journal_path.c_str(), contents.sound_bytes, contents.file_bytes,
              static_cast<double>(contents.last_ns) / 1e9);
  }
  *check = std::make_unique<PowerCutCheck>(std::move(contents), journal_path);
  return "";
}

std::string OpenRunJournal(const std::string& journal_path,
                           const std::string& target_path, bool volume,
                           std::unique_ptr<platform::AppendFile>* file) {
  platform::Placement placement = platform::Placement::kElsewhere;
  // A target that cannot be examined cannot be opened either, and fails
  // the run with its own error.
  if (platform::CurrentEnv()->Place(journal_path, target_path, volume,
                                    &placement) == platform::kErrorSuccess) {
    switch (placement) {
      case platform::Placement::kIsTarget:
        return "--journal " + journal_path + " is the target itself";
      case platform::Placement::kOnTargetDevice:
        return "--journal " + journal_path +
               " lies on the device under test, and a power cut would take "
               "it with the target; keep it on another device or host";
      case platform::Placement::kSameFileSystem:
        PrintErrf(
            "WARNING: the journal %s lies on the file system of the "
            "target: a power cut would take it with the target.\n",
            journal_path.c_str());
        break;
      case platform::Placement::kElsewhere: break;
    }
  }
  const uint32_t rc = platform::CreateAppendFile(journal_path, file);
  if (rc == platform::kErrorSuccess) return "";
  std::string why;
  Appendf(&why, "--journal: cannot create %s (error %d)", journal_path.c_str(),
          static_cast<int>(rc));
  return why;
}

journal::Journal* StartRunJournal(TestDisk& anchor,
                                  std::unique_ptr<platform::AppendFile> file,
                                  const std::string& name,
                                  int64_t flush_every_ms, bool volume,
                                  const PowerCutCheck* held) {
  std::unique_ptr<platform::Target> target;
  const uint32_t rc =
      OpenWindow(anchor.env(), anchor.Path, volume, false, &target);
  if (rc != platform::kErrorSuccess) throw Error(rc);
  const bool has_file = file != nullptr;
  // Never destroyed: the process ends with its threads running.
  auto* journal = new journal::Journal(std::move(file), name, std::move(target),
                                       flush_every_ms);
  journal::Header header;
  header.disk_id = anchor.Table->DiskID;
  header.run_id = g_flags.RunID;
  header.blocks = anchor.BlockCount;
  header.window_offset = g_flags.WindowOffset;
  header.window_bytes = int64_t{anchor.BlockCount} * kBlockSize;
  // No write of this run has taken a WriteSeq yet.
  header.first_write_seq = anchor.Table->WriteSeq;
  header.began_unix_ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(
          std::chrono::system_clock::now().time_since_epoch())
          .count();
  journal->Start(header,
                 held != nullptr ? held->LeftBehind() : std::vector<int32_t>{});
  if (has_file) journal::g_journal = journal;
  return journal;
}

void CutOnCue(double min_s, double max_s, const std::string& command,
              journal::Journal* journal) {
  // Its own generator: the run's draws are the tests', in their order.
  std::mt19937_64 random(static_cast<uint64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count()));
  const double wait_s =
      std::uniform_real_distribution<double>(min_s, max_s)(random);
  std::thread([wait_s, command, journal] {
    SleepMilliseconds(static_cast<uint64_t>(wait_s * 1000));
    if (journal != nullptr && !journal->RecordCutAndSync(kJournalSyncMs)) {
      PrintErrf(
          "WARNING: the journal is not yet durable after %lld s; "
          "cutting the power anyway.\n",
          static_cast<long long>(kJournalSyncMs / 1000));
    }
    std::string line;
    Appendf(&line, "Cut at %s", Now().c_str());
    PrintOutWhileRunning(line);
    int exit_code = 0;
    const uint32_t rc = platform::RunShellCommand(command, &exit_code);
    if (rc != platform::kErrorSuccess) {
      PrintErrf(
          "--cut-command: cannot start \"%s\" (error %d); the run goes "
          "on without a cut.\n",
          command.c_str(), static_cast<int>(rc));
      return;
    }
    SleepMilliseconds(kCutGraceMs);
    PrintErrf(
        "WARNING: --cut-command returned (exit code %d) %lld s ago and "
        "this process still runs: the cut did not happen. The run goes "
        "on to its time limit.\n",
        exit_code, static_cast<long long>(kCutGraceMs / 1000));
  }).detach();
}

}  // namespace vorbex
