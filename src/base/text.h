#ifndef VORBEX_BASE_TEXT_H_
#define VORBEX_BASE_TEXT_H_

#include <cstdarg>
#include <string>

#if defined(__MINGW32__)
// MinGW's "printf" means the old Microsoft runtime's, which lacks %zu and
// %lld; the build selects MinGW's own C99 printf, which this checks against.
#define VORBEX_PRINTF(f, a) __attribute__((format(gnu_printf, f, a)))
#elif defined(__GNUC__)
#define VORBEX_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define VORBEX_PRINTF(f, a)
#endif

namespace vorbex {

// Appends what printf would print for format and its arguments, however
// long. Reports, summaries and inspections are built in a string this way,
// so that each goes out in one write.
VORBEX_PRINTF(2, 3) void Appendf(std::string* out, const char* format, ...);
void AppendVf(std::string* out, const char* format, va_list args);

// A byte count in the largest binary unit that keeps it at 1 or more:
// "512 B", "1.5 KiB" ... "2.0 TiB".
std::string ByteText(double bytes);

}  // namespace vorbex

#endif  // VORBEX_BASE_TEXT_H_
