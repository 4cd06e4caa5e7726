// The pipeline's thread: a native thread with its own thread state, exposed
// as the handle's `_thread`, an instance of PipelineThread, a subclass of
// threading.Thread.
//
// Why not a plain threading.Thread: its Python-level construction, start
// handshake and bootstrap cost more than the rest of a short run. Towards
// the threading module the thread still is one: it is in threading's
// registry (`_limbo` from start until it runs, then `_active` under its
// ident) while it runs and leaves it as it ends, exactly as a Thread does, so
// threading.enumerate() lists it only while it runs, threading.current_thread()
// on it returns it (never a _DummyThread that would outlive it), and join()
// with a time-out works on it. It is a daemon: interpreter exit never waits
// for it, and at exit the interpreter ends it like any daemon thread (see
// frame/exit_safe.h). An exception that escapes the target goes to
// threading.excepthook, as it would from a Thread.
#include "run/handle/handle.hpp"
#include "frame/heap_type.hpp"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

namespace simsig {

namespace {

// What the thread object carries, in its `_native` slot.
struct NativeThread {
    PyObject_HEAD PyObject *target;  // until the thread has ended (GIL)
    PyObject *thread;                // the PipelineThread, held while the OS thread runs (GIL)
    PyObject *name;                  // a name given by assignment, or null (GIL)
    unsigned long ident;             // 0 until the thread runs (GIL)
    unsigned long native_id;
    bool started;        // (GIL)
    WaitFlag *finished;  // owned; a waiter holds the object, so it outlives the wait

