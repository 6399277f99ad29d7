#include "base/flags.h"

namespace vorbex {

Flags g_flags;

}  // namespace vorbex
