// The pipeline's thread: a native thread with its own thread state, exposed
// as the handle's `_thread` with the part of threading.Thread's interface a
// caller needs (join, is_alive, daemon, ident, name).
//
// Why not threading.Thread: its Python-level construction, start handshake
// and bootstrap cost more than the rest of a short run. This thread is a
// daemon in threading's sense: the threading module does not know it, so
// interpreter exit never waits for it, and at exit the interpreter ends it
// like any daemon thread (see frame/exit_safe.h). An exception that escapes
// the target goes to threading.excepthook, as it would from a Thread.
#include "run/handle.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace simsig {

namespace {

struct Completion {
    std::mutex mutex;
    std::condition_variable finished_cv;
    bool finished = false;  // guarded by mutex
};

struct ThreadObject {
    PyObject_HEAD
    PyObject *target;        // until the thread takes it (GIL)
    unsigned long ident;     // 0 until the thread runs (GIL)
    bool started;            // (GIL)
    Completion *completion;  // owned; outlives every waiter (they hold the object)
};

PyTypeObject *g_thread_type = nullptr;

ThreadObject *as_thread(PyObject *self) { return reinterpret_cast<ThreadObject *>(self); }

bool finished(ThreadObject *t) {
    std::lock_guard<std::mutex> guard(t->completion->mutex);
    return t->completion->finished;
}

// threading's handling of an exception that ends a thread's target: it goes
// to threading.excepthook (whose default is silent for SystemExit).
void report_uncaught(PyObject *thread) {
    PyObject *exc = PyErr_GetRaisedException();
    ref failure = catch_exception([&] {
        ref threading = import_module("threading");
        ref tb = nb::steal(PyException_GetTraceback(exc));
        ref hook_args = call(attr(threading, "ExceptHookArgs"),
                             nb::make_tuple(nb::handle((PyObject *) Py_TYPE(exc)), nb::handle(exc),
                                            tb.is_valid() ? nb::handle(tb) : nb::handle(Py_None),
                                            nb::handle(thread)));
        call(attr(threading, "excepthook"), hook_args);
    }, PyExc_BaseException);
    if (failure)
        PyErr_WriteUnraisable(thread);
    Py_DECREF(exc);
}

void thread_main(void *arg) {
    PyGILState_STATE gil = PyGILState_Ensure();
    ThreadObject *t = as_thread(reinterpret_cast<PyObject *>(arg));
    t->ident = PyThread_get_thread_ident();
    PyObject *target = t->target;
    t->target = nullptr;
    PyObject *result = PyObject_CallNoArgs(target);
    if (result)
        Py_DECREF(result);
    else
        report_uncaught(reinterpret_cast<PyObject *>(t));
    Py_DECREF(target);
    {
        std::lock_guard<std::mutex> guard(t->completion->mutex);
        t->completion->finished = true;
    }
    t->completion->finished_cv.notify_all();
    Py_DECREF(reinterpret_cast<PyObject *>(t));  // the thread's own reference
    PyGILState_Release(gil);
}

// join(timeout=None): waits with the GIL released (wait_released).
PyObject *thread_join(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames) {
    ThreadObject *t = as_thread(self);
    PyObject *timeout = nargs > 0 ? args[0] : Py_None;
    if (nargs > 1 || (kwnames && PyTuple_Size(kwnames) > 0 &&
                      (nargs > 0 || PyTuple_Size(kwnames) > 1 ||
                       PyUnicode_CompareWithASCIIString(PyTuple_GetItem(kwnames, 0), "timeout")))) {
        PyErr_SetString(PyExc_TypeError, "join() takes at most one argument (timeout)");
        return nullptr;
    }
    if (kwnames && PyTuple_Size(kwnames) == 1)
        timeout = args[nargs];
    if (!t->started) {
        PyErr_SetString(PyExc_RuntimeError, "cannot join thread before it is started");
        return nullptr;
    }
    if (t->ident == PyThread_get_thread_ident() && !finished(t)) {
        PyErr_SetString(PyExc_RuntimeError, "cannot join current thread");
        return nullptr;
    }
    double limit = -1.0;
    if (timeout != Py_None) {
        limit = PyFloat_AsDouble(timeout);
        if (limit == -1.0 && PyErr_Occurred())
            return nullptr;
        if (limit < 0)
            limit = 0;
    }
    Completion *c = t->completion;
    try {
        wait_released(c->mutex, c->finished_cv, c->finished, limit);
    } catch (nb::python_error &e) {
        e.restore();
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *thread_is_alive(PyObject *self, PyObject *) {
    ThreadObject *t = as_thread(self);
    return PyBool_FromLong(t->started && !finished(t));
}

PyObject *thread_daemon(PyObject *, void *) { Py_RETURN_TRUE; }

PyObject *thread_ident(PyObject *self, void *) {
    ThreadObject *t = as_thread(self);
    if (!t->ident)
        Py_RETURN_NONE;
    return PyLong_FromUnsignedLong(t->ident);
}

PyObject *thread_name(PyObject *self, void *) {
    return PyUnicode_FromFormat("SimulationHandle-%lu", as_thread(self)->ident);
}

PyObject *thread_repr(PyObject *self) {
    ThreadObject *t = as_thread(self);
    const char *state = !t->started ? "initial" : finished(t) ? "stopped" : "started";
    return PyUnicode_FromFormat("<pipeline thread %s daemon %lu>", state, t->ident);
}

int thread_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_thread(self)->target);
    return 0;
}

int thread_clear(PyObject *self) {
    Py_CLEAR(as_thread(self)->target);
    return 0;
}

void thread_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    thread_clear(self);
    delete as_thread(self)->completion;
    reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free))(self);
    Py_DECREF(tp);
}

