#ifndef VORBEX_TEST_CLI_SUPPORT_H_
#define VORBEX_TEST_CLI_SUPPORT_H_

#include <string>
#include <vector>

#include "platform/subprocess.h"

namespace vorbex::testing {

// Runs the real binary with args and waits for it (killing it after timeout
// seconds, interrupting it after interrupt seconds when not negative).
inline platform::ProcessResult Vorbex(std::vector<std::string> args,
                                      double timeout = 20,
                                      double interrupt = -1) {
  args.insert(args.begin(), VORBEX_BINARY);
  return platform::RunProcess(args, timeout, interrupt);
}

// What a run printed on standard error before its summary (all of it when
// there is none): every run that got as far as its target ends with one.
inline std::string BeforeSummary(const std::string& err) {
  const size_t at = err.rfind("Summary: ");
  return at == std::string::npos ? err : err.substr(0, at);
}

}  // namespace vorbex::testing

#endif  // VORBEX_TEST_CLI_SUPPORT_H_
