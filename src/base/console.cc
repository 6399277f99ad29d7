#include "base/console.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "platform/env.h"

namespace vorbex {

void InitConsole() { platform::FlushStdoutByLine(); }

void EndProcess(int code) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(code);
}

TimeText Now() {
  // ctime answers in one static buffer shared by every thread.
  static std::mutex ctime_mutex;
  TimeText out;
  const std::time_t now = std::time(nullptr);
  std::lock_guard<std::mutex> hold(ctime_mutex);
  const char* text =
      std::ctime(&now);  // NOLINT(concurrency-mt-unsafe): guarded
  if (text != nullptr) {
    std::strncpy(out.text.data(), text, out.text.size() - 1);
  }
  return out;
}

}  // namespace vorbex
