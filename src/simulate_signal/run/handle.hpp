// What the first stretches and the pipeline driver call on their
// SimulationHandle (run folder internals).
#pragma once

#include "frame/calls.hpp"
#include "frame/frame.hpp"

#include <cxxabi.h>

namespace simsig {

// `with lock: f()` for a threading.Lock (or anything with acquire/release).
// The lock is released however f leaves, except when the thread is being
// ended at interpreter exit: then nothing may touch Python, so the forced
// unwind passes straight through.
template <typename F>
void locked(nb::handle lock, F &&f) {
    call_method(lock, "acquire");
    try {
        f();
    } catch (abi::__forced_unwind &) {
        throw;
    } catch (...) {
        call_method(lock, "release");
        throw;
    }
    call_method(lock, "release");
}

// self._update_status(phase, progress, message), through the instance.
void update_status(nb::handle self, const char *phase, double progress, const char *message);
void update_status(nb::handle self, const char *phase, nb::handle progress, nb::handle message);

// self._check_cancelled(), through the instance.
void check_cancelled(nb::handle self);

} // namespace simsig
