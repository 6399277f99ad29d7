// The test suite's process runner on Windows.

#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/testing/subprocess.h"

namespace vorbex::platform {
namespace {

// One argument as the C runtime's parser splits the command line back up:
// quotes around it when it has a space, tab or quote (or is empty), each
// quote escaped, and the backslashes before a quote or the closing quote
// doubled.
void AppendQuoted(const std::string& arg, std::string* line) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
    *line += arg;
    return;
  }
  *line += '"';
  size_t backslashes = 0;
  for (const char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') backslashes = backslashes * 2 + 1;
    line->append(backslashes, '\\');
    backslashes = 0;
    *line += c;
  }
  line->append(backslashes * 2, '\\');
  *line += '"';
}

// Reads a pipe to its end on a thread of its own, so that a child that
// fills one pipe while the parent waits on the other cannot stall both.
void Drain(HANDLE pipe, std::string* into) {
  char chunk[4096];
  DWORD n = 0;
  while (::ReadFile(pipe, chunk, sizeof chunk, &n, nullptr) && n > 0) {
    into->append(chunk, n);
  }
  ::CloseHandle(pipe);
}

// A pipe whose write end the child inherits and whose read end it does not.
bool MakePipe(HANDLE* read, HANDLE* write) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  if (!::CreatePipe(read, write, &inherit, 0)) return false;
  ::SetHandleInformation(*read, HANDLE_FLAG_INHERIT, 0);
  return true;
}

// Ctrl-C reaches every process on a console, so both this process and the
// child must have one: a process started with no console of its own (under
// Wine with its output piped, or detached) makes one, which the children it
// starts then share. REQUIRES: called before the child starts.
void ShareAConsole() {
  static const bool done = [] {
    DWORD attached = 0;
    if (::GetConsoleProcessList(&attached, 1) == 0) {
      ::FreeConsole();
      ::AllocConsole();
    }
    return true;
  }();
  (void)done;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv,
                         double timeout_seconds, double interrupt_seconds,
                         bool merge_streams) {
  using Clock = std::chrono::steady_clock;
  ProcessResult result;
  HANDLE out_read = nullptr, out_write = nullptr;
  HANDLE err_read = nullptr, err_write = nullptr;
  if (!MakePipe(&out_read, &out_write) || !MakePipe(&err_read, &err_write)) {
    result.err = "CreatePipe failed: error " + std::to_string(::GetLastError());
    return result;
  }
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  const HANDLE null_in = ::CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ,
                                       &inherit, OPEN_EXISTING, 0, nullptr);

  std::string line;
  for (const std::string& arg : argv) {
    if (!line.empty()) line += ' ';
    AppendQuoted(arg, &line);
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null_in;
  startup.hStdOutput = out_write;
  startup.hStdError = merge_streams ? out_write : err_write;
  if (interrupt_seconds >= 0) ShareAConsole();
  PROCESS_INFORMATION process{};
  const Clock::time_point start = Clock::now();
  // Not a process group of its own: a new group would start with Ctrl-C
  // turned off, and Ctrl-Break, which a group can be sent alone, does not
  // reach it under Wine.
  const BOOL started =
      ::CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                       nullptr, &startup, &process);
  const DWORD start_error = ::GetLastError();
  // The child holds its own copies; the pipes end when it does.
  ::CloseHandle(out_write);
  ::CloseHandle(err_write);
  if (null_in != INVALID_HANDLE_VALUE) ::CloseHandle(null_in);
  if (!started) {
    ::CloseHandle(out_read);
    ::CloseHandle(err_read);
    result.err =
        "cannot start " + argv[0] + ": error " + std::to_string(start_error);
    return result;
  }
  ::CloseHandle(process.hThread);
  std::thread out_thread(Drain, out_read, &result.out);
  // What the child prints goes after anything said about it here.
  std::string child_err;
  std::thread err_thread(Drain, err_read, &child_err);

  auto ms_until = [&](double seconds) {
    const auto at = start + std::chrono::duration_cast<Clock::duration>(
                                std::chrono::duration<double>(seconds));
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(at - Clock::now());
    return static_cast<DWORD>(std::max<int64_t>(0, left.count()));
  };
  if (interrupt_seconds >= 0 &&
      ::WaitForSingleObject(process.hProcess, ms_until(interrupt_seconds)) ==
          WAIT_TIMEOUT) {
    // This process lets the Ctrl-C pass, so that it stops only the child.
    // Only now: a child inherits the setting and would ignore it too.
    ::SetConsoleCtrlHandler(nullptr, TRUE);
    if (!::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
      result.err = "cannot send Ctrl-C: error " +
                   std::to_string(::GetLastError()) + "\n";
    }
  }
  if (::WaitForSingleObject(process.hProcess, ms_until(timeout_seconds)) ==
      WAIT_TIMEOUT) {
    ::TerminateProcess(process.hProcess, 1);
    ::WaitForSingleObject(process.hProcess, INFINITE);
    result.timed_out = true;
  }
  // The child has ended, long after this process let its Ctrl-C pass; the
  // next child must not inherit the setting.
  if (interrupt_seconds >= 0) ::SetConsoleCtrlHandler(nullptr, FALSE);
  out_thread.join();
  err_thread.join();
  result.err += child_err;
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  DWORD code = 0;
  if (!result.timed_out && ::GetExitCodeProcess(process.hProcess, &code)) {
    result.exit_code = static_cast<int>(code);
  }
  ::CloseHandle(process.hProcess);
  return result;
}

// Nothing in the suite needs an administrator, and what needs root on Linux
// (loop devices, mounting) has no counterpart here.
bool RunningAsRoot() { return false; }

}  // namespace vorbex::platform
