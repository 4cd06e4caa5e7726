// The handle's events: threading.Event as the module makes it while the
// `threading` global and its Event are the ones the module imported.
//
// Why: a threading.Event is a Condition over a Lock, built and driven in
// Python; the three events of a run cost about as much as the rest of the
// handle. This Event is a subclass of threading.Event (isinstance holds) whose
// state is a native flag with a condition variable: is_set, set, clear and
// wait behave as threading.Event's do, and wait releases the GIL, in short
// slices so that a signal reaches the waiting thread.
#include "frame/calls.hpp"
#include "frame/event.hpp"
#include "frame/heap_type.hpp"

#include <chrono>
#include <cmath>
#include <new>
#include <condition_variable>
#include <mutex>

namespace simsig {

namespace {

struct EventState {
    PyObject_HEAD
    WaitFlag *flag;  // owned

    static void release(EventState *s) { delete s->flag; }
};
using EventStateSlots = HeapTypeSlots<EventState>;

PyTypeObject *g_state_type = nullptr;
PyObject *g_event_class = nullptr;      // the subclass
PyObject *g_threading = nullptr;        // the threading module imported at set-up
PyObject *g_threading_event = nullptr;  // its Event class

// The event's state, owned by the caller for the whole call: __init__ run
// again, or _native_state replaced, under a waiter leaves the waiter the
// state it waits on, as threading.Event's waiters keep their old Condition.
ref state_of(nb::handle event) {
    ref state = attr(event, "_native_state");
    if (Py_TYPE(state.ptr()) != g_state_type)
        raise(PyExc_TypeError, "event state is not the module's own");
    return state;
}

WaitFlag &flag_of(nb::handle state) { return *reinterpret_cast<EventState *>(state.ptr())->flag; }

bool is_set(nb::handle state) { return flag_of(state).is_set(); }

void set_flag(nb::handle state, bool value) {
    if (value)
        flag_of(state).set();
    else
        flag_of(state).clear();
}

bool wait_flag(nb::handle state, double limit) {
    if (is_set(state))
        return true;  // without giving up the GIL
    return flag_of(state).wait(limit);
}

nb::object event_init(const Call &a) {
    auto *s = PyObject_New(EventState, g_state_type);
    if (!s)
        throw nb::python_error();
    s->flag = new (std::nothrow) WaitFlag();
    ref state = nb::steal(reinterpret_cast<PyObject *>(s));
    if (!s->flag)
        throw std::bad_alloc();
    set_attr(a[0], "_native_state", state);
    return nb::none();
}

nb::object event_is_set(const Call &a) { return nb::bool_(is_set(state_of(a[0]))); }

nb::object event_set(const Call &a) {
    set_flag(state_of(a[0]), true);
    return nb::none();
}

nb::object event_clear(const Call &a) {
    set_flag(state_of(a[0]), false);
    return nb::none();
}

nb::object event_wait(const Call &a) {
    ref state = state_of(a[0]);
    double limit = -1.0;
    if (!a[1].is_none()) {
        limit = PyFloat_AsDouble(a[1].ptr());
        if (limit == -1.0 && PyErr_Occurred())
            throw nb::python_error();
        if (limit < 0 || std::isnan(limit))
            limit = 0;  // Condition.wait polls for anything not above zero
    }
    return nb::bool_(wait_flag(state, limit));
}

nb::object event_repr(const Call &a) {
    return format("<threading.Event at %p: %s>", a[0].ptr(),
                  is_set(state_of(a[0])) ? "set" : "unset");
}

// A bare native flag type from a spec: nanobind's class machinery would bring
// its instance bookkeeping to a type no caller sees.
void make_state_type() {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, (void *) EventStateSlots::dealloc},
        {0, nullptr},
    };
    PyType_Spec spec = {"tallowmere.simulate_signal._EventState", sizeof(EventState), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    PyObject *type = PyType_FromSpec(&spec);
    if (!type)
        throw nb::python_error();
    g_state_type = reinterpret_cast<PyTypeObject *>(type);
}

void define_event_class(nb::handle threading) {
    make_state_type();
    g_threading = threading.inc_ref().ptr();
    g_threading_event = attr(threading, "Event").release().ptr();
    nb::dict ns;
    ns["__doc__"] = attr(g_threading_event, "__doc__");
    ns["__init__"] = make_function("Event.__init__", {arg("self")}, event_init);
    ns["is_set"] = make_function("Event.is_set", {arg("self")}, event_is_set,
                                 "Return true if and only if the internal flag is true.");
    ns["set"] = make_function("Event.set", {arg("self")}, event_set,
                              "Set the internal flag to true and wake every waiter.");
    ns["clear"] = make_function("Event.clear", {arg("self")}, event_clear,
                                "Reset the internal flag to false.");
    ns["wait"] = make_function("Event.wait", {arg("self"), arg("timeout", none())}, event_wait,
                               "Block until the internal flag is true or the timeout passes; "
                               "return the flag.");
    ns["__repr__"] = make_function("Event.__repr__", {arg("self")}, event_repr);
    g_event_class = make_class("Event", nb::make_tuple(nb::handle(g_threading_event)), ns)
                        .release()
                        .ptr();
}

} // namespace

