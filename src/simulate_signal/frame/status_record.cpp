// SimulationStatus instances, made the way its generated __init__ makes them.
//
// Calling the dataclass runs object.__new__ and then a Python-level __init__
// that stores the five fields, in order, as instance attributes. While the
// namespace holds the class the module defined, with its generated __init__
// and without a __new__ or __setattr__ of its own, the same instance is made
// here directly: object.__new__, then the five fields set in the same order
// through the generic attribute protocol (which is what __init__'s
// assignments come to for such a class). Anything else is called as usual.
#include "frame/calls.hpp"
#include "frame/globals.hpp"
#include "frame/records.hpp"

namespace simsig {

namespace {

constexpr int kFieldCount = 5;
const char *const kFieldNames[kFieldCount] = {"phase", "progress", "message", "era_number",
                                              "elapsed_s"};

// Set once at import, kept for the life of the process.
PyObject *g_class = nullptr;                    // SimulationStatus as defined
PyObject *g_init = nullptr;                     // its generated __init__
PyObject *g_field_names[kFieldCount] = {};
void *g_object_new = nullptr;                   // object.__new__'s slot

bool as_defined(nb::handle cls) {
    if (cls.ptr() != g_class)
        return false;
    auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    return PyType_GetSlot(type, Py_tp_new) == g_object_new &&
           PyType_GetSlot(type, Py_tp_setattro) ==
               reinterpret_cast<void *>(PyObject_GenericSetAttr) &&
           attr(cls, "__init__").ptr() == g_init;
}

// object.__new__(cls), then `self.<field> = value` for each field in order.
ref from_fields(nb::handle cls, const nb::handle (&values)[kFieldCount]) {
    ref no_args = nb::steal(PyTuple_New(0));
    if (!no_args)
        throw nb::python_error();
    ref status = nb::steal(reinterpret_cast<newfunc>(g_object_new)(
        reinterpret_cast<PyTypeObject *>(cls.ptr()), no_args.ptr(), nullptr));
    if (!status)
        throw nb::python_error();
    for (int i = 0; i < kFieldCount; ++i)
        if (PyObject_GenericSetAttr(status.ptr(), g_field_names[i], values[i].ptr()))
            throw nb::python_error();
    return status;
}

ref read_field(nb::handle status, int i) {
    PyObject *value = PyObject_GetAttr(status.ptr(), g_field_names[i]);
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

// cls(*values)
ref make(nb::handle cls, const nb::handle (&values)[kFieldCount]) {
    if (!as_defined(cls))
        return call(cls, values[0], values[1], values[2], values[3], values[4]);
    return from_fields(cls, values);
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
    ref cls = global(G::SimulationStatus);
    return make(cls, {phase, progress, message, era_number, elapsed_s});
}

ref status_snapshot(nb::handle current, nb::handle elapsed_s) {
    ref cls = global(G::SimulationStatus);
    ref phase = read_field(current, 0), progress = read_field(current, 1),
        message = read_field(current, 2), era_number = read_field(current, 3);
    return make(cls, {phase, progress, message, era_number, elapsed_s});
}

} // namespace simsig
