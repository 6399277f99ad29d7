#include "disk/target_window.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <new>

#include "base/console.h"
#include "base/flags.h"
#include "platform/error_codes.h"

namespace vorbex {
namespace {

// Process-wide, since the summary and the JSON report, made by whichever
// thread ends the run, tell the window's length, which the first open
// learns. Stored once, by the main thread at the first open of the window;
// a summary that races that open may see either the request or the result.
std::atomic<bool> g_recorded{false};
std::atomic<int64_t> g_window_bytes{0};

bool Windowed() { return g_flags.WindowOffset != 0 || g_flags.WindowSize != 0; }

// The window's length once the target's is known; 0 when it does not fit.
int64_t WindowLength(int64_t target_bytes) {
  const int64_t offset = g_flags.WindowOffset;
  if (offset >= target_bytes) return 0;
  if (g_flags.WindowSize == 0) return target_bytes - offset;
  return g_flags.WindowSize <= target_bytes - offset ? g_flags.WindowSize : 0;
}

uint32_t CheckSectorSize(platform::Target* target, const std::string& path) {
  uint32_t sector = 0;
  // A device that will not say is left to its first transfer.
  if (target->LogicalSectorSize(&sector) != platform::kErrorSuccess ||
      sector <= 512) {
    return platform::kErrorSuccess;
  }
  PrintErrf("%s has %" PRIu32
            "-byte logical sectors; Vorbex transfers 512-byte blocks, so "
            "it cannot test this device.\n",
            path.c_str(), sector);
  return platform::kErrorInvalidParameter;
}

}  // namespace

TargetWindow RunWindow() {
  TargetWindow w;
  w.Windowed = Windowed();
  w.Offset = g_flags.WindowOffset;
  w.Bytes = g_recorded.load(std::memory_order_acquire)
                ? g_window_bytes.load(std::memory_order_relaxed)
                : g_flags.WindowSize;
  return w;
}

std::string WindowName(const std::string& path) {
  if (!Windowed()) return path;
  return "the window of " + std::to_string(RunWindow().Bytes) + " bytes at " +
         std::to_string(g_flags.WindowOffset) + " of " + path;
}

uint32_t OpenWindow(platform::Env* env, const std::string& path, bool volume,
                    bool read_only, std::unique_ptr<platform::Target>* target) {
  std::unique_ptr<platform::Target> whole;
  uint32_t rc = platform::kErrorNotEnoughMemory;
  try {
    rc = read_only ? env->OpenTargetReadOnly(path, volume, &whole)
                   : env->OpenTarget(path, volume, &whole);
  } catch (const std::bad_alloc&) {
    // rc still says why; the Env has closed whatever it had opened.
  }
  if (rc != platform::kErrorSuccess) return rc;
  if ((rc = CheckSectorSize(whole.get(), path)) != platform::kErrorSuccess) {
    return rc;
  }
  if (!Windowed()) {
    if (!read_only) rc = whole->HoldRange(0, 0);
    if (rc == platform::kErrorSuccess) *target = std::move(whole);
    return rc;
  }
  int64_t bytes = 0;
  if ((rc = whole->QuerySize(&bytes)) != platform::kErrorSuccess) return rc;
  const int64_t length = WindowLength(bytes);
  if (length == 0) {
    std::string size;
    if (g_flags.WindowSize != 0) {
      size = " for " + std::to_string(g_flags.WindowSize) + " bytes (--size)";
    }
    PrintErrf("%s: the window from byte %" PRId64
              " (--offset)%s runs "
              "past the target's end at byte %" PRId64 "\n",
              path.c_str(), g_flags.WindowOffset, size.c_str(), bytes);
    return platform::kErrorInvalidParameter;
  }
  if (!read_only) {
    rc = whole->HoldRange(g_flags.WindowOffset, length);
    if (rc != platform::kErrorSuccess) return rc;
  }
  try {
    *target =
        platform::WindowOf(std::move(whole), g_flags.WindowOffset, length);
  } catch (const std::bad_alloc&) {
    return platform::kErrorNotEnoughMemory;
  }
  if (!g_recorded.load(std::memory_order_relaxed)) {
    g_window_bytes.store(length, std::memory_order_relaxed);
    // Release: whoever sees the flag sees the length stored before it.
    g_recorded.store(true, std::memory_order_release);
  }
  return platform::kErrorSuccess;
}

}  // namespace vorbex
