// SimulationStatus instances, made the way its generated __init__ makes them.
//
// Calling the dataclass runs object.__new__ and then a Python-level __init__
// that sets the five fields in order. While the class is the one the module
// defined, with that __init__, no __new__ and no __setattr__ of its own, the
// same instance is made here directly: object.__new__, then the five fields
// set in the same order through the same generic attribute setting. A class
// replaced in the namespace, or one whose __init__, __new__ or __setattr__
// was replaced, is called as usual.
#include "frame/calls.hpp"
#include "frame/records.hpp"

namespace simsig {

namespace {

constexpr int kFieldCount = 5;
const char *const kFieldNames[kFieldCount] = {"phase", "progress", "message", "era_number",
                                              "elapsed_s"};

// Set once at import, kept for the life of the process.
PyObject *g_class = nullptr;         // SimulationStatus as defined
PyObject *g_init = nullptr;          // its generated __init__
void *g_object_new = nullptr;        // object.__new__'s slot
PyObject *g_field_names[kFieldCount] = {};

bool as_defined(nb::handle cls) {
    if (cls.ptr() != g_class)
        return false;
    auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    if (PyType_GetSlot(type, Py_tp_new) != g_object_new ||
        PyType_GetSlot(type, Py_tp_setattro) != reinterpret_cast<void *>(PyObject_GenericSetAttr))
        return false;
    return attr(cls, "__init__").ptr() == g_init;
}

} // namespace

void remember_simulation_status_class(nb::handle cls) {
    g_class = cls.inc_ref().ptr();
    g_init = attr(cls, "__init__").release().ptr();
    g_object_new = PyType_GetSlot(&PyBaseObject_Type, Py_tp_new);
    for (int i = 0; i < kFieldCount; ++i)
        g_field_names[i] = name(kFieldNames[i]).ptr();
}

ref new_simulation_status(nb::handle phase, nb::handle progress, nb::handle message,
                          nb::handle era_number, nb::handle elapsed_s) {
    ref cls = global("SimulationStatus");
    if (!as_defined(cls))
        return call(cls, phase, progress, message, era_number, elapsed_s);
    ref no_args = nb::steal(PyTuple_New(0));
    if (!no_args)
        throw nb::python_error();
    auto object_new = reinterpret_cast<newfunc>(g_object_new);
    ref status = nb::steal(
        object_new(reinterpret_cast<PyTypeObject *>(cls.ptr()), no_args.ptr(), nullptr));
    if (!status)
        throw nb::python_error();
    const nb::handle values[kFieldCount] = {phase, progress, message, era_number, elapsed_s};
    for (int i = 0; i < kFieldCount; ++i)
        if (PyObject_SetAttr(status.ptr(), g_field_names[i], values[i].ptr()))
            throw nb::python_error();
    return status;
}

} // namespace simsig
