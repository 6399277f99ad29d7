#ifndef VORBEX_TEST_CLI_SUPPORT_H_
#define VORBEX_TEST_CLI_SUPPORT_H_

#include <string>
#include <vector>

#include "platform/subprocess.h"

namespace vorbex::testing {

// Runs the real binary with args and waits for it (killing it after timeout
// seconds).
inline platform::ProcessResult Vorbex(std::vector<std::string> args,
                                      double timeout = 20) {
  args.insert(args.begin(), VORBEX_BINARY);
  return platform::RunProcess(args, timeout);
}

}  // namespace vorbex::testing

#endif  // VORBEX_TEST_CLI_SUPPORT_H_
