#pragma once

// An Engine behind the one engine mutex, shared by every handle on it (the Python objects and the
// maintenance thread). Like the engine's own invariants, the lock is poisoned for good when an
// internal fault escapes while it is held: from then on every lock attempt fails. A guard hands
// out the Engine itself.

#include <memory>

#include "quellmar/core/poison_mutex.h"
#include "quellmar/engine/engine.h"

namespace quellmar {

using EngineMutex = PoisonMutex<std::unique_ptr<Engine>>;

inline constexpr const char* ENGINE_LOCK_POISONED = "engine lock poisoned";

}  // namespace quellmar
