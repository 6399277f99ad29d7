#include "platform/env.h"

namespace vorbex::platform {
namespace {

// Written only by SetCurrentEnv, which runs while no other thread uses it.
Env* g_current = nullptr;

}  // namespace

Env* CurrentEnv() { return g_current != nullptr ? g_current : NativeEnv(); }

void SetCurrentEnv(Env* env) { g_current = env; }

}  // namespace vorbex::platform
