// The automatic-differentiation library keeps the recording in progress, its error handler and its
// memory pool in process-wide, unlocked state. Every recording, tape evaluation and release of tape
// storage in the process runs while it holds this mutex, so that calls from several threads take
// turns instead of corrupting that state, even for solvers on different networks.
//
// The mutex is recursive: an operation that holds it (a solve) calls others that take it as well
// (residuals, Jacobians).
#pragma once

#include <mutex>

namespace meshvolt {

inline std::recursive_mutex& tape_mutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

using TapeLock = std::lock_guard<std::recursive_mutex>;

}  // namespace meshvolt
