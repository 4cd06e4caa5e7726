// SimulationHandle: the object a caller holds while a simulation runs.
//
// Shared state between the caller's threads and the pipeline thread lives in
// the handle's typed fields (run/handle.hpp says which lock guards each).
// Waits go through the Python Lock/Event/Thread objects, so the GIL is
// released while a thread waits; no C++ mutex is ever held.
#include "run/handle/handle.hpp"
#include "config/config.hpp"
#include "frame/globals.hpp"
#include "frame/helpers.hpp"
#include "frame/records.hpp"
#include "graph/graph.hpp"
#include "run/pipeline/pipeline.hpp"
#include "run/run.hpp"

namespace simsig {

// ---------------------------------------------------------------------------
// Small pieces of the handle

namespace {

// type(value).__name__
ref name_of_type(nb::handle value) {
    return attr(nb::handle((PyObject *)Py_TYPE(value.ptr())), "__name__");
}

// time.monotonic() - self._start_time, with the clock the module's `time`
// global holds now.
ref elapsed_since_start(HandleObject *h) {
    ref now = call(module_attr(global(G::time), "monotonic"));
    PyObject *elapsed = PyNumber_Subtract(now.ptr(), field(h, Field::start_time).ptr());
    if (!elapsed)
        throw nb::python_error();
    return ref(nb::steal(elapsed));
}

} // namespace

ref cancelled_error() { return new_exception(global(G::CancelledError), "Simulation cancelled"); }

namespace {

// f(**payload)
void call_with_mapping(nb::handle fn, nb::handle payload) {
    ref kwargs;
    if (PyDict_Check(payload.ptr())) {
        kwargs = nb::steal(PyDict_Copy(payload.ptr()));
    } else {
        if (!has_attr(payload, "keys"))
            raise(PyExc_TypeError, format("argument after ** must be a mapping, not %S",
                                          name_of_type(payload).ptr()));
        kwargs = nb::steal(PyDict_New());
        if (kwargs && PyDict_Merge(kwargs.ptr(), payload.ptr(), 1))
            throw nb::python_error();
    }
    if (!kwargs)
        throw nb::python_error();
    ref no_args = nb::steal(PyTuple_New(0));
    PyObject *result = PyObject_Call(fn.ptr(), no_args.ptr(), kwargs.ptr());
    if (!result)
        throw nb::python_error();
    Py_DECREF(result);
}

// The handle's own methods as the class defined them (set once).
Impl g_update_status_body = nullptr;
Impl g_check_cancelled_body = nullptr;
Impl g_do_release_body = nullptr;

// The body of self.<method> when the instance still resolves it to the
// class's own function (nothing in the instance __dict__ under that name,
// the class attribute still ours); null otherwise.
Impl own_method(nb::handle self, const char *method, Impl body, size_t nargs) {
    nb::handle key = name(method);
    auto *h = reinterpret_cast<HandleObject *>(self.ptr());
    if (!PyObject_TypeCheck(self.ptr(), handle_type()))
        return nullptr;
    if (h->dict) {
        PyObject *shadow = PyDict_GetItemWithError(h->dict, key.ptr());
        if (shadow)
            return nullptr;
        if (PyErr_Occurred())
            throw nb::python_error();
    }
    PyObject *cls_attr = PyObject_GetAttr((PyObject *)Py_TYPE(self.ptr()), key.ptr());
    if (!cls_attr) {
        PyErr_Clear();
        return nullptr;
    }
    ref held = nb::steal(cls_attr);
    return own_body(held, nargs) == body ? body : nullptr;
}

// self.<method>(*args): the body directly where own_method allows it.
template <typename... Args>
void call_own_method(nb::handle self, const char *method, Impl body, const Args &...args) {
    if (Impl direct = own_method(self, method, body, 1 + sizeof...(Args))) {
        PyObject *values[] = {self.ptr(), nb::handle(args).ptr()...};
        Call c;
        c.m_values = values;
        c.m_count = 1 + sizeof...(Args);
        call_body(direct, c);
        return;
    }
    call_method(self, method, args...);
}

} // namespace

void update_status(nb::handle self, const char *phase, double progress, const char *message) {
    call_own_method(self, "_update_status", g_update_status_body, name(phase), nb::float_(progress),
                    name(message));
}

void update_status(nb::handle self, const char *phase, nb::handle progress, nb::handle message) {
    call_own_method(self, "_update_status", g_update_status_body, name(phase), progress, message);
}

void check_cancelled(nb::handle self) {
    call_own_method(self, "_check_cancelled", g_check_cancelled_body);
}

namespace {

// ---------------------------------------------------------------------------
// Constructor

ref initial_era_number() {
    ref era_config = global(G::era_config);
    if (era_config.is_none())
        return nb::int_(0);
    return method_get(era_config, name("era_number"), nb::int_(0));
}

// Constructor writes: nothing is displaced that a finalizer could notice
// before the handle exists for anyone else.
void init_field(HandleObject *h, Field f, nb::handle value) { ref old = set_field(h, f, value); }

// A constructor argument as its field holds it: the graph and the pool id
// are checked, the pool kind follows the expression type when not given.
ref parameter_value(Field f, const Call &a) {
    nb::handle expression_type = a[init_index(Field::expression_type)];
    switch (f) {
    case Field::graph:
        return call_helper<require_typed_runtime_graph>(a[init_index(Field::graph)]);
    case Field::selected_pool_id:
        return call_helper<validate_selected_pool_id>(
            a[init_index(Field::selected_pool_id)],
            call_helper<selected_pool_field_name>(expression_type));
    case Field::selected_pool_kind: {
        nb::handle kind = a[init_index(Field::selected_pool_kind)];
        return ref(nb::borrow(
            kind.is_none() ? name(is_strategy(expression_type) ? "strategy" : "signal") : kind));
    }
    default:
        return ref(nb::borrow(init_position(f) ? a[init_position(f)] : none()));
    }
}

// The fields up to the last parameter's, in table order.
void set_parameters(HandleObject *h, const Call &a) {
    for (int i = 0; i <= kLastParameterField; ++i)
        init_field(h, Field(i), parameter_value(Field(i), a));
}

void create_shared_state(HandleObject *h, nb::handle era_number) {
    init_field(h, Field::lock, call(attr(global(G::threading), "Lock")));
    init_field(h, Field::status,
               new_simulation_status(name("syncing"), nb::float_(0.0),
                                     name("Syncing data from server..."), era_number,
                                     nb::float_(0.0)));
    init_field(h, Field::result, none());
    init_field(h, Field::error, none());
    init_field(h, Field::cancelled, false_());
    init_field(h, Field::done_event, new_event());
    init_field(h, Field::start_time, call(module_attr(global(G::time), "monotonic")));
    init_field(h, Field::acquired, false_());
    init_field(h, Field::pending_recording, none());
    init_field(h, Field::result_retrieved, false_());
    init_field(h, Field::pipeline_acquired, false_());
    init_field(h, Field::released, false_());
    init_field(h, Field::acquire_done, new_event());
    init_field(h, Field::post_acquire_gate, new_event());
}

// The constructor returns as soon as the pipeline holds the sync manager, and
// after at most 0.1 s otherwise; the pipeline waits at most 5 s for the gate.
void start_pipeline(nb::handle self, HandleObject *h) {
    ref thread = new_pipeline_thread(attr(self, "_run_pipeline"));
    init_field(h, Field::thread, thread);
    start_pipeline_thread(thread);
    event_wait(field(h, Field::acquire_done), 0.1);
    event_set(field(h, Field::post_acquire_gate));
}

nb::object handle_init(const Call &a) {
    HandleObject *h = as_handle(a[0], "__init__");
    set_parameters(h, a);
    ref era_number = initial_era_number();
    create_shared_state(h, era_number);
    start_pipeline(a[0], h);
    return nb::none();
}

// ---------------------------------------------------------------------------
// Methods

// A cancelled run keeps the "cancelled" status that cancel() gave it: the
// pipeline may still report a phase on its way to the next checkpoint, and
// its final "complete" or "error" must not hide the cancellation that decides
// what result() raises.
nb::object handle_update_status(const Call &a) {
    HandleObject *h = as_handle(a[0], "_update_status");
    nb::handle phase = a[1], progress = a[2], message = a[3];
    locked(h, [&](Displaced &displaced) {
        if (field_truthy(h, Field::cancelled))
            return;
        ref era_number = attr(field(h, Field::status), "era_number");
        displaced.push_back(set_field(
            h, Field::status,
            new_simulation_status(phase, progress, message, era_number, elapsed_since_start(h))));
    });
    ref set_phase = global(G::set_phase);
    if (!set_phase.is_none()) {
        ref exc = catch_exception([&] { call(set_phase, phase); });
        if (exc)
            log_warning("Failed to set simulation phase '%s': %s", phase, exc);
    }
    return nb::none();
}

nb::object handle_check_cancelled(const Call &a) {
    HandleObject *h = as_handle(a[0], "_check_cancelled");
    locked(h, [&](Displaced &) {
        if (field_truthy(h, Field::cancelled))
            raise(global(G::CancelledError), "Simulation cancelled");
    });
    return nb::none();
}

nb::object handle_status(const Call &a) {
    HandleObject *h = as_handle(a[0], "status");
    ref snapshot;
    locked(h, [&](Displaced &) {
        snapshot = status_snapshot(field(h, Field::status), elapsed_since_start(h));
    });
    return snapshot;
}

nb::object handle_do_release(const Call &a) {
    HandleObject *h = as_handle(a[0], "_do_release");
    if (field_truthy(h, Field::pipeline_acquired) && !field_truthy(h, Field::released)) {
        ref old = set_field(h, Field::released, true_());
        call_method(global(G::sync_manager), "release");
    }
    return nb::none();
}

void do_release(nb::handle self) { call_own_method(self, "_do_release", g_do_release_body); }

void record_pending(HandleObject *h, Displaced &displaced) {
    ref pending = field(h, Field::pending_recording);
    if (pending.is_none())
        return;
    std::vector<ref> parts = unpack(pending, 2);
    displaced.push_back(set_field(h, Field::pending_recording, none()));
    displaced.push_back(pending);
    ref tracker = global(G::search_tracker);
    ref record = parts[0].equal(name("SIGNAL")) ? attr(tracker, "record_signal_evaluation")
                                                : attr(tracker, "record_strategy_evaluation");
    displaced.push_back(parts[0]);
    displaced.push_back(parts[1]);
    call_with_mapping(record, parts[1]);
}

// raise self._error, with the traceback it had when result() first raised it.
[[noreturn]] void raise_stored(HandleObject *h, nb::handle error) {
    if (h->raised_error != error.ptr()) {
        PyObject *old_error = h->raised_error, *old_traceback = h->raised_traceback;
        h->raised_error = error.inc_ref().ptr();
        h->raised_traceback = PyException_GetTraceback(error.ptr());
        Py_XDECREF(old_error);
        Py_XDECREF(old_traceback);
    } else if (PyExceptionInstance_Check(error.ptr())) {
        PyException_SetTraceback(error.ptr(), h->raised_traceback ? h->raised_traceback : Py_None);
    }
    raise_object(error);
}

} // namespace

bool result_complete(HandleObject *h) {
    bool complete = false;
    locked(h, [&](Displaced &) {
        complete = attr(field(h, Field::status), "phase").equal(name("complete")) &&
                   !field(h, Field::result).is_none() && field(h, Field::error).is_none();
    });
    if (complete)
        h->ended->set();
    return complete;
}

namespace {

// A run that completed needs no wait; any other is waited for (outside the
// lock) until its pipeline has finished its exit block. What runs on the
// pipeline thread after that (the done callbacks) is not waited for.
nb::object handle_result(const Call &a) {
    nb::handle self = a[0];
    HandleObject *h = as_handle(self, "result");
    if (!result_complete(h))
        wait_until_ended(self, a[1]);

    // The tracker and release() are called with the lock held; neither may
    // call back into the handle. What the record displaces (the payload) is
    // dropped after the lock is released: its finalizers may.
    ref result;
    locked(h, [&](Displaced &displaced) {
        ref error = field(h, Field::error);
        if (!error.is_none()) {
            do_release(self);
            raise_stored(h, error);
        }
        record_pending(h, displaced);
        displaced.push_back(set_field(h, Field::result_retrieved, true_()));
        do_release(self);
        result = field(h, Field::result);
    });
    return result;
}

nb::object handle_cancel(const Call &a) {
    HandleObject *h = as_handle(a[0], "cancel");
    locked(h, [&](Displaced &displaced) {
        ref current = field(h, Field::status);
        if (attr(current, "phase").equal(name("cancelled")))
            return;
        if (field_truthy(h, Field::result_retrieved))
            return;
        displaced.push_back(set_field(h, Field::cancelled, true_()));
        displaced.push_back(set_field(h, Field::pending_recording, none()));
        displaced.push_back(
            set_field(h, Field::status,
                      new_simulation_status(name("cancelled"), nb::float_(0.0),
                                            name("Simulation cancelled by user."),
                                            attr(current, "era_number"), elapsed_since_start(h))));
        displaced.push_back(set_field(h, Field::error, cancelled_error()));
        event_set(field(h, Field::done_event));
    });
    return nb::none();
}

} // namespace

// A lock held by a thread that did not follow into this child is held for
// ever: a new one of the kind the `threading` global makes takes its place.
ref renewed_lock_if_held(nb::handle lock) {
    ref is_locked = hook(lock, "locked");
    if (is_locked && nb::bool_(call(is_locked)))
        return call(attr(global(G::threading), "Lock"));
    return ref();
}

void end_run_after_fork(nb::handle self) {
    HandleObject *h = as_handle(self, "_run_pipeline");
    if (ref lock = renewed_lock_if_held(field(h, Field::lock)))
        ref old = set_field(h, Field::lock, lock);
    if (!h->ended->is_set()) {
        ref error = new_exception(PyExc_RuntimeError,
                                  "Simulation pipeline did not survive fork(): it runs on in the "
                                  "parent process only");
        locked(h, [&](Displaced &displaced) {
            // The parent's acquisition of the sync manager is not this process's to release.
            displaced.push_back(set_field(h, Field::pipeline_acquired, false_()));
            if (field_truthy(h, Field::cancelled))
                return;  // cancelled before the fork: it stays cancelled
            ref current = field(h, Field::status);
            displaced.push_back(set_field(h, Field::status,
                                          new_simulation_status(name("error"), nb::float_(0.0),
                                                                format("Error: %S", error.ptr()),
                                                                attr(current, "era_number"),
                                                                elapsed_since_start(h))));
            displaced.push_back(set_field(h, Field::error, error));
        });
    }
    event_set(field(h, Field::acquire_done));
    event_set(field(h, Field::post_acquire_gate));
    event_set(field(h, Field::done_event));
    end_run(self);
}

void after_fork_in_child() {
    end_pipeline_threads_after_fork();
    reset_shared_sync_after_fork();
}

ref handle_outcome(nb::handle self) {
    PyObject *args[] = {self.ptr(), Py_None};
    Call c;
    c.m_values = args;
    c.m_count = 2;
    return handle_result(c);
}

const char *const kHandleInitDoc =
    "Start one simulation on a background (daemon) thread.\n"
    "\n"
    "Returns once the run has taken hold of the sync manager, or after at most\n"
    "0.1 s. simulate_signal() and simulate_strategy() build handles; use those.";

namespace {

// self, then the constructor parameters of the attribute table, in order.
std::vector<Param> init_parameters() {
    std::vector<Param> params{arg("self")};
    for (const HandleAttribute &row : kHandleAttributes)
        if (row.init_parameter)
            params.push_back(row.init_default == Default::required
                                 ? arg(row.parameter())
                                 : arg(row.parameter(), default_object(row.init_default)));
    return params;
}

} // namespace

void define_handle_class() {
    ref cls = make_handle_type("Handle to a running simulation.");
    // The methods, in the order the class defines them.
    auto method = [&](const char *method_name, ref fn) { set_attr(cls, method_name, fn); };
    method("__init__", make_function("SimulationHandle.__init__", init_parameters(), handle_init,
                                     kHandleInitDoc));
    method("_update_status",
           make_function("SimulationHandle._update_status",
                         {arg("self"), arg("phase"), arg("progress", zero_float()),
                          arg("message", empty_str())},
                         handle_update_status));
    method("_check_cancelled",
           make_function("SimulationHandle._check_cancelled", {arg("self")}, handle_check_cancelled,
                         "Check if cancelled and raise CancelledError if so."));
    method("_run_pipeline",
           make_function("SimulationHandle._run_pipeline", {arg("self")}, body_of<run_pipeline>));
    method("status", make_function("SimulationHandle.status", {arg("self")}, handle_status,
                                   "Return current simulation status snapshot."));
    method("_do_release",
           make_function("SimulationHandle._do_release", {arg("self")}, handle_do_release,
                         "Release sync_manager if it was acquired and not yet released."));
    method("result",
           make_function("SimulationHandle.result", {arg("self"), arg("timeout", none())},
                         handle_result,
                         "Block until completion, return BacktestResult or raise exception."));
    method("cancel",
           make_function("SimulationHandle.cancel", {arg("self")}, handle_cancel,
                         "Cancel simulation immediately. No-op if already done/cancelled."));
    define_future_methods(cls);
    g_update_status_body = handle_update_status;
    g_check_cancelled_body = handle_check_cancelled;
    g_do_release_body = handle_do_release;
    set_global(G::SimulationHandle, cls);
}

} // namespace simsig
