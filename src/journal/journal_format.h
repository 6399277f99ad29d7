#ifndef VORBEX_JOURNAL_JOURNAL_FORMAT_H_
#define VORBEX_JOURNAL_JOURNAL_FORMAT_H_

// The bytes of a power-cut journal. A journal is what a run knew about the
// writes it made and the flushes that followed them, written as it went,
// so that a check after a power cut can tell a write the drive promised to
// keep from one it was allowed to lose. Its reader trusts a record only when
// the record's checksum holds, so a tail torn by the same cut is a shorter
// journal, never a false one.
//
// Little-endian throughout. A 64-byte header, then records of 32 or 48
// bytes, each known by its first byte.
//
// Header:
//   0  8  "VBXJRNL1"
//   8  4  version (1)
//  12  4  DiskID of the target's stamps
//  16  4  RunID of the run
//  20  4  the window's blocks
//  24  8  the window's offset in the target, bytes
//  32  8  the window's bytes
//  40  8  the run's first WriteSeq: every write of the run carries one at
//         least this large
//  48  8  when the journal began, nanoseconds since 1970 (UTC)
//  56  4  0
//  60  4  CRC-32C of bytes 0 ... 59
//
// Every record: byte 0 its kind, bytes 1 ... 3 zero, bytes 4 ... 7 the
// CRC-32C of the whole record taken with these four bytes zero.
//
// Write (kind 1, 32 bytes): a write whose transfer returned.
//   8  8  WriteSeq
//  16  4  first block
//  20  4  blocks
//  24  8  when the transfer returned, ns since the journal began
//
// Flush (kind 2, 48 bytes): a cache flush of the target that returned.
//   8  4  its result: 0, or the error it failed with
//  12  4  0
//  16  8  the writes it covers: the write records before this count of
//         them, all of which returned before the flush was issued
//  24  8  when it was issued, ns since the journal began
//  32  8  when it returned
//  40  8  0
//
// Cut (kind 3, 32 bytes): the run cut the power itself (--cut-command).
//   8  8  when the command was started, ns since the journal began
//  16 16  0
//
// Left behind (kind 4, 32 bytes): blocks an earlier cut left inconsistent,
// which this run is about to write anew; they come right after the
// header. A later check allows them whatever they hold until a durable
// write of this run covers them.
//   8  4  first block
//  12  4  blocks
//  16 16  0

#include <cstddef>
#include <cstdint>
#include <optional>

namespace vorbex::journal {

inline constexpr char kMagic[8] = {'V', 'B', 'X', 'J', 'R', 'N', 'L', '1'};
inline constexpr uint32_t kVersion = 1;
inline constexpr size_t kHeaderBytes = 64;

enum class RecordKind : uint8_t {
  kWrite = 1,
  kFlush = 2,
  kCut = 3,
  kLeftBehind = 4,
};
inline constexpr size_t kWriteBytes = 32;
inline constexpr size_t kFlushBytes = 48;
inline constexpr size_t kCutBytes = 32;
inline constexpr size_t kLeftBehindBytes = 32;
inline constexpr size_t kLargestRecord = kFlushBytes;

struct Header {
  uint32_t disk_id = 0;
  uint32_t run_id = 0;
  int32_t blocks = 0;
  int64_t window_offset = 0;
  int64_t window_bytes = 0;
  int64_t first_write_seq = 0;
  int64_t began_unix_ns = 0;
};

struct WriteRecord {
  int64_t write_seq = 0;
  int32_t first = 0;
  int32_t count = 0;
  int64_t returned_ns = 0;
};

struct FlushRecord {
  uint32_t result = 0;
  int64_t covers = 0;
  int64_t issued_ns = 0;
  int64_t returned_ns = 0;
};

struct CutRecord {
  int64_t at_ns = 0;
};

struct LeftBehindRecord {
  int32_t first = 0;
  int32_t count = 0;
};

// Each writes the record's bytes to out, which holds at least its size, and
// returns the size.
size_t EncodeHeader(const Header& h, uint8_t* out);
size_t EncodeWrite(const WriteRecord& r, uint8_t* out);
size_t EncodeFlush(const FlushRecord& r, uint8_t* out);
size_t EncodeCut(const CutRecord& r, uint8_t* out);
size_t EncodeLeftBehind(const LeftBehindRecord& r, uint8_t* out);

// The header at bytes (kHeaderBytes of them), or nothing when its magic,
// version or checksum is wrong.
std::optional<Header> DecodeHeader(const uint8_t* bytes);

// What one record at the front of bytes holds.
struct Decoded {
  enum Outcome {
    kRecord,  // a whole record whose checksum holds
    kShort,   // fewer bytes than its kind needs: the tail of a cut journal
    kBad,     // an unknown kind or a checksum that fails
  };
  Outcome outcome = kBad;
  RecordKind kind = RecordKind::kWrite;
  size_t size = 0;
  WriteRecord write;
  FlushRecord flush;
  CutRecord cut;
  LeftBehindRecord left;
};
Decoded DecodeRecord(const uint8_t* bytes, size_t available);

}  // namespace vorbex::journal

#endif  // VORBEX_JOURNAL_JOURNAL_FORMAT_H_
