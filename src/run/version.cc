#include "run/version.h"

// Only this file sees the version and the commit, so that a new commit
// rebuilds one file rather than everything.
#ifndef VORBEX_VERSION
#define VORBEX_VERSION "0.0.0"
#endif
#ifndef VORBEX_COMMIT
#define VORBEX_COMMIT "unknown"
#endif

namespace vorbex {

const char* VersionText() {
  return VORBEX_VERSION " (commit " VORBEX_COMMIT ")";
}

}  // namespace vorbex
