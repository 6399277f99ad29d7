#include "base/text.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>

namespace vorbex {

void Appendf(std::string* out, const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  // The analyzer does not see va_start through std::vsnprintf.
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
  const int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof line) {
    out->append(line, static_cast<size_t>(n));
    return;
  }
  // Only a line with a path in it is this long.
  const size_t at = out->size();
  out->resize(at + static_cast<size_t>(n) + 1);
  va_start(args, format);
  std::vsnprintf(out->data() + at, static_cast<size_t>(n) + 1, format, args);
  va_end(args);
  out->resize(at + static_cast<size_t>(n));
}

}  // namespace vorbex
