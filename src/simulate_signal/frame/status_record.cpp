// SimulationStatus instances, made the way its generated __init__ makes them.
//
// Calling the dataclass runs object.__new__ and then a Python-level __init__
// that stores the five fields, in order, as plain instance attributes. While
// the namespace holds the class the module defined, with its generated
// __init__ and without a __new__ or __setattr__ of its own, the same instance
// is made here directly: object.__new__, then an attribute dictionary holding
// the five fields in the same order. (The fields are the dataclass's own plain
// attributes; a class whose fields were later turned into descriptors is not
// one this module defined.) Anything else is called as usual.
#include "frame/calls.hpp"
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

// object.__new__(cls) with `fields` as its attribute dictionary. (For a
// class that is not abstract, object.__new__ is the class's allocation plus
// an empty attribute store, which the dictionary given here replaces.)
ref with_fields(nb::handle cls, nb::handle fields) {
    auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    ref status;
    if (PyType_GetFlags(type) & Py_TPFLAGS_IS_ABSTRACT) {
        ref no_args = nb::steal(PyTuple_New(0));
        if (!no_args)
            throw nb::python_error();
        status = nb::steal(reinterpret_cast<newfunc>(g_object_new)(type, no_args.ptr(), nullptr));
    } else {
        status = nb::steal(reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0));
    }
    if (!status || PyObject_GenericSetDict(status.ptr(), fields.ptr(), nullptr))
        throw nb::python_error();
    return status;
}

// Exactly the five fields, in their order (as __init__ leaves them).
bool holds_the_fields(nb::handle fields) {
    if (PyDict_Size(fields.ptr()) != kFieldCount)
        return false;
    Py_ssize_t position = 0;
    PyObject *key = nullptr, *value = nullptr;
    for (int i = 0; PyDict_Next(fields.ptr(), &position, &key, &value); ++i)
        if (key != g_field_names[i])
            return false;
    return true;
}

ref from_fields(nb::handle cls, const nb::handle (&values)[kFieldCount]) {
    ref fields = nb::steal(PyDict_New());
    if (!fields)
        throw nb::python_error();
    for (int i = 0; i < kFieldCount; ++i)
        if (PyDict_SetItem(fields.ptr(), g_field_names[i], values[i].ptr()))
            throw nb::python_error();
    return with_fields(cls, fields);
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
    return from_fields(cls, {phase, progress, message, era_number, elapsed_s});
}

ref status_snapshot(nb::handle current, nb::handle elapsed_s) {
    ref cls = global("SimulationStatus");
    if (as_defined(cls) && Py_TYPE(current.ptr()) == reinterpret_cast<PyTypeObject *>(g_class)) {
        // An instance holding exactly its five fields: a copy of them with
        // the new time keeps their values and order.
        ref fields = nb::steal(PyObject_GenericGetDict(current.ptr(), nullptr));
        if (!fields)
            throw nb::python_error();
        if (holds_the_fields(fields)) {
            ref copy = nb::steal(PyDict_Copy(fields.ptr()));
            if (!copy || PyDict_SetItem(copy.ptr(), g_field_names[kFieldCount - 1], elapsed_s.ptr()))
                throw nb::python_error();
            return with_fields(cls, copy);
        }
    }
    ref phase = attr(current, "phase");
    ref progress = attr(current, "progress");
    ref message = attr(current, "message");
    ref era_number = attr(current, "era_number");
    return call(cls, phase, progress, message, era_number, elapsed_s);
}

} // namespace simsig
