#include "platform/env.h"

#include "platform/error_codes.h"

namespace vorbex::platform {
namespace {

// Written only by SetCurrentEnv, which runs while no other thread uses it.
Env* g_current = nullptr;

}  // namespace

uint32_t Env::OpenTargetReadOnly(const std::string& /*path*/, bool /*volume*/,
                                 std::unique_ptr<Target>* /*target*/) {
  return kErrorNotSupported;
}

Env* CurrentEnv() { return g_current != nullptr ? g_current : NativeEnv(); }

void SetCurrentEnv(Env* env) { g_current = env; }

}  // namespace vorbex::platform
