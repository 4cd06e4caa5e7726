// SimulationHandle: the object a caller holds while a simulation runs.
//
// Shared state between the caller's threads and the pipeline thread lives in
// the instance __dict__ and is guarded by the handle's threading.Lock
// `_lock`: _status, _result, _error, _cancelled, _pending_recording,
// _result_retrieved and _pipeline_acquired (and _released, which only
// _do_release writes, with result() holding the lock). _acquired is written by
// the pipeline without it. Waits go through the Python Lock/Event/Thread
// objects, so the GIL is released while a thread waits; no C++ mutex is ever
// held.
#include "frame/records.hpp"
#include "run/handle.hpp"
#include "run/pipeline.hpp"
#include "run/run.hpp"

namespace simsig {

// ---------------------------------------------------------------------------
// Shared pieces (declared in run/handle.hpp)

namespace {
// type(value).__name__
ref name_of_type(nb::handle value) {
    return attr(nb::handle((PyObject *) Py_TYPE(value.ptr())), "__name__");
}
} // namespace

void update_status(nb::handle self, const char *phase, double progress, const char *message) {
    call_method(self, "_update_status", name(phase), py_float(progress), name(message));
}

void update_status(nb::handle self, const char *phase, nb::handle progress, nb::handle message) {
    call_method(self, "_update_status", name(phase), progress, message);
}

void check_cancelled(nb::handle self) { call_method(self, "_check_cancelled"); }

namespace {

// ---------------------------------------------------------------------------
// Small pieces of the handle

ref lock_of(nb::handle self) { return attr(self, "_lock"); }

// time.monotonic() - self._start_time
ref elapsed_since_start(nb::handle self) {
    ref now = call(module_attr(global("time"), "monotonic"));
    PyObject *elapsed = PyNumber_Subtract(now.ptr(), attr(self, "_start_time").ptr());
    if (!elapsed)
        throw nb::python_error();
    return ref(nb::steal(elapsed));
}

ref new_status(nb::handle phase, nb::handle progress, nb::handle message, nb::handle era_number,
               nb::handle elapsed_s) {
    return new_simulation_status(phase, progress, message, era_number, elapsed_s);
}

ref cancelled_error() { return new_exception(global("CancelledError"), "Simulation cancelled"); }

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

// ---------------------------------------------------------------------------
// Constructor

ref initial_era_number() {
    ref era_config = global("_era_config");
    if (is_none(era_config))
        return py_int(0);
    return attr(era_config, "get")("era_number", 0);
}

void set_parameters(nb::handle self, const Call &a) {
    set_attr(self, "_graph", helper("_require_typed_runtime_graph", a[1]));
    set_attr(self, "_named_universe", a[2]);
    set_attr(self, "_universe_rule_id", none());
    set_attr(self, "_expression_type", a[3]);
    set_attr(self, "_metaparameters", a[4]);
    set_attr(self, "_include_correlation", a[5]);
    set_attr(self, "_include_mi", a[6]);
    set_attr(self, "_record", a[7]);
    set_attr(self, "_return_series", a[8]);
    set_attr(self, "_return_weights", a[9]);
    nb::handle expression_type = a[3];
    set_attr(self, "_selected_pool_id",
             helper("_validate_selected_pool_id", a[10],
                    helper("_selected_pool_field_name", expression_type)));
    nb::handle kind = a[11];
    if (is_none(kind))
        kind = name(equals(expression_type, "STRATEGY") ? "strategy" : "signal");
    set_attr(self, "_selected_pool_kind", kind);
    set_attr(self, "_fail_fast", a[12]);
}

void create_shared_state(nb::handle self, nb::handle era_number) {
    ref threading = global("threading");
    set_attr(self, "_lock", attr(threading, "Lock")());
    set_attr(self, "_status", new_status(name("syncing"), py_float(0.0),
                                         name("Syncing data from server..."), era_number,
                                         py_float(0.0)));
    set_attr(self, "_result", none());
    set_attr(self, "_error", none());
    set_attr(self, "_cancelled", false_());
    set_attr(self, "_done_event", attr(global("threading"), "Event")());
    set_attr(self, "_start_time", attr(global("time"), "monotonic")());
    set_attr(self, "_acquired", false_());
    set_attr(self, "_pending_recording", none());
    set_attr(self, "_result_retrieved", false_());
    set_attr(self, "_pipeline_acquired", false_());
    set_attr(self, "_released", false_());
    set_attr(self, "_acquire_done", attr(global("threading"), "Event")());
    set_attr(self, "_post_acquire_gate", attr(global("threading"), "Event")());
}

// The constructor returns as soon as the pipeline holds the sync manager, and
// after at most 0.1 s otherwise; the pipeline waits at most 5 s for the gate.
void start_pipeline(nb::handle self) {
    ref thread = call(attr(global("threading"), "Thread"),
                      kwarg("target", attr(self, "_run_pipeline")), kwarg("daemon", true_()));
    set_attr(self, "_thread", thread);
    attr(thread, "start")();
    call_method(attr(self, "_acquire_done"), "wait", kwarg("timeout", py_float(0.1)));
    attr(attr(self, "_post_acquire_gate"), "set")();
}

nb::object handle_init(const Call &a) {
    nb::handle self = a[0];
    set_parameters(self, a);
    ref era_number = initial_era_number();
    create_shared_state(self, era_number);
    start_pipeline(self);
    return nb::none();
}

// ---------------------------------------------------------------------------
// Methods

// A cancelled run keeps the "cancelled" status that cancel() gave it: the
// pipeline may still report a phase on its way to the next checkpoint, and
// its final "complete" or "error" must not hide the cancellation that decides
// what result() raises.
nb::object handle_update_status(const Call &a) {
    nb::handle self = a[0], phase = a[1], progress = a[2], message = a[3];
    locked(lock_of(self), [&] {
        if (truthy(attr(self, "_cancelled")))
            return;
        ref era_number = attr(attr(self, "_status"), "era_number");
        set_attr(self, "_status",
                 new_status(phase, progress, message, era_number, elapsed_since_start(self)));
    });
    ref set_phase = global("_set_phase");
    if (!is_none(set_phase)) {
        ref exc = catch_exception([&] { set_phase(phase); });
        if (exc)
            log_warning("Failed to set simulation phase '%s': %s", phase, exc);
    }
    return nb::none();
}

nb::object handle_check_cancelled(const Call &a) {
    nb::handle self = a[0];
    locked(lock_of(self), [&] {
        if (truthy(attr(self, "_cancelled")))
            raise(global("CancelledError"), "Simulation cancelled");
    });
    return nb::none();
}

nb::object handle_status(const Call &a) {
    nb::handle self = a[0];
    ref snapshot;
    locked(lock_of(self), [&] {
        ref current = attr(self, "_status");
        snapshot = status_snapshot(current, elapsed_since_start(self));
    });
    return snapshot;
}

nb::object handle_do_release(const Call &a) {
    nb::handle self = a[0];
    if (truthy(attr(self, "_pipeline_acquired")) && !truthy(attr(self, "_released"))) {
        set_attr(self, "_released", true_());
        attr(global("_sync_manager"), "release")();
    }
    return nb::none();
}

void record_pending(nb::handle self) {
    ref pending = attr(self, "_pending_recording");
    if (is_none(pending))
        return;
    std::vector<ref> parts = unpack(pending, 2);
    set_attr(self, "_pending_recording", none());
    ref tracker = global("_search_tracker");
    ref record = equals(parts[0], "SIGNAL") ? attr(tracker, "record_signal_evaluation")
                                            : attr(tracker, "record_strategy_evaluation");
    call_with_mapping(record, parts[1]);
}

nb::object handle_result(const Call &a) {
    nb::handle self = a[0];
    bool complete = false;
    locked(lock_of(self), [&] {
        complete = equals(attr(attr(self, "_status"), "phase"), "complete") &&
                   !is_none(attr(self, "_result")) && is_none(attr(self, "_error"));
    });
    if (!complete)
        attr(attr(self, "_thread"), "join")();

    // The tracker and release() are called with the lock held; neither may
    // call back into the handle.
    ref result;
    locked(lock_of(self), [&] {
        ref error = attr(self, "_error");
        if (!is_none(error)) {
            attr(self, "_do_release")();
            raise_object(error);
        }
        record_pending(self);
        set_attr(self, "_result_retrieved", true_());
        attr(self, "_do_release")();
        result = attr(self, "_result");
    });
    return result;
}

nb::object handle_cancel(const Call &a) {
    nb::handle self = a[0];
    locked(lock_of(self), [&] {
        ref current = attr(self, "_status");
        if (equals(attr(current, "phase"), "cancelled"))
            return;
        if (truthy(attr(self, "_result_retrieved")))
            return;
        set_attr(self, "_cancelled", true_());
        set_attr(self, "_pending_recording", none());
        set_attr(self, "_status",
                 new_status(name("cancelled"), py_float(0.0),
                            name("Simulation cancelled by user."), attr(current, "era_number"),
                            elapsed_since_start(self)));
        set_attr(self, "_error", cancelled_error());
        attr(attr(self, "_done_event"), "set")();
    });
    return nb::none();
}

// ---------------------------------------------------------------------------
// The pipeline driver

// The stretches in run order. An Exception raised by any of them ends the
// run and is returned; anything else (KeyboardInterrupt, SystemExit)
// propagates.
ref run_stretches(Run &run) {
    try {
        acquire_and_sync(run);
        set_up_runtime(run);
        validate_and_configure(run);
        evaluate(run);
        backtest_and_gate(run);
        pool_gates(run);
        finish(run);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        return ref(nb::borrow(e.value()));
    } catch (std::exception &e) {
        // A C++ failure inside a stretch ends the run like any Python error.
        return new_exception(PyExc_RuntimeError, e.what());
    }
    return ref();
}

bool cancelled(nb::handle self) {
    bool flag = false;
    locked(lock_of(self), [&] { flag = truthy(attr(self, "_cancelled")); });
    return flag;
}

// except CancelledError / except Exception as e. A run cancelled before it
// failed ends as cancelled: result() then raises CancelledError, as status()
// says.
void record_failure(nb::handle self, nb::handle error) {
    if (is_instance(error, global("CancelledError")) || cancelled(self)) {
        update_status(self, "cancelled", 0.0, "Simulation cancelled by user.");
        locked(lock_of(self), [&] { set_attr(self, "_error", cancelled_error()); });
    } else {
        update_status(self, "error", py_float(0.0), format("Error: %S", error.ptr()));
        locked(lock_of(self), [&] {
            // A cancel() between the status and this line keeps its CancelledError.
            if (!truthy(attr(self, "_cancelled")))
                set_attr(self, "_error", error);
        });
    }
}

// Always runs: records the acquisition for _do_release and wakes every waiter.
void exit_block(const Run &run) {
    nb::handle self = run.self;
    locked(lock_of(self), [&] { set_attr(self, "_pipeline_acquired", py_bool(run.acquired)); });
    attr(attr(self, "_acquire_done"), "set")();
    attr(attr(self, "_post_acquire_gate"), "set")();
    attr(attr(self, "_done_event"), "set")();
}

nb::object handle_run_pipeline(const Call &a) {
    Run run;
    run.self = a[0];
    run.acquired = false;
    // A BaseException that is not an Exception leaves after the exit block.
    // Held as a ref (never as a C++ exception object) so that a forced unwind
    // at interpreter exit releases nothing without the GIL.
    ref escaping;
    try {
        ref error = run_stretches(run);
        if (error)
            record_failure(run.self, error);
    } catch (abi::__forced_unwind &) {
        throw;
    } catch (nb::python_error &e) {
        escaping = ref(nb::borrow(e.value()));
    }
    exit_block(run);
    if (escaping)
        raise_object(escaping);
    return nb::none();
}

} // namespace

const char *const kHandleInitDoc =
    "Start one simulation on a background (daemon) thread.\n"
    "\n"
    "Returns once the run has taken hold of the sync manager, or after at most\n"
    "0.1 s. simulate_signal() and simulate_strategy() build handles; use those.";

void define_handle_class() {
    nb::dict ns;
    ns["__doc__"] = "Handle to a running simulation.";
    ns["__init__"] = make_function(
        "SimulationHandle.__init__",
        {arg("self"), arg("graph"), arg("named_universe"), arg("expression_type"),
         arg("metaparameters", none()), arg("include_correlation", true_()),
         arg("include_mi", true_()), arg("record", true_()), arg("return_series", false_()),
         arg("return_weights", false_()), arg("selected_pool_id", none()),
         arg("selected_pool_kind", none()), arg("fail_fast", true_())},
        handle_init, kHandleInitDoc);
    ns["_update_status"] = make_function(
        "SimulationHandle._update_status",
        {arg("self"), arg("phase"), arg("progress", zero_float()), arg("message", empty_str())},
        handle_update_status);
    ns["_check_cancelled"] =
        make_function("SimulationHandle._check_cancelled", {arg("self")}, handle_check_cancelled,
                      "Check if cancelled and raise CancelledError if so.");
    ns["_run_pipeline"] =
        make_function("SimulationHandle._run_pipeline", {arg("self")}, handle_run_pipeline);
    ns["status"] = make_function("SimulationHandle.status", {arg("self")}, handle_status,
                                 "Return current simulation status snapshot.");
    ns["_do_release"] =
        make_function("SimulationHandle._do_release", {arg("self")}, handle_do_release,
                      "Release sync_manager if it was acquired and not yet released.");
    ns["result"] =
        make_function("SimulationHandle.result", {arg("self")}, handle_result,
                      "Block until completion, return BacktestResult or raise exception.");
    ns["cancel"] = make_function("SimulationHandle.cancel", {arg("self")}, handle_cancel,
                                 "Cancel simulation immediately. No-op if already done/cancelled.");
    set_global("SimulationHandle", make_class("SimulationHandle", nb::make_tuple(nb::handle(
                                                  (PyObject *) &PyBaseObject_Type)),
                                              ns));
}

} // namespace simsig