// ---------------------------------------------------------------------------
// The live flags

// Guarded by the GIL: every flag belongs to a Python object, made and freed
// with the GIL held.
namespace {
WaitFlag *g_flags = nullptr;     // the first live flag
} // namespace

WaitFlag::WaitFlag() {
    next = g_flags;
    if (g_flags)
        g_flags->previous = this;
    g_flags = this;
}

WaitFlag::~WaitFlag() {
    (previous ? previous->next : g_flags) = next;
    if (next)
        next->previous = previous;
}

// The old mutexes are not destroyed: one may be locked by a thread that did
// not follow into this process; their storage is taken over as it is.
void renew_wait_flags_after_fork() noexcept {
    for (WaitFlag *f = g_flags; f; f = f->next) {
        new (&f->mutex) std::mutex();
        new (&f->changed) std::condition_variable();
    }
}

bool wait_released(std::mutex &mutex, std::condition_variable &changed, const bool &flag,
                   double limit) {
    using clock = std::chrono::steady_clock;
    auto deadline = clock::now() + std::chrono::duration_cast<clock::duration>(
                                       std::chrono::duration<double>(limit < 0 ? 0 : limit));
    for (;;) {
        bool value = false;
        Py_BEGIN_ALLOW_THREADS
        {
            std::unique_lock<std::mutex> lock(mutex);
            auto slice = clock::now() + std::chrono::milliseconds(50);
            if (limit >= 0 && deadline < slice)
                slice = deadline;
            changed.wait_until(lock, slice, [&] { return flag; });
            value = flag;
        }
        Py_END_ALLOW_THREADS
        if (value || (limit >= 0 && clock::now() >= deadline))
            return value;
        if (PyErr_CheckSignals())
            throw nb::python_error();
    }
}

ref new_event() {
    ref threading = module_threading();
    if (!g_event_class)
        define_event_class(threading);
    ref event_class = attr(threading, "Event");
    if (threading.ptr() == g_threading && event_class.ptr() == g_threading_event)
        return call(nb::handle(g_event_class));
    return call(event_class);
}

namespace {
// The module's own Event, used directly; any other event through its methods.
bool own_event(nb::handle event) {
    return g_event_class && Py_TYPE(event.ptr()) == (PyTypeObject *) g_event_class;
}
} // namespace

void event_set(nb::handle event) {
    if (own_event(event))
        set_flag(state_of(event), true);
    else
        call_method(event, "set");
}

bool event_is_set(nb::handle event) {
    if (own_event(event))
        return is_set(state_of(event));
    return static_cast<bool>(nb::bool_(call_method(event, "is_set")));
}

void event_clear(nb::handle event) {
    if (own_event(event))
        set_flag(state_of(event), false);
    else
        call_method(event, "clear");
}

bool event_wait(nb::handle event, double timeout) {
    if (own_event(event)) {
        ref state = state_of(event);
        return wait_flag(state, timeout);
    }
    return static_cast<bool>(
        nb::bool_(call_method(event, "wait", kwarg("timeout", nb::float_(timeout)))));
}

} // namespace simsig
