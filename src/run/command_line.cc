#include "run/command_line.h"

#include <cctype>
#include <limits>

namespace vorbex {
namespace {

bool IsOption(const char* arg) {
  if (arg[0] != '-' || arg[1] == '\0') return false;
  const int letter = std::toupper(static_cast<unsigned char>(arg[1]));
  return letter == 'R' || letter == 'E' || letter == 'F' || letter == 'C';
}

bool IsSpace(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// One "%u" conversion at *pos: optional white space and sign, then at least
// one digit. A minus negates modulo 2^32, as the conversion does; a value
// past 32 bits stops at the largest one instead of wrapping around.
std::optional<uint32_t> ScanUnsigned(const std::string& text, size_t* pos) {
  size_t i = *pos;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i >= text.size() || !IsDigit(text[i])) return std::nullopt;
  constexpr uint64_t kMax = std::numeric_limits<uint32_t>::max();
  uint64_t value = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    if (value > kMax) value = kMax;
  }
  *pos = i;
  const auto result = static_cast<uint32_t>(value);
  return negative ? 0u - result : result;
}

}  // namespace

CommandLine ParseCommandLine(int argc, const char* const* argv) {
  CommandLine cl;
  int i = 1;
  for (; i < argc && IsOption(argv[i]); ++i) {
    switch (std::toupper(static_cast<unsigned char>(argv[i][1]))) {
      case 'R': cl.resume = 1; break;
      case 'E': cl.errstop = 1; break;
      case 'F': cl.format = 1; break;
      default: cl.check = 1; break;
    }
  }
  if (i < argc) cl.target = argv[i++];
  if (i < argc) cl.level = argv[i++];
  // A single argument after the target is always the level.
  if (i < argc) cl.time_limit = argv[i++];
  return cl;
}

bool NamesVolumeLetter(const std::string& target) {
  return target.size() == 2 && target[1] == ':';
}

std::string TargetPath(const std::string& target) {
  return NamesVolumeLetter(target) ? "\\\\.\\" + target : target;
}

int32_t ParseLevel(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Accumulate toward the sign so that INT32_MIN itself is reachable.
  constexpr int64_t kLimit = int64_t{1} << 31;
  int64_t magnitude = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > kLimit) magnitude = kLimit;
  }
  if (negative) return static_cast<int32_t>(-magnitude);
  return static_cast<int32_t>(magnitude >= kLimit ? kLimit - 1 : magnitude);
}

uint64_t TimeLimit::Milliseconds() const {
  return (uint64_t{hours} * 3600 + uint64_t{minutes} * 60 + seconds) * 1000;
}

TimeLimit ParseTimeLimit(const std::string& text) {
  TimeLimit limit;
  size_t pos = 0;
  const std::optional<uint32_t> first = ScanUnsigned(text, &pos);
  if (first && pos < text.size() && text[pos] == ':') {
    ++pos;
    if (const std::optional<uint32_t> second = ScanUnsigned(text, &pos)) {
      limit.hours = *first;
      limit.minutes = *second;
      return limit;
    }
  }
  limit.seconds = first.value_or(0);
  return limit;
}

}  // namespace vorbex
