// Small pieces of Python semantics that the later pipeline stretches share
// (validation, evaluation, backtest, pool gates, finish).
#pragma once

#include "run/handle.hpp"
#include "run/pipeline.hpp"

namespace simsig {

// New containers, held in a `ref` like every other reference of a stretch.
inline ref new_dict() {
    PyObject *d = PyDict_New();
    if (!d)
        throw nb::python_error();
    return ref(nb::steal(d));
}

inline ref new_list() {
    PyObject *l = PyList_New(0);
    if (!l)
        throw nb::python_error();
    return ref(nb::steal(l));
}

// (a, b)
inline ref pair(nb::handle a, nb::handle b) {
    PyObject *t = PyTuple_Pack(2, a.ptr(), b.ptr());
    if (!t)
        throw nb::python_error();
    return ref(nb::steal(t));
}

// container[key] = value
inline void set_item(nb::handle container, nb::handle key, nb::handle value) {
    if (PyObject_SetItem(container.ptr(), key.ptr(), value.ptr()))
        throw nb::python_error();
}
// container["key"] = value (a string literal key)
inline void set_item(nb::handle container, const char *key, nb::handle value) {
    set_item(container, name(key), value);
}

// list.append(item)
inline void append(nb::handle list, nb::handle item) {
    if (PyList_Append(list.ptr(), item.ptr()))
        throw nb::python_error();
}

// self.<attribute>, read at each use.
inline ref handle_field(const Run &run, Field f) { return field(run.self, f); }

// fn(**kwargs)
inline ref call_with_kwargs(nb::handle fn, nb::handle kwargs) {
    ref args = nb::steal(PyTuple_New(0));
    if (!args)
        throw nb::python_error();
    PyObject *result = PyObject_Call(fn.ptr(), args.ptr(), kwargs.ptr());
    if (!result)
        throw nb::python_error();
    return ref(nb::steal(result));
}

// mapping.get("key") / mapping.get("key", default)
inline ref get(nb::handle mapping, const char *key) { return method_get(mapping, name(key)); }
inline ref get(nb::handle mapping, const char *key, nb::handle default_value) {
    return method_get(mapping, name(key), default_value);
}

// len(obj)
inline Py_ssize_t length(nb::handle obj) {
    Py_ssize_t n = PyObject_Length(obj.ptr());
    if (n < 0)
        throw nb::python_error();
    return n;
}

// `value or fallback`
inline ref or_else(nb::handle value, nb::handle fallback) {
    return ref(nb::borrow(truthy(value) ? value : fallback));
}

// item in container
inline bool contains(nb::handle container, nb::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

// a != b
inline bool not_equals(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_NE);
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

// dict(mapping): a new plain dict.
inline ref dict_copy(nb::handle mapping) {
    return nb::handle(reinterpret_cast<PyObject *>(&PyDict_Type))(mapping);
}

// list(iterable)
inline ref list_of(nb::handle iterable) {
    PyObject *list = PySequence_List(iterable.ptr());
    if (!list)
        throw nb::python_error();
    return ref(nb::steal(list));
}

// container[key]
inline ref getitem(nb::handle container, nb::handle key) {
    PyObject *value = PyObject_GetItem(container.ptr(), key.ptr());
    if (!value)
        throw nb::python_error();
    return ref(nb::steal(value));
}

inline bool is_dict(nb::handle obj) { return PyDict_Check(obj.ptr()); }

} // namespace simsig
