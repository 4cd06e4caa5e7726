// The handle as a future, with the meanings concurrent.futures.Future gives
// them: done(), running(), cancelled(), exception(), add_done_callback() and
// remove_done_callback(), await for asyncio, future() for the standard
// library's own tools, and a repr that says what runs.
//
// One moment ends a run: the pipeline has finished its exit block, or the
// result is complete (result() needs no wait then). From that moment done()
// is True, result() and exception() return without waiting on any thread,
// and add_done_callback calls at once. The callbacks registered before it are
// called right after it on the pipeline thread, once each and in the order
// added: first the module's own wake-ups (awaiting tasks, future()), then
// the callers'. Whatever a callback raises is logged and stops nothing.
//
// Ordering without a lock: a registration reads the ended flag and appends
// to its list with no Python code in between, and the pipeline sets the flag
// before it takes the lists; with the GIL held by both, each callback is
// either taken by the pipeline or called at once by its registration.
#include "frame/globals.hpp"
#include "run/handle/handle.hpp"
#include "frame/heap_type.hpp"

#include <algorithm>

namespace simsig {

namespace {

PyObject *g_allocate_lock = nullptr;  // _thread.allocate_lock
PyObject *g_partial = nullptr;        // functools.partial

// The seconds to wait for, read as concurrent.futures.Future.result reads its
// timeout (through Condition.wait): not above zero (nan included) polls; any
// other value must be what Lock.acquire(True, timeout) takes, with the same
// errors for the rest.
double timeout_seconds(nb::handle timeout) {
    int positive = PyObject_RichCompareBool(timeout.ptr(), nb::int_(0).ptr(), Py_GT);
    if (positive < 0)
        throw nb::python_error();
    if (!positive)
        return 0.0;
    ref lock = call(nb::handle(g_allocate_lock));
    call_method(lock, "acquire", true_(), timeout);  // an unlocked lock: checks and returns
    call_method(lock, "release");
    double seconds = PyFloat_AsDouble(timeout.ptr());
    if (seconds == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return seconds < 1e9 ? seconds : 1e9;  // about 31 years: a steady-clock deadline still fits
}

// ---------------------------------------------------------------------------
// Callbacks

// Logs what a callback raised; a logger that fails itself is reported as
// unraisable, never to the pipeline.
void log_callback_failure(nb::handle fn, nb::handle self, nb::handle exc) {
    try {
        log_warning("Done callback %r of %r raised: %r", fn, self, exc);
    } catch (nb::python_error &e) {
        e.discard_as_unraisable(fn);
    }
}

// fn(handle); anything it raises (BaseException included) is logged and goes
// no further. Returns what it raised, for the caller that registered it.
ref call_protected(nb::handle fn, nb::handle self) {
    try {
        call(fn, self);
    } catch (nb::python_error &e) {
        ref exc(nb::borrow(e.value()));
        e.restore();
        PyErr_Clear();
        log_callback_failure(fn, self, exc);
        return exc;
    }
    return ref();
}

// A caller's callback at the end of the run: on the loop it was registered
// from, or here. A loop that has closed meanwhile drops it, with a warning.
void deliver(nb::handle entry, nb::handle self) {
    nb::handle fn = PyTuple_GetItem(entry.ptr(), 0), loop = PyTuple_GetItem(entry.ptr(), 1);
    if (loop.is_none()) {
        call_protected(fn, self);
        return;
    }
    try {
        call_method(loop, "call_soon_threadsafe", fn, self);
    } catch (nb::python_error &e) {
        ref exc(nb::borrow(e.value()));
        e.restore();
        PyErr_Clear();
        log_callback_failure(fn, self, exc);
    }
}

// The event loop running on this thread, if asyncio is loaded and runs one.
ref running_loop() {
    ref asyncio = loaded_module(name("asyncio"));
    if (!asyncio)
        return ref();
    ref loop = call(attr(asyncio, "_get_running_loop"));
    return loop.is_none() ? ref() : loop;
}

// Appends `item` to *list (made when missing) unless the run has ended;
// true when appended. `fresh` is an empty list made beforehand: nothing here
// allocates an object or runs Python between the test and the append.
bool append_unless_ended(HandleObject *h, PyObject *&list, nb::handle fresh, nb::handle item) {
    if (h->ended->is_set())
        return false;
    if (!list)
        list = fresh.inc_ref().ptr();
    if (PyList_Append(list, item.ptr()))
        throw nb::python_error();
    return true;
}

// Registers fn(handle) to be called when the run ends, at once if it has.
// Wake-ups are the module's own and come before the callers' callbacks.
void add_wakeup(nb::handle self, nb::handle fn) {
    HandleObject *h = as_handle(self, "__await__");
    ref fresh = nb::list();
    run_ended(self);
    if (!append_unless_ended(h, h->wakeups, fresh, fn))
        call_protected(fn, self);
}

// ---------------------------------------------------------------------------
// The future protocol

nb::object handle_done(const Call &a) { return nb::bool_(run_ended(a[0])); }

nb::object handle_running(const Call &a) { return nb::bool_(!run_ended(a[0])); }

nb::object handle_cancelled(const Call &a) {
    HandleObject *h = as_handle(a[0], "cancelled");
    if (!run_ended(a[0]))
        return nb::bool_(false);
    bool cancelled = false;
    locked(h, [&](Displaced &) {
        cancelled = is_instance(field(h, Field::error), global(G::CancelledError));
    });
    return nb::bool_(cancelled);
}

nb::object handle_exception(const Call &a) {
    HandleObject *h = as_handle(a[0], "exception");
    if (!result_complete(h))
        wait_until_ended(a[0], a[1]);
    ref error;
    locked(h, [&](Displaced &) { error = field(h, Field::error); });
    return error;
}

// A callback registered from a running event loop is called on that loop; a
// KeyboardInterrupt or SystemExit from one called at once reaches the caller.
nb::object handle_add_done_callback(const Call &a) {
    HandleObject *h = as_handle(a[0], "add_done_callback");
    nb::handle fn = a[1];
    if (!PyCallable_Check(fn.ptr()))
        raise(PyExc_TypeError, format("the done callback must be callable, not %R",
                                      nb::handle((PyObject *)Py_TYPE(fn.ptr())).ptr()));
    ref loop = running_loop();
    ref entry = nb::make_tuple(fn, loop ? nb::handle(loop) : nb::handle(Py_None));
    ref fresh = nb::list();
    run_ended(a[0]);
    if (append_unless_ended(h, h->done_callbacks, fresh, entry))
        return nb::none();
    ref exc = call_protected(fn, a[0]);
    if (exc && !PyErr_GivenExceptionMatches(exc.ptr(), PyExc_Exception))
        raise_object(exc);
    return nb::none();
}

// Removes every registration of fn (compared with ==, as asyncio does) that
// has not been called; returns how many it removed.
nb::object handle_remove_done_callback(const Call &a) {
    HandleObject *h = as_handle(a[0], "remove_done_callback");
    if (!h->done_callbacks)
        return nb::int_(0);
    ref snapshot = nb::steal(PyList_GetSlice(h->done_callbacks, 0, PY_SSIZE_T_MAX));
    if (!snapshot)
        throw nb::python_error();
    std::vector<PyObject *> matched;  // borrowed from snapshot, which outlives the removal
    for (nb::handle entry : snapshot) {
        int same = PyObject_RichCompareBool(PyTuple_GetItem(entry.ptr(), 0), a[1].ptr(), Py_EQ);
        if (same < 0)
            throw nb::python_error();
        if (same)
            matched.push_back(entry.ptr());
    }
    // From here to the end nothing runs Python: the entries removed are still
    // held by the snapshot, so deleting them frees nothing.
    PyObject *list = h->done_callbacks;
    long removed = 0;
    for (Py_ssize_t i = list ? PyList_Size(list) - 1 : -1; i >= 0; --i) {
        PyObject *entry = PyList_GetItem(list, i);
        if (std::find(matched.begin(), matched.end(), entry) == matched.end())
            continue;
        if (PyList_SetSlice(list, i, i + 1, nullptr))
            throw nb::python_error();
        ++removed;
    }
    return nb::int_(removed);
}

nb::object handle_repr(const Call &a) {
    HandleObject *h = as_handle(a[0], "__repr__");
    ref phase;
    locked(h, [&](Displaced &) { phase = attr(field(h, Field::status), "phase"); });
    const char *kind = is_strategy(field(h, Field::expression_type)) ? "strategy" : "signal";
    return format("<SimulationHandle %s %S pool=%R phase=%R>", kind,
                  field(h, Field::named_universe).ptr(), field(h, Field::selected_pool_id).ptr(),
                  phase.ptr());
}

// ---------------------------------------------------------------------------
// future(): a concurrent.futures.Future tied to the run
//
// It stays pending while the run goes on, so that its own cancel() can
// cancel the run. When the run ends it is completed with what result() gives
// (that call records and releases), or cancelled with the run.

PyObject *g_complete_future = nullptr;  // _complete_future(future, handle)
PyObject *g_cancel_run = nullptr;       // _cancel_run(handle, future)

nb::object complete_future(const Call &a) {
    nb::handle future = a[0], self = a[1];
    if (nb::bool_(call_method(future, "done")))
        return nb::none();  // cancelled through the future itself
    if (nb::bool_(call_method(self, "cancelled"))) {
        call_method(future, "cancel");
        return nb::none();
    }
    ref value, error = catch_exception([&] { value = call_method(self, "result"); });
    // A cancel() of the future meanwhile makes set_* raise InvalidStateError;
    // the future's outcome is then its cancellation.
    ref late = catch_exception([&] {
        if (error)
            call_method(future, "set_exception", error);
        else
            call_method(future, "set_result", value);
    });
    (void)late;
    return nb::none();
}

// The future's own done callback: a future cancelled (by its owner, or with
// the run) is notified as an executor notifies it, so that
// concurrent.futures.wait and as_completed count it as done; the run is
// cancelled with it.
nb::object cancel_run(const Call &a) {
    if (nb::bool_(call_method(a[1], "cancelled"))) {
        call_method(a[1], "set_running_or_notify_cancel");
        call_method(a[0], "cancel");
    }
    return nb::none();
}

nb::object handle_future(const Call &a) {
    HandleObject *h = as_handle(a[0], "future");
    if (h->future)
        return nb::borrow(h->future);
    ref future = call(attr(import_module("concurrent.futures"), "Future"));
    if (h->future)  // made meanwhile by another thread (the call above ran Python)
        return nb::borrow(h->future);
    h->future = future.inc_ref().ptr();
    call_method(future, "add_done_callback",
                call(nb::handle(g_partial), nb::handle(g_cancel_run), a[0]));
    add_wakeup(a[0], call(nb::handle(g_partial), nb::handle(g_complete_future), future));
    return future;
}

// ---------------------------------------------------------------------------
// await handle
//
// The awaiter is the iterator __await__ returns. Its first step makes a
// future on the running loop, asks the handle to wake it when the run ends,
// and then yields what that future's own __await__ yields, so the task waits
// on it. Once woken it returns the handle's outcome: the result, or the run's
// error raised. A task cancelled while it waits cancels the run.

struct Awaiter {
    PyObject_HEAD PyObject *handle;
    PyObject *loop_future;  // null until the first step
    PyObject *inner;        // loop_future.__await__()
};
using AwaiterSlots =
    HeapTypeSlots<Awaiter, &Awaiter::handle, &Awaiter::loop_future, &Awaiter::inner>;

PyTypeObject *g_awaiter_type = nullptr;
PyObject *g_wake_loop = nullptr;  // _wake_loop(loop, future, handle), a function of ours
PyObject *g_set_done = nullptr;   // _set_done(future)

Awaiter *awaiter(PyObject *self) { return reinterpret_cast<Awaiter *>(self); }

// The pipeline's done callback: wake the awaiting loop, unless it is gone.
nb::object wake_loop(const Call &a) {
    nb::handle loop = a[0], future = a[1];
    if (nb::bool_(call_method(loop, "is_closed")))
        return nb::none();
    ref exc =
        catch_exception([&] { call_method(loop, "call_soon_threadsafe", g_set_done, future); },
                        PyExc_RuntimeError);  // closed meanwhile
    (void)exc;
    return nb::none();
}

nb::object set_done(const Call &a) {
    if (!nb::bool_(call_method(a[0], "done")))
        call_method(a[0], "set_result", none());
    return nb::none();
}

void start_waiting(Awaiter *w) {
    ref asyncio = import_module("asyncio");
    ref loop = call_method(asyncio, "get_running_loop");
    ref future = call_method(loop, "create_future");
    ref inner = call_method(future, "__await__");
    w->loop_future = future.release().ptr();
    w->inner = inner.release().ptr();
    ref wake =
        call(nb::handle(g_partial), nb::handle(g_wake_loop), loop, nb::handle(w->loop_future));
    add_wakeup(nb::handle(w->handle), wake);
}

// One step with `value` sent in. Null with StopIteration(outcome) set at the
// end; the yielded object otherwise.
PyObject *step(PyObject *self, PyObject *value) {
    Awaiter *w = awaiter(self);
    try {
        if (!w->inner)
            start_waiting(w);
        PyObject *yielded = nullptr;
        if (!value || value == Py_None)
            yielded = PyIter_Next(w->inner);
        else
            yielded = PyObject_CallMethodObjArgs(w->inner, name("send").ptr(), value, nullptr);
        if (yielded)
            return yielded;
        if (PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_StopIteration))
                return nullptr;
            PyErr_Clear();
        }
        ref outcome = handle_outcome(w->handle);
        ref stop =
            nb::steal(PyObject_CallFunctionObjArgs(PyExc_StopIteration, outcome.ptr(), nullptr));
        if (!stop)
            return nullptr;
        PyErr_SetObject(PyExc_StopIteration, stop.ptr());
        return nullptr;
    } catch (nb::python_error &e) {
        e.restore();
        return nullptr;
    }
}

PyObject *awaiter_next(PyObject *self) { return step(self, nullptr); }

PyObject *awaiter_send(PyObject *self, PyObject *value) { return step(self, value); }

// throw(exc) / throw(type[, value[, tb]]): the awaiting task is being
// cancelled (or interrupted): the run is cancelled, and the exception goes
// on through the loop future's iterator, as if the task had awaited it.
PyObject *awaiter_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    Awaiter *w = awaiter(self);
    try {
        call_method(nb::handle(w->handle), "cancel");
    } catch (nb::python_error &e) {
        e.restore();
        return nullptr;
    }
    if (w->inner) {
        PyObject *throw_method = PyObject_GetAttr(w->inner, name("throw").ptr());
        if (!throw_method)
            return nullptr;
        PyObject *result = PyObject_Vectorcall(throw_method, args, (size_t)nargs, nullptr);
        Py_DECREF(throw_method);
        return result;
    }
    if (nargs < 1) {
        PyErr_SetString(PyExc_TypeError, "throw expected at least 1 argument");
        return nullptr;
    }
    if (PyExceptionInstance_Check(args[0]))
        PyErr_SetObject((PyObject *)Py_TYPE(args[0]), args[0]);
    else
        PyErr_SetObject(args[0], nargs > 1 ? args[1] : Py_None);
    return nullptr;
}

