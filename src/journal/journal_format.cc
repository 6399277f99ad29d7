#include "journal/journal_format.h"

#include <cstring>

#include "base/crc32c.h"

namespace vorbex::journal {
namespace {

void Put(uint8_t* out, size_t at, uint64_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) {
    out[at + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

uint64_t Get(const uint8_t* in, size_t at, size_t bytes) {
  uint64_t value = 0;
  for (size_t i = 0; i < bytes; ++i) {
    value |= uint64_t{in[at + i]} << (8 * i);
  }
  return value;
}

int64_t Get64(const uint8_t* in, size_t at) {
  return static_cast<int64_t>(Get(in, at, 8));
}

size_t SizeOf(uint8_t kind) {
  switch (static_cast<RecordKind>(kind)) {
    case RecordKind::kWrite: return kWriteBytes;
    case RecordKind::kFlush: return kFlushBytes;
    case RecordKind::kCut: return kCutBytes;
    case RecordKind::kLeftBehind: return kLeftBehindBytes;
  }
  return 0;
}

// Zeroes the record, sets its kind, and returns its size.
size_t Begin(RecordKind kind, uint8_t* out) {
  const size_t size = SizeOf(static_cast<uint8_t>(kind));
  std::memset(out, 0, size);
  out[0] = static_cast<uint8_t>(kind);
  return size;
}

size_t Seal(uint8_t* out, size_t size) {
  Put(out, 4, Crc32c(out, size), 4);
  return size;
}

}  // namespace

size_t EncodeHeader(const Header& h, uint8_t* out) {
  std::memset(out, 0, kHeaderBytes);
  std::memcpy(out, kMagic, sizeof kMagic);
  Put(out, 8, kVersion, 4);
  Put(out, 12, h.disk_id, 4);
  Put(out, 16, h.run_id, 4);
  Put(out, 20, static_cast<uint32_t>(h.blocks), 4);
  Put(out, 24, static_cast<uint64_t>(h.window_offset), 8);
  Put(out, 32, static_cast<uint64_t>(h.window_bytes), 8);
  Put(out, 40, static_cast<uint64_t>(h.first_write_seq), 8);
  Put(out, 48, static_cast<uint64_t>(h.began_unix_ns), 8);
  Put(out, 60, Crc32c(out, 60), 4);
  return kHeaderBytes;
}

size_t EncodeWrite(const WriteRecord& r, uint8_t* out) {
  const size_t size = Begin(RecordKind::kWrite, out);
  Put(out, 8, static_cast<uint64_t>(r.write_seq), 8);
  Put(out, 16, static_cast<uint32_t>(r.first), 4);
  Put(out, 20, static_cast<uint32_t>(r.count), 4);
  Put(out, 24, static_cast<uint64_t>(r.returned_ns), 8);
  return Seal(out, size);
}

size_t EncodeFlush(const FlushRecord& r, uint8_t* out) {
  const size_t size = Begin(RecordKind::kFlush, out);
  Put(out, 8, r.result, 4);
  Put(out, 16, static_cast<uint64_t>(r.covers), 8);
  Put(out, 24, static_cast<uint64_t>(r.issued_ns), 8);
  Put(out, 32, static_cast<uint64_t>(r.returned_ns), 8);
  return Seal(out, size);
}

size_t EncodeCut(const CutRecord& r, uint8_t* out) {
  const size_t size = Begin(RecordKind::kCut, out);
  Put(out, 8, static_cast<uint64_t>(r.at_ns), 8);
  return Seal(out, size);
}

size_t EncodeLeftBehind(const LeftBehindRecord& r, uint8_t* out) {
  const size_t size = Begin(RecordKind::kLeftBehind, out);
  Put(out, 8, static_cast<uint32_t>(r.first), 4);
  Put(out, 12, static_cast<uint32_t>(r.count), 4);
  return Seal(out, size);
}

std::optional<Header> DecodeHeader(const uint8_t* bytes) {
  if (std::memcmp(bytes, kMagic, sizeof kMagic) != 0 ||
      Get(bytes, 8, 4) != kVersion || Get(bytes, 60, 4) != Crc32c(bytes, 60)) {
    return std::nullopt;
  }
  Header h;
  h.disk_id = static_cast<uint32_t>(Get(bytes, 12, 4));
  h.run_id = static_cast<uint32_t>(Get(bytes, 16, 4));
  h.blocks = static_cast<int32_t>(Get(bytes, 20, 4));
  h.window_offset = Get64(bytes, 24);
  h.window_bytes = Get64(bytes, 32);
  h.first_write_seq = Get64(bytes, 40);
  h.began_unix_ns = Get64(bytes, 48);
  return h;
}

Decoded DecodeRecord(const uint8_t* bytes, size_t available) {
  Decoded d;
  if (available == 0) {
    d.outcome = Decoded::kShort;
    return d;
  }
  d.size = SizeOf(bytes[0]);
  if (d.size == 0) return d;
  if (available < d.size) {
    d.outcome = Decoded::kShort;
    return d;
  }
  uint8_t copy[kLargestRecord];
  std::memcpy(copy, bytes, d.size);
  std::memset(copy + 4, 0, 4);
  if (bytes[1] != 0 || bytes[2] != 0 || bytes[3] != 0 ||
      Get(bytes, 4, 4) != Crc32c(copy, d.size)) {
    return d;
  }
  d.outcome = Decoded::kRecord;
  d.kind = static_cast<RecordKind>(bytes[0]);
  switch (d.kind) {
    case RecordKind::kWrite:
      d.write.write_seq = Get64(bytes, 8);
      d.write.first = static_cast<int32_t>(Get(bytes, 16, 4));
      d.write.count = static_cast<int32_t>(Get(bytes, 20, 4));
      d.write.returned_ns = Get64(bytes, 24);
      break;
    case RecordKind::kFlush:
      d.flush.result = static_cast<uint32_t>(Get(bytes, 8, 4));
      d.flush.covers = Get64(bytes, 16);
      d.flush.issued_ns = Get64(bytes, 24);
      d.flush.returned_ns = Get64(bytes, 32);
      break;
    case RecordKind::kCut: d.cut.at_ns = Get64(bytes, 8); break;
    case RecordKind::kLeftBehind:
      d.left.first = static_cast<int32_t>(Get(bytes, 8, 4));
      d.left.count = static_cast<int32_t>(Get(bytes, 12, 4));
      break;
  }
  return d;
}

}  // namespace vorbex::journal
