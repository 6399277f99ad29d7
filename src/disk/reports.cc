#include "disk/reports.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "base/text.h"

namespace vorbex {
namespace {

uint32_t Bits(int32_t v) { return static_cast<uint32_t>(v); }

}  // namespace

std::string HeaderReport(const char* time, const std::string& path,
                         int32_t block, int32_t test_code,
                         const BlockHeader& read, const BlockHeader& expected,
                         int32_t first, int32_t count, uint32_t run_id,
                         const ChecksumVerdict& checksum,
                         const std::string& also) {
  std::string out;
  Appendf(&out, "%s", time);
  Appendf(&out, "%s: Block %d:\n", path.c_str(), block);
  Appendf(&out, "\tTest %d: start %d, len %d\n", test_code, first, count);
  out += also;
  if (checksum.kind == ChecksumVerdict::kBad) {
    const uint8_t flag = ChecksumFlag(read);
    if (flag == 0) {
      Appendf(&out, "\tNo checksum, yet bytes 41-47 hold %x %x, expected 0\n",
              read.Fill >> 8, read.Reserved);
    } else if (flag == kChecksumFlag) {
      Appendf(&out, "\tContents do not match their checksum %x, computed %x\n",
              read.Reserved, checksum.computed);
    } else {
      Appendf(&out,
              "\tChecksum flag %x, expected 1; checksum %x, computed %x\n",
              flag, read.Reserved, checksum.computed);
    }
  }
  if (read.Magic != expected.Magic) {
    Appendf(&out, "\tMagic %x, expected %x\n", read.Magic, expected.Magic);
  }
  if (read.DiskID != expected.DiskID) {
    Appendf(&out, "\tDiskID %x, expected %x\n", read.DiskID, expected.DiskID);
  }
  if (read.Blkno != expected.Blkno) {
    Appendf(&out, "\tBlkno %x, expected %x\n", Bits(read.Blkno),
            Bits(expected.Blkno));
  }
  if (read.BaseBlk != expected.BaseBlk) {
    Appendf(&out, "\tBaseBlk %x, invalid\n", Bits(read.BaseBlk));
  }
  if (read.EndBlk != expected.EndBlk) {
    Appendf(&out, "\tEndBlk %x, invalid\n", Bits(read.EndBlk));
  }
  const bool run_id_line = read.RunID != expected.RunID;
  if (run_id_line) {
    Appendf(&out, "\tRunID %x, expected %x\n", read.RunID, expected.RunID);
  }
  if (read.WriteSeq != expected.WriteSeq) {
    Appendf(&out, "\tWriteSeq %" PRIx64 ", expected %" PRIx64 "\n",
            static_cast<uint64_t>(read.WriteSeq),
            static_cast<uint64_t>(expected.WriteSeq));
  }
  if (read.Seq != expected.Seq) {
    Appendf(&out, "\tSeq %x, expected %x\n", read.Seq, expected.Seq);
  }
  if ((read.Fill & 0xFF) != (expected.Fill & 0xFF)) {
    Appendf(&out, "\tFill %x, expected %x\n", read.Fill & 0xFF,
            expected.Fill & 0xFF);
  }
  const bool earlier = !run_id_line && read.RunID != run_id;
  Appendf(&out, "\tWritten%s by test %d\n\n",
          earlier ? " during an earlier run" : "", read.TestCode);
  return out;
}

std::string FillReport(const std::string& path, int32_t block,
                       const uint8_t* bytes, int32_t offset, uint8_t expected,
                       const std::string& also) {
  std::string out;
  Appendf(&out, "%s: Block %d: Offset %d\n", path.c_str(), block, offset);
  out += also;
  Appendf(&out, "\tFill %x, Data ", expected);
  const int32_t end = std::min(offset + 16, 512);
  for (int32_t i = offset; i < end; ++i) Appendf(&out, "%02x", bytes[i]);
  out += "\n\n";
  return out;
}

}  // namespace vorbex