PyObject *awaiter_close(PyObject *self, PyObject *) {
    Awaiter *w = awaiter(self);
    if (w->inner) {
        PyObject *r = PyObject_CallMethodObjArgs(w->inner, name("close").ptr(), nullptr);
        if (!r)
            return nullptr;
        Py_DECREF(r);
    }
    Py_RETURN_NONE;
}

PyObject *awaiter_self(PyObject *self) { return Py_NewRef(self); }

PyMethodDef awaiter_methods[] = {
    {"send", awaiter_send, METH_O, nullptr},
    {"throw", (PyCFunction)(void (*)(void))awaiter_throw, METH_FASTCALL, nullptr},
    {"close", awaiter_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

void make_awaiter_type() {
    PyType_Slot slots[] = {
        {Py_tp_iter, (void *)awaiter_self},
        {Py_tp_iternext, (void *)awaiter_next},
        {Py_tp_methods, awaiter_methods},
        {Py_tp_traverse, (void *)AwaiterSlots::traverse},
        {Py_tp_clear, (void *)AwaiterSlots::clear},
        {Py_tp_dealloc, (void *)AwaiterSlots::dealloc},
        {0, nullptr},
    };
    PyType_Spec spec = {"tallowmere.simulate_signal.SimulationAwaiter", sizeof(Awaiter), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                        slots};
    PyObject *type = PyType_FromSpec(&spec);
    if (!type)
        throw nb::python_error();
    g_awaiter_type = reinterpret_cast<PyTypeObject *>(type);
}

nb::object handle_await(const Call &a) {
    as_handle(a[0], "__await__");
    auto *w = PyObject_GC_New(Awaiter, g_awaiter_type);
    if (!w)
        throw nb::python_error();
    w->handle = a[0].inc_ref().ptr();
    w->loop_future = nullptr;
    w->inner = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject *>(w));
    return nb::steal(reinterpret_cast<PyObject *>(w));
}

} // namespace

