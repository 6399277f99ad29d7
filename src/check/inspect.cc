#include "check/inspect.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "disk/disk_handle.h"
#include "disk/target_window.h"
#include "platform/error_codes.h"

namespace vorbex {
namespace {

// Blocks read in one transfer, besides the neighbours on either side.
constexpr int64_t kChunkBlocks = 256;

const uint8_t* BlockIn(const BlockWindow& w, int64_t block) {
  return w.bytes + (block - w.first) * kBlockSize;
}

std::optional<MapDisagreement> CheckEntry(const BlockWindow& w,
                                          const BlockHeader& self,
                                          int64_t place, int j,
                                          uint16_t entry) {
  MapDisagreement d;
  d.entry = j;
  d.block = place - kSelfEntry + j;
  d.map = entry;
  if (d.block < 0 || d.block >= w.blocks) {
    d.outside = true;
    return d;
  }
  d.own = LoadHeader(BlockIn(w, d.block));
  d.stamped = d.own.Magic == kMagic && d.own.DiskID == self.DiskID;
  if (d.stamped && d.own.Seq == entry) return std::nullopt;
  return d;
}

void FormatDisagreement(const MapDisagreement& d, const BlockHeader& self,
                        std::string* out) {
  Appendf(out, "\t\tblock %" PRId64 " (entry %d): map %x, ", d.block, d.entry,
          d.map);
  if (d.outside) {
    Appendf(out, "beyond the target\n");
  } else if (d.own.Magic != kMagic) {
    Appendf(out, "it holds no stamp\n");
  } else if (!d.stamped) {
    Appendf(out, "its stamp has DiskID %x\n", d.own.DiskID);
  } else {
    // A later write of a neighbour leaves this map behind, which is no
    // fault; any other disagreement is what to look into.
    Appendf(out, "its Seq %x, WriteSeq %" PRIx64 "%s\n", d.own.Seq,
            static_cast<uint64_t>(d.own.WriteSeq),
            d.own.WriteSeq > self.WriteSeq ? " (written later)"
                                           : " (not a later write)");
  }
}

void FormatChecksum(const BlockHeader& h, const ChecksumVerdict& checksum,
                    std::string* out) {
  const uint8_t flag = ChecksumFlag(h);
  if (flag == 0) {
    if (checksum.kind == ChecksumVerdict::kBad) {
      Appendf(out, "\tChecksum none, yet bytes 41-47 hold %x %x: damaged\n",
              h.Fill >> 8, h.Reserved);
    } else {
      Appendf(out, "\tChecksum none (a stamp of the older form)\n");
    }
  } else if (checksum.kind == ChecksumVerdict::kGood) {
    Appendf(out, "\tChecksum %x: holds, every byte is as written\n",
            h.Reserved);
  } else {
    Appendf(out,
            "\tChecksum %x, flag %x: computed %x, so the stamp is damaged\n",
            h.Reserved, flag, checksum.computed);
  }
}

}  // namespace

BlockInspection InspectBlock(int64_t place, const BlockWindow& window,
                             std::optional<uint32_t> target_disk_id) {
  BlockInspection in;
  in.place = place;
  in.target_disk_id = target_disk_id;
  const uint8_t* bytes = BlockIn(window, place);
  in.header = LoadHeader(bytes);
  const BlockHeader& h = in.header;
  in.checksum = CheckChecksum(bytes, h);

  // Judged by the stamp's own Blkno and Seq, so a block that landed in the
  // wrong place still shows whether it arrived whole.
  in.fill_due = FillByte(h.Seq, h.Blkno);
  const uint8_t* want = FillPattern(in.fill_due);
  for (int k = 0; k < kFillBytes; ++k) {
    if (bytes[kFillOffset + k] != want[k]) {
      in.fill_offset = kFillOffset + k;
      in.fill_read = bytes[kFillOffset + k];
      in.fill_due = want[k];
      break;
    }
  }
  for (int j = 0; j < kNeighbours; ++j) {
    const uint16_t entry = NeighbourEntry(bytes, j);
    if (entry == 0) continue;  // the writer knew nothing of that block
    if (auto d = CheckEntry(window, h, place, j, entry)) {
      in.disagreements.push_back(*d);
    }
  }
  return in;
}

std::string FormatInspection(const BlockInspection& in) {
  const BlockHeader& h = in.header;
  std::string out;
  Appendf(&out, "Block %" PRId64 ":\n", in.place);
  Appendf(&out, "\tMagic %x: %s\n", h.Magic,
          h.Magic == kMagic ? "a stamp" : "not a stamp; the rest is raw bytes");
  Appendf(&out, "\tDiskID %x", h.DiskID);
  if (!in.target_disk_id) {
    Appendf(&out, ": block 0 holds no stamp to compare with\n");
  } else if (*in.target_disk_id == h.DiskID) {
    Appendf(&out, ": the target's\n");
  } else {
    Appendf(&out, ": foreign, block 0 has %x\n", *in.target_disk_id);
  }
  Appendf(&out, "\tRunID %x\n", h.RunID);
  if (h.Blkno == in.place) {
    Appendf(&out, "\tBlkno %d: its place\n", h.Blkno);
  } else {
    Appendf(&out, "\tBlkno %d: misplaced, this is block %" PRId64 "\n", h.Blkno,
            in.place);
  }
  const bool holds = h.BaseBlk <= h.Blkno && h.Blkno < h.EndBlk;
  Appendf(&out, "\tBaseBlk..EndBlk %d..%d%s\n", h.BaseBlk, h.EndBlk,
          holds ? "" : ": does not hold its Blkno");
  Appendf(&out, "\tWriteSeq %" PRIx64 "\n", static_cast<uint64_t>(h.WriteSeq));
  Appendf(&out, "\tSeq %x\n", h.Seq);
  Appendf(&out, "\tTest %d\n", h.TestCode);
  if ((h.Fill & 0xFFu) != FillByte(h.Seq, h.Blkno)) {
    Appendf(&out, "\tFill byte %x, due %x\n", h.Fill & 0xFFu,
            FillByte(h.Seq, h.Blkno));
  }
  if (in.fill_offset) {
    Appendf(&out, "\tFill differs from offset %d: %02x, due %02x\n",
            *in.fill_offset, in.fill_read, in.fill_due);
  } else {
    Appendf(&out, "\tFill matches\n");
  }
  if (h.Magic == kMagic) FormatChecksum(h, in.checksum, &out);
  if (in.disagreements.empty()) {
    Appendf(&out, "\tMap entries that the neighbours disagree with: none\n");
  } else {
    Appendf(&out, "\tMap entries that the neighbours disagree with:\n");
    for (const MapDisagreement& d : in.disagreements) {
      FormatDisagreement(d, h, &out);
    }
  }
  return out;
}

std::optional<int64_t> ParseBlockArgument(const std::string& text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

namespace {

// Transfer memory from the Env, returned however the inspection ends.
class Pages {
 public:
  Pages(platform::Env* env, size_t bytes) : env_(env), bytes_(bytes) {}
  ~Pages() { env_->FreePages(data_, bytes_); }
  Pages(const Pages&) = delete;
  Pages& operator=(const Pages&) = delete;
  uint32_t Allocate() {
    uint32_t error = platform::kErrorNotEnoughMemory;
    data_ = static_cast<uint8_t*>(env_->AllocatePages(bytes_, &error));
    return data_ != nullptr ? platform::kErrorSuccess : error;
  }
  uint8_t* data() const { return data_; }

 private:
  platform::Env* const env_;
  const size_t bytes_;
  uint8_t* data_ = nullptr;
};

uint32_t ReadBlocks(platform::Target* target, int64_t first, int64_t count,
                    uint8_t* buffer) {
  const auto length = static_cast<uint32_t>(count * kBlockSize);
  uint32_t moved = 0;
  const uint32_t rc =
      target->ReadAt(first * kBlockSize, buffer, length, &moved);
  if (rc != platform::kErrorSuccess) return rc;
  return moved == length ? platform::kErrorSuccess : platform::kErrorBadLength;
}

}  // namespace

InspectOutcome InspectTarget(
    platform::Env* env, const std::string& path, bool volume, int64_t first,
    int64_t count, const std::function<void(const std::string&)>& emit) {
  InspectOutcome outcome;
  std::unique_ptr<platform::Target> target;
  int64_t bytes = 0;
  outcome.error = OpenWindow(env, path, volume, true, &target);
  if (outcome.error == 0) outcome.error = target->QuerySize(&bytes);
  if (outcome.error != 0) return outcome;
  const int64_t blocks = bytes / kBlockSize;
  if (blocks == 0) {
    outcome.complaint = "--inspect: the target holds no whole block";
    return outcome;
  }
  if (count < 1 || first >= blocks || count > blocks - first) {
    outcome.complaint = "--inspect: the target has " + std::to_string(blocks) +
                        " blocks, 0 to " + std::to_string(blocks - 1);
    return outcome;
  }
  Pages pages(env,
              static_cast<size_t>(kChunkBlocks + kNeighbours) * kBlockSize);
  if ((outcome.error = pages.Allocate()) != 0) return outcome;

  std::optional<uint32_t> disk_id;
  if ((outcome.error = ReadBlocks(target.get(), 0, 1, pages.data())) != 0) {
    return outcome;
  }
  const BlockHeader zero = LoadHeader(pages.data());
  if (zero.Magic == kMagic) disk_id = zero.DiskID;

  for (int64_t c = first; c < first + count; c += kChunkBlocks) {
    const int64_t end = std::min(c + kChunkBlocks, first + count);
    BlockWindow w;
    w.bytes = pages.data();
    w.first = std::max<int64_t>(0, c - kSelfEntry);
    w.count = std::min(blocks, end + kNeighbours - kSelfEntry) - w.first;
    w.blocks = blocks;
    outcome.error = ReadBlocks(target.get(), w.first, w.count, pages.data());
    if (outcome.error != 0) return outcome;
    for (int64_t b = c; b < end; ++b) {
      emit(FormatInspection(InspectBlock(b, w, disk_id)));
    }
  }
  return outcome;
}

}  // namespace vorbex
