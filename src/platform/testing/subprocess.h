#ifndef VORBEX_PLATFORM_TESTING_SUBPROCESS_H_
#define VORBEX_PLATFORM_TESTING_SUBPROCESS_H_

#include <string>
#include <vector>

namespace vorbex::platform {

// What a child process left behind.
struct ProcessResult {
  int exit_code = -1;      // -1 when it did not exit by itself
  bool timed_out = false;  // it was killed after the time allowed
  std::string out;         // everything it wrote to standard output
  std::string err;         // and to standard error
  double seconds = 0;      // from start to end, by the steady clock
};

// Runs argv[0] (looked up in PATH) with its arguments and no standard input,
// capturing both output streams; kills it after timeout_seconds. Sends it
// SIGINT (on Windows Ctrl-C) once after interrupt_seconds when that is not
// negative. With merge_streams, standard error goes down the pipe of
// standard output, so out shows the order of the two. For the test suite,
// which runs the real binary; the product starts no processes.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         double timeout_seconds, double interrupt_seconds = -1,
                         bool merge_streams = false);

// Whether this process may set up loop devices and the like.
bool RunningAsRoot();

}  // namespace vorbex::platform

#endif  // VORBEX_PLATFORM_TESTING_SUBPROCESS_H_
