#ifndef VORBEX_DISK_TARGET_WINDOW_H_
#define VORBEX_DISK_TARGET_WINDOW_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/env.h"

namespace vorbex {

// The bytes of the target that a run works on, as the first successful
// OpenWindow found them: Offset and Bytes are in the whole target's bytes;
// Windowed is false when the run covers the whole target.
struct TargetWindow {
  bool Windowed = false;
  int64_t Offset = 0;
  int64_t Bytes = 0;  // 0 until a target has opened, or for a whole target
};

// The window of this run. Safe to call from any thread at any time.
TargetWindow RunWindow();

// Opens path for reading and writing (or, with read_only, for reading
// alone) and hands back a target that is only the window g_flags asks for,
// its byte 0 at the window's offset. Before anything is written it refuses,
// with a line on standard error and kErrorInvalidParameter, a device whose
// logical sectors are larger than 512 bytes and a window that reaches past
// the target's end; a read-write open then holds the window's bytes of a
// device against other processes (kErrorBusy when one holds any of them).
// Returns kErrorSuccess or the Windows error code, with nothing left open.
// REQUIRES: main thread.
uint32_t OpenWindow(platform::Env* env, const std::string& path, bool volume,
                    bool read_only, std::unique_ptr<platform::Target>* target);

// Where standard error names the window: "path" alone, or "the window of
// <size> bytes at <offset> of path".
std::string WindowName(const std::string& path);

}  // namespace vorbex

#endif  // VORBEX_DISK_TARGET_WINDOW_H_
