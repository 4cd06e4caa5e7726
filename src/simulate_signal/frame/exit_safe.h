// Included before everything else in every source file of the module (see
// CMakeLists.txt), so that every reference released by the module's code
// and by nanobind's inline object code goes through simsig_decref.
//
// Why: pipeline threads are daemon threads. Once finalization has begun,
// CPython 3.12 ends a daemon thread that asks for the GIL with pthread_exit(),
// which unwinds through the C++ frames on its stack without the GIL and
// without a thread state. A destructor that released a reference then would
// race the finalizing main thread, or free an object with no interpreter to
// free it into (a crash). An atexit hook, which runs before finalization
// begins, raises a flag (frame/py.cpp); from then on references are leaked
// instead of released. The process is ending: nothing is lost.
//
// nanobind has no such guard of its own: nb::object's destructor is an inline
// Py_XDECREF (with NDEBUG, which every build type used here defines), so
// redefining the macro below covers it too.
#pragma once

#include <Python.h>

#ifdef __cplusplus
extern "C" {
#endif
extern int simsig_exiting_flag;  // set once, by the atexit hook
#ifdef __cplusplus
}
#endif

static inline int simsig_interpreter_exiting(void) {
#if defined(_MSC_VER)
    return *(volatile int *) &simsig_exiting_flag;  // an aligned int is read whole on Windows
#else
    return __atomic_load_n(&simsig_exiting_flag, __ATOMIC_RELAXED);
#endif
}

// Py_DECREF here is still the interpreter's own (inline where the API has it).
static inline void simsig_decref(PyObject *op) {
    if (!simsig_interpreter_exiting())
        Py_DECREF(op);
}

static inline void simsig_xdecref(PyObject *op) {
    if (op && !simsig_interpreter_exiting())
        Py_DECREF(op);
}

#undef Py_DECREF
#undef Py_XDECREF
#define Py_DECREF(op) simsig_decref(_PyObject_CAST(op))
#define Py_XDECREF(op) simsig_xdecref(_PyObject_CAST(op))
