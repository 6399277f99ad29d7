#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "platform/testing/subprocess.h"

namespace vorbex::platform {
namespace {

void Drain(int* fd, std::string* into) {
  char chunk[4096];
  const ssize_t n = ::read(*fd, chunk, sizeof chunk);
  if (n > 0) {
    into->append(chunk, static_cast<size_t>(n));
  } else if (n == 0 || errno != EINTR) {
    ::close(*fd);
    *fd = -1;
  }
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv,
                         double timeout_seconds, double interrupt_seconds,
                         bool merge_streams) {
  using Clock = std::chrono::steady_clock;
  ProcessResult result;
  int out_pipe[2];
  int err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
    result.err = "pipe failed: errno " + std::to_string(errno);
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions,
                                   merge_streams ? out_pipe[1] : err_pipe[1], 2);

  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  const Clock::time_point start = Clock::now();
  pid_t pid = 0;
  const int rc =
      ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  if (rc != 0) {
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    result.err = "cannot start " + argv[0] + ": errno " + std::to_string(rc);
    return result;
  }

  const auto deadline =
      start + std::chrono::duration_cast<Clock::duration>(
                  std::chrono::duration<double>(timeout_seconds));
  const auto interrupt_at =
      start + std::chrono::duration_cast<Clock::duration>(
                  std::chrono::duration<double>(interrupt_seconds));
  bool interrupted = interrupt_seconds < 0;
  int fds[2] = {out_pipe[0], err_pipe[0]};
  while (fds[0] >= 0 || fds[1] >= 0) {
    if (!interrupted && Clock::now() >= interrupt_at) {
      ::kill(pid, SIGINT);
      interrupted = true;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - Clock::now());
    if (!interrupted) {
      left = std::min(left, std::chrono::ceil<std::chrono::milliseconds>(
                                interrupt_at - Clock::now()));
    }
    if (Clock::now() >= deadline && !result.timed_out) {
      ::kill(pid, SIGKILL);
      result.timed_out = true;
    }
    pollfd polled[2];
    for (int i = 0; i < 2; ++i) polled[i] = {fds[i], POLLIN, 0};
    const int wait_ms =
        result.timed_out ? 1000
                         : static_cast<int>(std::max<int64_t>(0, left.count()));
    if (::poll(polled, 2, wait_ms) < 0 && errno != EINTR) break;
    if (fds[0] >= 0 && polled[0].revents != 0) Drain(&fds[0], &result.out);
    if (fds[1] >= 0 && polled[1].revents != 0) Drain(&fds[1], &result.err);
  }
  for (int fd : fds) {
    if (fd >= 0) ::close(fd);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

bool RunningAsRoot() { return ::geteuid() == 0; }

}  // namespace vorbex::platform
