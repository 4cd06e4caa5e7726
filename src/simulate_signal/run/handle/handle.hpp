// SimulationHandle's native layout and what the pipeline stretches call on
// their handle (run folder internals).
//
// The handle's attributes live in typed fields of the instance, one per
// field row of run/handle/attributes.hpp, in the order the constructor creates them.
// The instance __dict__ mirrors them (same objects, same order), so Python
// sees the attributes it always saw and an assignment from outside
// (`h._lock = ...`) reaches the field through the type's __setattr__. Writing
// into `h.__dict__` directly bypasses the fields and is not supported.
//
// Guards: every field pointer is read and written with the GIL held. What a
// field means is guarded as the handle's lock protocol says: _status,
// _result, _error, _cancelled, _pending_recording, _result_retrieved and
// _pipeline_acquired only change while `_lock` is held; _released only in
// _do_release (which result() calls with `_lock` held); the others are
// written by the constructor, or by the pipeline thread alone.
#pragma once

#include "frame/calls.hpp"
#include "frame/event.hpp"
#include "frame/frame.hpp"
#include "run/handle/attributes.hpp"

#include <condition_variable>
#include <mutex>
#include <vector>

namespace simsig {

struct HandleObject {
    PyObject_HEAD PyObject *fields[kFieldCount];  // strong or null (attribute not set)
    PyObject *dict;                               // the instance __dict__
    PyObject *weakrefs;
    // result() re-raises the same error object each time; it resets the
    // traceback to the one the error had when result() first raised it, so
    // that it does not grow by the caller's frames at every call.
    PyObject *raised_error;
    PyObject *raised_traceback;
    // Called once when the run ends, wake-ups first: `wakeups` holds the
    // module's own (awaiting tasks, future()), `done_callbacks` the callers'
    // (fn, loop or None) entries. Each is a list or null; both are read and
    // swapped with the GIL held and no Python code in between, which orders
    // them against the end of the run (see run/future.cpp).
    PyObject *wakeups;
    PyObject *done_callbacks;
    PyObject *future;  // future(): made once, then the same object
    // Set once the run has ended: by the pipeline at the end of its exit
    // block, or by whoever first sees the result complete. Made by tp_new and
    // freed by tp_dealloc, so a waiter (which holds the handle) never sees it
    // freed.
    WaitFlag *ended;

    static void release(HandleObject *h) { delete h->ended; }
};

// The handle behind `self`; TypeError for anything that is not one.
HandleObject *as_handle(nb::handle self, const char *method);

// self.<field>: a new reference (AttributeError when it is not set).
ref field(HandleObject *h, Field f);
inline ref field(nb::handle self, Field f) {
    return field(reinterpret_cast<HandleObject *>(self.ptr()), f);
}
// bool(self.<field>), for the flags.
bool field_truthy(HandleObject *h, Field f);

// self.<field> = value. Returns the value it replaces, to be dropped by the
// caller after it released the handle's lock (a finalizer may take the lock).
[[nodiscard]] ref set_field(HandleObject *h, Field f, nb::handle value);

// Objects displaced while the lock was held, released once it is not.
using Displaced = std::vector<ref>;

// acquire()/release() of whatever `_lock` holds.
void lock_acquire(nb::handle lock);
void lock_release(nb::handle lock);

// Releases a lock when its scope is left by an exception; a thread being
// ended at interpreter exit (frame/frame.hpp) touches no Python on its way
// out. Entered through detail::inside(), like the frame's scopes.
class release_on_unwind {
public:
    explicit release_on_unwind(nb::handle lock) : m_lock(lock) {}
    ~release_on_unwind() {
        if (!m_armed || thread_being_ended())
            return;
        try {
            lock_release(m_lock);
        } catch (nb::python_error &e) {
            e.discard_as_unraisable(m_lock);  // the exception leaving the scope goes on
        }
    }
    void disarm() noexcept { m_armed = false; }
    void abandon() noexcept { m_armed = false; }
    release_on_unwind(const release_on_unwind &) = delete;
    release_on_unwind &operator=(const release_on_unwind &) = delete;

private:
    nb::handle m_lock;
    bool m_armed = true;
};

// `with lock: f()` for any lock object (the module's _sync_lock): the lock is
// released however f leaves.
template <typename F>
void locked(nb::handle lock, F &&f) {
    lock_acquire(lock);
    release_on_unwind guard(lock);
    detail::inside(guard, std::forward<F>(f));
    guard.disarm();
    lock_release(lock);
}

// `with self._lock: f(displaced)`: the lock is released however f leaves,
// then whatever f displaced is dropped.
template <typename F>
void locked(HandleObject *h, F &&f) {
    Displaced displaced;
    ref lock = field(h, Field::lock);
    locked(nb::handle(lock), [&] { f(displaced); });
}

// CancelledError("Simulation cancelled"), of the class the namespace holds now.
ref cancelled_error();

// self._update_status(phase, progress, message) and self._check_cancelled(),
// as the instance resolves them (the C++ body while they are the class's own).
void update_status(nb::handle self, const char *phase, double progress, const char *message);
void update_status(nb::handle self, const char *phase, nb::handle progress, nb::handle message);
void check_cancelled(nb::handle self);

// The pipeline thread (run/pipeline_thread.cpp): made with the callable it
// will run, then started. Towards the threading module it is a
// threading.Thread: listed while it runs, joinable, gone once it has ended.
ref new_pipeline_thread(nb::handle target);
void start_pipeline_thread(nb::handle thread);
// In a child made by fork(): every pipeline thread that did not follow has
// ended, and so has its run (end_run_after_fork).
void end_pipeline_threads_after_fork();
// A run whose pipeline did not follow into a child made by fork() ends there
// with a RuntimeError that says so; its lock, if held, is made anew.
void end_run_after_fork(nb::handle self);

// The future protocol and await (run/future.cpp), added to the class after
// the handle's own methods.
void define_future_methods(nb::handle cls);
// Whether the run has ended (done()): the pipeline finished its exit block,
// or the result is complete.
bool run_ended(nb::handle self);
// At the end of the exit block, on the pipeline thread: the run has ended;
// the wake-ups, then the done callbacks, each called once.
void end_run(nb::handle self);
// self.result() / the stored error, once the run has ended: for await.
ref handle_outcome(nb::handle self);
// Whether the pipeline has stored a complete result (status "complete", a
// result and no error): result() then needs no wait. Marks the run ended.
bool result_complete(HandleObject *h);
// Returns once the run has ended; with a timeout (None: no limit), read as
// concurrent.futures.Future.result reads it, TimeoutError when it has not.
void wait_until_ended(nb::handle self, nb::handle timeout);

// The handle type (created once by define_handle_class).
PyTypeObject *handle_type();
ref make_handle_type(const char *doc);

} // namespace simsig
