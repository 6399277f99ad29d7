#ifndef VORBEX_TEST_CLI_SUPPORT_H_
#define VORBEX_TEST_CLI_SUPPORT_H_

#include <cstddef>
#include <string>
#include <vector>

#include "platform/testing/subprocess.h"
#include "test_support.h"

namespace vorbex::testing {

// text with each CR LF line end made a bare LF. A Windows console program
// ends its lines with CR LF; the tests compare lines, so that difference
// alone must not fail them.
inline std::string UnixLineEnds(const std::string& text) {
  std::string lines;
  lines.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    lines += text[i];
  }
  return lines;
}

// err without the warning that the target's reads may come from a cache.
// The Windows build gives it for every target under Wine, which caches what
// it passes for unbuffered transfers; the warning's own test is in the unit
// tests.
inline std::string WithoutCacheWarning(const std::string& err) {
  static const std::string kTail =
      " cannot be opened unbuffered here; reads may come from the system's "
      "cache, not from the medium.\n";
  const size_t tail = err.find(kTail);
  if (tail == std::string::npos) return err;
  const size_t start = err.rfind("WARNING: ", tail);
  if (start == std::string::npos) return err;
  return err.substr(0, start) + err.substr(tail + kTail.size());
}

// Runs the real binary with args and waits for it (killing it after timeout
// seconds, interrupting it after interrupt seconds when not negative).
inline platform::ProcessResult Vorbex(std::vector<std::string> args,
                                      double timeout = 20,
                                      double interrupt = -1) {
  args.insert(args.begin(), VORBEX_BINARY);
  platform::ProcessResult r = platform::RunProcess(args, timeout, interrupt);
  r.out = UnixLineEnds(r.out);
  r.err = UnixLineEnds(r.err);
  if (kWindows) r.err = WithoutCacheWarning(r.err);
  return r;
}

// What a run printed on standard error before its summary (all of it when
// there is none): every run that got as far as its target ends with one.
inline std::string BeforeSummary(const std::string& err) {
  const size_t at = err.rfind("Summary: ");
  return at == std::string::npos ? err : err.substr(0, at);
}

}  // namespace vorbex::testing

#endif  // VORBEX_TEST_CLI_SUPPORT_H_