bool run_ended(nb::handle self) {
    HandleObject *h = as_handle(self, "done");
    return h->ended->is_set() || result_complete(h);
}

void wait_until_ended(nb::handle self, nb::handle timeout) {
    HandleObject *h = as_handle(self, "result");
    if (h->ended->is_set())
        return;
    field(h, Field::thread);  // AttributeError, not a wait, for a handle never started
    double limit = timeout.is_none() ? -1.0 : timeout_seconds(timeout);
    if (!(limit == 0.0 ? h->ended->is_set() : h->ended->wait(limit)))
        raise(PyExc_TimeoutError, "the simulation has not ended within the timeout");
}

void end_run(nb::handle self) {
    HandleObject *h = as_handle(self, "_run_pipeline");
    h->ended->set();
    ref wakeups = nb::steal(h->wakeups), callbacks = nb::steal(h->done_callbacks);
    h->wakeups = h->done_callbacks = nullptr;
    if (wakeups)
        for (nb::handle fn : wakeups)
            call_protected(fn, self);
    if (callbacks)
        for (nb::handle entry : callbacks)
            deliver(entry, self);
}

void define_future_methods(nb::handle cls) {
    make_awaiter_type();
    g_partial = attr(import_module("functools"), "partial").release().ptr();
    g_allocate_lock = attr(import_module("_thread"), "allocate_lock").release().ptr();
    g_wake_loop =
        make_function("_wake_loop", {arg("loop"), arg("future"), arg("handle")}, wake_loop)
            .release()
            .ptr();
    g_set_done = make_function("_set_done", {arg("future")}, set_done).release().ptr();
    g_complete_future =
        make_function("_complete_future", {arg("future"), arg("handle")}, complete_future)
            .release()
            .ptr();
    g_cancel_run =
        make_function("_cancel_run", {arg("handle"), arg("future")}, cancel_run).release().ptr();
    auto method = [&](const char *method_name, ref fn) { set_attr(cls, method_name, fn); };
    method("done",
           make_function(
               "SimulationHandle.done", {arg("self")}, handle_done,
               "Return True once the run has ended (pipeline finished, or result complete).\n\n"
               "A cancel() of a running run counts once its pipeline has noticed it."));
    method("running", make_function("SimulationHandle.running", {arg("self")}, handle_running,
                                    "Return True while the run has not ended (not done())."));
    method("cancelled",
           make_function("SimulationHandle.cancelled", {arg("self")}, handle_cancelled,
                         "Return True if the run has ended and its outcome is its cancellation."));
    method("exception",
           make_function("SimulationHandle.exception", {arg("self"), arg("timeout", none())},
                         handle_exception,
                         "Return the run's error (CancelledError after a cancel) or None.\n\n"
                         "Waits for the end of the run, at most `timeout` seconds when given\n"
                         "(TimeoutError then; the timeout is read as\n"
                         "concurrent.futures.Future.result reads it). Records nothing and\n"
                         "releases nothing."));
    method("add_done_callback",
           make_function("SimulationHandle.add_done_callback", {arg("self"), arg("fn")},
                         handle_add_done_callback,
                         "Call fn(handle) once when the run ends (at once if it has ended).\n\n"
                         "Callbacks run in the order added, on the pipeline thread, or on the\n"
                         "event loop they were added from (through call_soon_threadsafe).\n"
                         "Whatever one raises is logged and stops no other callback. fn must\n"
                         "be callable (TypeError)."));
    method("remove_done_callback",
           make_function("SimulationHandle.remove_done_callback", {arg("self"), arg("fn")},
                         handle_remove_done_callback,
                         "Remove every registration of fn not yet called; return how many."));
    method("future",
           make_function("SimulationHandle.future", {arg("self")}, handle_future,
                         "A concurrent.futures.Future tied to the run (the same one each call).\n\n"
                         "When the run ends it holds what result() gives (that call records\n"
                         "and releases, as result() does) or the run's error; a cancelled run\n"
                         "leaves it cancelled, and cancelling it cancels the run."));
    method("__await__",
           make_function("SimulationHandle.__await__", {arg("self")}, handle_await,
                         "await handle: the result, or the run's error raised. Cancelling the\n"
                         "awaiting task cancels the run."));
    method("__repr__", make_function("SimulationHandle.__repr__", {arg("self")}, handle_repr));
}

} // namespace simsig