    static void release(NativeThread *t) { delete t->finished; }
};
using NativeThreadSlots = HeapTypeSlots<NativeThread, &NativeThread::target, &NativeThread::thread,
                                        &NativeThread::name>;

PyTypeObject *g_native_type = nullptr;
// The threads started and not yet ended, for a child made by fork() (GIL).
std::vector<NativeThread *> g_running;
PyObject *g_thread_class = nullptr;  // PipelineThread
PyObject *g_threading = nullptr;     // the threading module

NativeThread *as_native(PyObject *self) { return reinterpret_cast<NativeThread *>(self); }

// self._native of a PipelineThread, held for the call.
ref native_of(nb::handle thread) {
    ref native = attr(thread, "_native");
    if (Py_TYPE(native.ptr()) != g_native_type)
        raise(PyExc_TypeError, "not a pipeline thread");
    return native;
}

// ---------------------------------------------------------------------------
// threading's registry: `with _active_limbo_lock: f(_active, _limbo)`, all
// three read once. threading never rebinds the dicts (after a fork it empties
// and refills them in place); it makes a new lock in a child after fork,
// which end_pipeline_threads_after_fork then reads anew.
PyObject *g_active = nullptr, *g_limbo = nullptr, *g_registry_lock = nullptr;

void read_registry() {
    ref active = attr(nb::handle(g_threading), "_active");
    ref limbo = attr(nb::handle(g_threading), "_limbo");
    ref lock = attr(nb::handle(g_threading), "_active_limbo_lock");
    for (auto [slot, value] :
         {std::pair{&g_active, &active}, {&g_limbo, &limbo}, {&g_registry_lock, &lock}}) {
        PyObject *old = *slot;
        *slot = value->release().ptr();
        Py_XDECREF(old);
    }
}

template <typename F>
void in_registry(F &&f) {
    if (!g_registry_lock)
        read_registry();
    locked(nb::handle(g_registry_lock), [&] { f(nb::handle(g_active), nb::handle(g_limbo)); });
}

// Best effort: a threading module without its registry leaves the thread
// unlisted, and nothing else changes.
template <typename F>
void update_registry(F &&f) {
    try {
        in_registry(std::forward<F>(f));
    } catch (nb::python_error &e) {
        e.discard_as_unraisable("updating threading's list of threads for a pipeline thread");
    }
}

void remove_key(nb::handle dict, nb::handle key) {
    if (PyDict_DelItem(dict.ptr(), key.ptr()) < 0)
        PyErr_Clear();  // not there (removed by whoever else owns the registry)
}

// ---------------------------------------------------------------------------
// The OS thread

// threading's handling of an exception that ends a thread's target: it goes
// to threading.excepthook (whose default is silent for SystemExit).
void report_uncaught(PyObject *thread) {
    PyObject *exc = PyErr_GetRaisedException();
    ref failure = catch_exception(
        [&] {
            ref tb = nb::steal(PyException_GetTraceback(exc));
            ref hook_args =
                call(attr(nb::handle(g_threading), "ExceptHookArgs"),
                     nb::make_tuple(nb::handle((PyObject *)Py_TYPE(exc)), nb::handle(exc),
                                    tb.is_valid() ? nb::handle(tb) : nb::handle(Py_None),
                                    nb::handle(thread)));
            call(attr(nb::handle(g_threading), "excepthook"), hook_args);
        },
        PyExc_BaseException);
    if (failure)
        PyErr_WriteUnraisable(thread);
    Py_DECREF(exc);
}

// At interpreter exit the thread may be ended by a forced unwind through this
// frame: the references it holds are released through the exit-safe decref.
void thread_main(void *arg) {
    PyGILState_STATE gil = PyGILState_Ensure();
    NativeThread *t = as_native(reinterpret_cast<PyObject *>(arg));
    t->ident = PyThread_get_thread_ident();
    t->native_id = PyThread_get_thread_native_id();
    PyObject *thread = t->thread, *target = t->target;
    {
        ref ident = nb::int_((long long)t->ident);
        update_registry([&](nb::handle active, nb::handle limbo) {
            if (PyDict_SetItem(active.ptr(), ident.ptr(), thread))
                throw nb::python_error();
            remove_key(limbo, thread);
        });
    }
    PyObject *result = PyObject_CallNoArgs(target);
    if (result)
        Py_DECREF(result);
    else
        report_uncaught(thread);
    {
        ref ident = nb::int_((long long)t->ident);
        update_registry([&](nb::handle active, nb::handle) {
            PyObject *listed = PyDict_GetItemWithError(active.ptr(), ident.ptr());
            if (listed == thread)  // a thread made since under a reused ident stays
                remove_key(active, ident);
            else if (!listed && PyErr_Occurred())
                throw nb::python_error();
        });
    }
    std::erase(g_running, t);
    t->finished->set();
    t->thread = t->target = nullptr;
    Py_DECREF(target);
    Py_DECREF(thread);                           // the thread's own reference
    Py_DECREF(reinterpret_cast<PyObject *>(t));  // and its state's
    PyGILState_Release(gil);
}

// ---------------------------------------------------------------------------
// PipelineThread's methods

double join_limit(nb::handle timeout) {
    if (timeout.is_none())
        return -1.0;
    double limit = PyFloat_AsDouble(timeout.ptr());
    if (limit == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    if (std::isnan(limit))
        raise(PyExc_ValueError, "Invalid value NaN (not a number)");
    return limit < 0 ? 0 : limit < 1e9 ? limit : 1e9;
}

nb::object thread_join(const Call &a) {
    ref native = native_of(a[0]);
    NativeThread *t = as_native(native.ptr());
    if (!t->started)
        raise(PyExc_RuntimeError, "cannot join thread before it is started");
    if (t->ident == PyThread_get_thread_ident() && !t->finished->is_set())
        raise(PyExc_RuntimeError, "cannot join current thread");
    t->finished->wait(join_limit(a[1]));
    return nb::none();
}

nb::object thread_is_alive(const Call &a) {
    ref native = native_of(a[0]);
    NativeThread *t = as_native(native.ptr());
    return nb::bool_(t->started && !t->finished->is_set());
}

nb::object thread_start(const Call &) {
    raise(PyExc_RuntimeError, "threads can only be started once");
}

nb::object thread_run(const Call &) { return nb::none(); }

// threading calls these on every thread but the forking one in a child made
// by fork() (3.12: _reset_internal_locks(False) and _stop(); 3.13:
// _after_fork()), before the module's own handler has renewed the flags this
// thread's state uses: that handler ends the thread there (after_fork_in_child).
nb::object thread_after_fork(const Call &) { return nb::none(); }

nb::object thread_name(const Call &a) {
    ref native = native_of(a[0]);
    NativeThread *t = as_native(native.ptr());
    if (t->name)
        return nb::borrow(t->name);
    return format("SimulationHandle-%lu", t->ident);
}

nb::object thread_set_name(const Call &a) {
    ref native = native_of(a[0]);
    NativeThread *t = as_native(native.ptr());
    ref value = nb::str(a[1]);
    PyObject *old = t->name;
    t->name = value.release().ptr();
    Py_XDECREF(old);
    return nb::none();
}

nb::object thread_ident(const Call &a) {
    ref native = native_of(a[0]);
    NativeThread *t = as_native(native.ptr());
    return t->ident ? nb::object(nb::int_((long long)t->ident)) : nb::none();
}

nb::object thread_native_id(const Call &a) {
    ref native = native_of(a[0]);
    NativeThread *t = as_native(native.ptr());
    return t->native_id ? nb::object(nb::int_((long long)t->native_id)) : nb::none();
}

nb::object thread_daemon(const Call &) { return nb::bool_(true); }

nb::object thread_set_daemon(const Call &) {
    raise(PyExc_RuntimeError, "cannot set daemon status of active thread");
}

nb::object thread_repr(const Call &a) {
    ref native = native_of(a[0]);
    NativeThread *t = as_native(native.ptr());
    const char *state = !t->started ? "initial" : t->finished->is_set() ? "stopped" : "started";
    return format("<PipelineThread(%S, %s daemon %lu)>", thread_name(a).ptr(), state, t->ident);
}

// ---------------------------------------------------------------------------
// Types

void make_native_type() {
    PyType_Slot slots[] = {
        {Py_tp_traverse, (void *)NativeThreadSlots::traverse},
        {Py_tp_clear, (void *)NativeThreadSlots::clear},
        {Py_tp_dealloc, (void *)NativeThreadSlots::dealloc},
        {0, nullptr},
    };
    PyType_Spec spec = {"tallowmere.simulate_signal._NativeThread", sizeof(NativeThread), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                        slots};
    PyObject *type = PyType_FromSpec(&spec);
    if (!type)
        throw nb::python_error();
    g_native_type = reinterpret_cast<PyTypeObject *>(type);
}

ref property(ref getter, ref setter = ref()) {
    ref builtins_property = nb::borrow((PyObject *)&PyProperty_Type);
    return setter ? call(builtins_property, getter, setter) : call(builtins_property, getter);
}

void make_thread_class() {
    g_threading = import_module("threading").release().ptr();
    nb::dict ns;
    auto fn = [](const char *qualname, std::initializer_list<Param> params, Impl impl,
                 const char *doc = nullptr) { return make_function(qualname, params, impl, doc); };
    ns["__doc__"] = "The thread that runs one simulation's pipeline (a daemon).";
    ns["__slots__"] = nb::make_tuple("_native");
    ns["join"] = fn("PipelineThread.join", {arg("self"), arg("timeout", none())}, thread_join,
                    "Wait until the thread ends, or until the optional timeout (seconds) "
                    "elapses.");
    ns["is_alive"] = fn("PipelineThread.is_alive", {arg("self")}, thread_is_alive,
                        "Whether the thread has started and not ended.");
    ns["start"] = fn("PipelineThread.start", {arg("self")}, thread_start,
                     "The pipeline thread is started by its handle: RuntimeError.");
    ns["run"] = fn("PipelineThread.run", {arg("self")}, thread_run,
                   "Nothing: the handle runs the pipeline on this thread.");
    ns["_stop"] = fn("PipelineThread._stop", {arg("self")}, thread_after_fork);
    ns["_reset_internal_locks"] = fn("PipelineThread._reset_internal_locks",
                                     {arg("self"), arg("is_alive")}, thread_after_fork);
    ns["_after_fork"] = fn("PipelineThread._after_fork", {arg("self"), arg("new_ident", none())},
                           thread_after_fork);
    ns["name"] = property(fn("PipelineThread.name", {arg("self")}, thread_name),
                          fn("PipelineThread.name", {arg("self"), arg("value")}, thread_set_name));
    ns["ident"] = property(fn("PipelineThread.ident", {arg("self")}, thread_ident));
    ns["native_id"] = property(fn("PipelineThread.native_id", {arg("self")}, thread_native_id));
    ns["daemon"] =
        property(fn("PipelineThread.daemon", {arg("self")}, thread_daemon),
                 fn("PipelineThread.daemon", {arg("self"), arg("value")}, thread_set_daemon));
    ns["__repr__"] = fn("PipelineThread.__repr__", {arg("self")}, thread_repr);
    ref bases = nb::make_tuple(attr(nb::handle(g_threading), "Thread"));
    g_thread_class = make_class("PipelineThread", bases, ns).release().ptr();
}

void init_thread_types() {
    if (g_thread_class)
        return;
    make_native_type();
    make_thread_class();
}

} // namespace

ref new_pipeline_thread(nb::handle target) {
    init_thread_types();
    auto *t = PyObject_GC_New(NativeThread, g_native_type);
    if (!t)
        throw nb::python_error();
    t->target = target.inc_ref().ptr();
    t->thread = nullptr;
    t->name = nullptr;
    t->ident = 0;
    t->native_id = 0;
    t->started = false;
    t->finished = new WaitFlag();
    PyObject_GC_Track(reinterpret_cast<PyObject *>(t));
    ref native = nb::steal(reinterpret_cast<PyObject *>(t));
    // object.__new__(PipelineThread): Thread.__init__ would build what the
    // native thread replaces.
    auto *type = reinterpret_cast<PyTypeObject *>(g_thread_class);
    auto new_fn = reinterpret_cast<newfunc>(PyType_GetSlot(type, Py_tp_new));
    ref no_args = nb::steal(PyTuple_New(0));
    ref thread = nb::steal(new_fn(type, no_args.ptr(), nullptr));
    if (!thread)
        throw nb::python_error();
    set_attr(thread, "_native", native);
    return thread;
}

void end_pipeline_threads_after_fork() {
    if (g_registry_lock) {
        ref failure = catch_exception([] { read_registry(); });
        if (failure)
            Py_CLEAR(g_registry_lock);  // in_registry reads it again at its next use
    }
    std::vector<NativeThread *> gone;
    unsigned long current = PyThread_get_thread_ident();
    for (NativeThread *t : g_running)
        if (t->ident != current)  // the forking thread goes on here
            gone.push_back(t);
    for (NativeThread *t : gone) {
        std::erase(g_running, t);
        t->finished->set();
        // The references the thread would have dropped as it ended.
        ref native = nb::steal(reinterpret_cast<PyObject *>(t));
        ref thread = nb::steal(t->thread), target = nb::steal(t->target);
        t->thread = t->target = nullptr;
        ref failure = catch_exception([&] { end_run_after_fork(attr(target, "__self__")); });
        if (failure) {
            PyErr_SetRaisedException(failure.release().ptr());
            PyErr_WriteUnraisable(thread.ptr());
        }
    }
}

void start_pipeline_thread(nb::handle thread) {
    ref native = native_of(thread);
    NativeThread *t = as_native(native.ptr());
    if (t->started)
        raise(PyExc_RuntimeError, "threads can only be started once");
    update_registry([&](nb::handle, nb::handle limbo) {
        if (PyDict_SetItem(limbo.ptr(), thread.ptr(), thread.ptr()))
            throw nb::python_error();
    });
    // The OS thread's own references, dropped as it ends.
    t->thread = thread.inc_ref().ptr();
    Py_INCREF(native.ptr());
    t->started = true;
    g_running.push_back(t);
    if (PyThread_start_new_thread(thread_main, native.ptr()) == static_cast<unsigned long>(-1)) {
        std::erase(g_running, t);
        t->started = false;
        Py_CLEAR(t->thread);
        Py_DECREF(native.ptr());
        update_registry([&](nb::handle, nb::handle limbo) { remove_key(limbo, thread); });
        raise(PyExc_RuntimeError, "can't start new thread");
    }
}

} // namespace simsig
