#include "base/text.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>

namespace vorbex {

void Appendf(std::string* out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  AppendVf(out, format, args);
  va_end(args);
}

void AppendVf(std::string* out, const char* format, va_list args) {
  char line[256];
  va_list again;
  va_copy(again, args);
  // The analyzer does not see va_start through std::vsnprintf.
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
  const int n = std::vsnprintf(line, sizeof line, format, args);
  if (n < 0) {
    va_end(again);
    return;
  }
  if (static_cast<size_t>(n) < sizeof line) {
    out->append(line, static_cast<size_t>(n));
    va_end(again);
    return;
  }
  // Only a line with a path in it is this long.
  const size_t at = out->size();
  out->resize(at + static_cast<size_t>(n) + 1);
  std::vsnprintf(out->data() + at, static_cast<size_t>(n) + 1, format, again);
  va_end(again);
  out->resize(at + static_cast<size_t>(n));
}

std::string ByteText(double bytes) {
  static constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int u = 0;
  while (bytes >= 1024 && u < 4) {
    bytes /= 1024;
    ++u;
  }
  char text[32];
  std::snprintf(text, sizeof text, u == 0 ? "%.0f %s" : "%.1f %s", bytes,
                kUnits[u]);
  return text;
}

}  // namespace vorbex