PyMethodDef thread_methods[] = {
    {"join", (PyCFunction) (void (*)(void)) thread_join, METH_FASTCALL | METH_KEYWORDS,
     "Wait until the thread ends, or until the optional timeout (seconds) elapses."},
    {"is_alive", thread_is_alive, METH_NOARGS, "Whether the thread has started and not ended."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef thread_getset[] = {
    {"daemon", thread_daemon, nullptr, "Always True: the thread never keeps the process alive.",
     nullptr},
    {"ident", thread_ident, nullptr, nullptr, nullptr},
    {"name", thread_name, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

void init_thread_type() {
    if (g_thread_type)
        return;
    PyType_Slot slots[] = {
        {Py_tp_doc, (void *) "The thread that runs one simulation's pipeline (a daemon)."},
        {Py_tp_methods, thread_methods},
        {Py_tp_getset, thread_getset},
        {Py_tp_repr, (void *) thread_repr},
        {Py_tp_traverse, (void *) thread_traverse},
        {Py_tp_clear, (void *) thread_clear},
        {Py_tp_dealloc, (void *) thread_dealloc},
        {0, nullptr},
    };
    PyType_Spec spec = {"tallowmere.simulate_signal.PipelineThread", sizeof(ThreadObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                        slots};
    PyObject *type = PyType_FromSpec(&spec);
    if (!type)
        throw nb::python_error();
    g_thread_type = reinterpret_cast<PyTypeObject *>(type);
}

} // namespace

ref new_pipeline_thread(nb::handle target) {
    init_thread_type();
    auto *t = PyObject_GC_New(ThreadObject, g_thread_type);
    if (!t)
        throw nb::python_error();
    t->target = target.inc_ref().ptr();
    t->ident = 0;
    t->started = false;
    t->completion = new Completion();
    PyObject_GC_Track(reinterpret_cast<PyObject *>(t));
    return nb::steal(reinterpret_cast<PyObject *>(t));
}

void start_pipeline_thread(nb::handle thread) {
    ThreadObject *t = as_thread(thread.ptr());
    Py_INCREF(thread.ptr());  // the thread's own reference, dropped as it ends
    t->started = true;
    if (PyThread_start_new_thread(thread_main, thread.ptr()) == static_cast<unsigned long>(-1)) {
        t->started = false;
        Py_DECREF(thread.ptr());
        PyErr_SetString(PyExc_RuntimeError, "can't start new thread");
        throw nb::python_error();
    }
}

} // namespace simsig
