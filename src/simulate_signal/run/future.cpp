// The handle as a future: done(), running(), cancelled(), exception(),
// add_done_callback() with the meanings of concurrent.futures.Future, await
// for asyncio, and a repr that says what runs.
//
// Done callbacks are called once, when the run ends: on the pipeline thread
// at the end of its exit block, or at once on the caller's thread when it has
// ended already. Awaiting registers one such callback, which wakes the
// awaiting task's loop through call_soon_threadsafe: no thread waits for the
// task.
#include "run/handle.hpp"

namespace simsig {

namespace {

// ---------------------------------------------------------------------------
// The future protocol

nb::object handle_done(const Call &a) {
    HandleObject *h = as_handle(a[0], "done");
    return nb::bool_(event_is_set(field(h, Field::done_event)));
}

nb::object handle_running(const Call &a) {
    HandleObject *h = as_handle(a[0], "running");
    return nb::bool_(!event_is_set(field(h, Field::done_event)));
}

nb::object handle_cancelled(const Call &a) {
    HandleObject *h = as_handle(a[0], "cancelled");
    bool cancelled = false;
    locked(h, [&](Displaced &) {
        cancelled = is_instance(field(h, Field::error), global("CancelledError"));
    });
    return nb::bool_(cancelled);
}

nb::object handle_exception(const Call &a) {
    HandleObject *h = as_handle(a[0], "exception");
    wait_until_ended(a[0], a[1]);
    ref error;
    locked(h, [&](Displaced &) { error = field(h, Field::error); });
    return error;
}

// fn(handle); an Exception from fn is logged and goes no further.
void call_done_callback(nb::handle fn, nb::handle self) {
    ref exc = catch_exception([&] { call(fn, self); });
    if (exc)
        log_warning("Done callback %r of %r raised: %r", fn, self, exc);
}

nb::object handle_add_done_callback(const Call &a) {
    HandleObject *h = as_handle(a[0], "add_done_callback");
    nb::handle fn = a[1];
    bool now = false;
    locked(h, [&](Displaced &) {
        if (h->callbacks_called) {
            now = true;
            return;
        }
        if (!h->done_callbacks && !(h->done_callbacks = PyList_New(0)))
            throw nb::python_error();
        if (PyList_Append(h->done_callbacks, fn.ptr()))
            throw nb::python_error();
    });
    if (now)
        call_done_callback(fn, a[0]);
    return nb::none();
}

nb::object handle_repr(const Call &a) {
    HandleObject *h = as_handle(a[0], "__repr__");
    ref phase;
    locked(h, [&](Displaced &) { phase = attr(field(h, Field::status), "phase"); });
    const char *kind = equals(field(h, Field::expression_type), "STRATEGY") ? "strategy" : "signal";
    return format("<SimulationHandle %s %S pool=%R phase=%R>", kind,
                  field(h, Field::named_universe).ptr(), field(h, Field::selected_pool_id).ptr(),
                  phase.ptr());
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
    PyObject_HEAD
    PyObject *handle;
    PyObject *loop_future;  // null until the first step
    PyObject *inner;        // loop_future.__await__()
};

PyTypeObject *g_awaiter_type = nullptr;
PyObject *g_wake_loop = nullptr;    // _wake_loop(loop, future, handle), a function of ours
PyObject *g_set_done = nullptr;     // _set_done(future)
PyObject *g_partial = nullptr;      // functools.partial

Awaiter *awaiter(PyObject *self) { return reinterpret_cast<Awaiter *>(self); }

// The pipeline's done callback: wake the awaiting loop, unless it is gone.
nb::object wake_loop(const Call &a) {
    nb::handle loop = a[0], future = a[1];
    if (truthy(call_method(loop, "is_closed")))
        return nb::none();
    ref exc = catch_exception([&] { call_method(loop, "call_soon_threadsafe", g_set_done, future); },
                              PyExc_RuntimeError);  // closed meanwhile
    (void) exc;
    return nb::none();
}

nb::object set_done(const Call &a) {
    if (!truthy(call_method(a[0], "done")))
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
    ref wake = call(nb::handle(g_partial), nb::handle(g_wake_loop), loop, nb::handle(w->loop_future));
    call_method(nb::handle(w->handle), "add_done_callback", wake);
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
        ref stop = nb::steal(PyObject_CallFunctionObjArgs(PyExc_StopIteration, outcome.ptr(), nullptr));
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
        PyObject *result = PyObject_Vectorcall(throw_method, args, (size_t) nargs, nullptr);
        Py_DECREF(throw_method);
        return result;
    }
    if (nargs < 1) {
        PyErr_SetString(PyExc_TypeError, "throw expected at least 1 argument");
        return nullptr;
    }
    if (PyExceptionInstance_Check(args[0]))
        PyErr_SetObject((PyObject *) Py_TYPE(args[0]), args[0]);
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

int awaiter_traverse(PyObject *self, visitproc visit, void *arg) {
    Awaiter *w = awaiter(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(w->handle);
    Py_VISIT(w->loop_future);
    Py_VISIT(w->inner);
    return 0;
}

int awaiter_clear(PyObject *self) {
    Awaiter *w = awaiter(self);
    Py_CLEAR(w->handle);
    Py_CLEAR(w->loop_future);
    Py_CLEAR(w->inner);
    return 0;
}

void awaiter_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    awaiter_clear(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free))(self);
    Py_DECREF(tp);
}

PyObject *awaiter_self(PyObject *self) { return Py_NewRef(self); }

PyMethodDef awaiter_methods[] = {
    {"send", awaiter_send, METH_O, nullptr},
    {"throw", (PyCFunction) (void (*)(void)) awaiter_throw, METH_FASTCALL, nullptr},
    {"close", awaiter_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

void make_awaiter_type() {
    PyType_Slot slots[] = {
        {Py_tp_iter, (void *) awaiter_self},
        {Py_tp_iternext, (void *) awaiter_next},
        {Py_tp_methods, awaiter_methods},
        {Py_tp_traverse, (void *) awaiter_traverse},
        {Py_tp_clear, (void *) awaiter_clear},
        {Py_tp_dealloc, (void *) awaiter_dealloc},
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

void call_done_callbacks(nb::handle self) {
    HandleObject *h = as_handle(self, "_run_pipeline");
    ref callbacks;
    locked(h, [&](Displaced &) {
        h->callbacks_called = true;
        callbacks = nb::steal(h->done_callbacks);
        h->done_callbacks = nullptr;
    });
    if (callbacks)
        for_each_item(callbacks, [&](nb::handle fn) { call_done_callback(fn, self); });
}

void define_future_methods(nb::handle cls) {
    make_awaiter_type();
    g_partial = attr(import_module("functools"), "partial").release().ptr();
    g_wake_loop = make_function("_wake_loop", {arg("loop"), arg("future"), arg("handle")},
                                wake_loop)
                      .release()
                      .ptr();
    g_set_done = make_function("_set_done", {arg("future")}, set_done).release().ptr();
    auto method = [&](const char *method_name, ref fn) { set_attr(cls, method_name, fn); };
    method("done", make_function("SimulationHandle.done", {arg("self")}, handle_done,
                                 "Return True once the run has ended or was cancelled."));
    method("running", make_function("SimulationHandle.running", {arg("self")}, handle_running,
                                    "Return True while the run has not ended."));
    method("cancelled",
           make_function("SimulationHandle.cancelled", {arg("self")}, handle_cancelled,
                         "Return True if the run's outcome is its cancellation."));
    method("exception",
           make_function("SimulationHandle.exception", {arg("self"), kwonly("timeout", none())},
                         handle_exception,
                         "Return the run's error (CancelledError after a cancel) or None.\n\n"
                         "Waits for the end of the run, at most `timeout` seconds when given\n"
                         "(TimeoutError then). Records nothing and releases nothing."));
    method("add_done_callback",
           make_function("SimulationHandle.add_done_callback", {arg("self"), arg("fn")},
                         handle_add_done_callback,
                         "Call fn(handle) once when the run ends (at once if it has ended).\n\n"
                         "It runs on the pipeline thread, or on the caller's thread when the run\n"
                         "has ended already; an exception it raises is logged and ignored."));
    method("__await__",
           make_function("SimulationHandle.__await__", {arg("self")}, handle_await,
                         "await handle: the result, or the run's error raised. Cancelling the\n"
                         "awaiting task cancels the run."));
    method("__repr__", make_function("SimulationHandle.__repr__", {arg("self")}, handle_repr));
}

} // namespace simsig
