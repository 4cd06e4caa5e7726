// Small pieces of Python semantics that the later pipeline stretches share
// (validation, evaluation, backtest, pool gates, finish).
#pragma once

#include "run/handle.hpp"
#include "run/pipeline.hpp"

namespace simsig {

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

// self.<attribute>, read at each use.
inline ref handle_field(const Run &run, Field f) { return field(run.self, f); }

// self.expression_type == "STRATEGY"
inline bool is_strategy(const Run &run) {
    return equals(handle_field(run, Field::expression_type), "STRATEGY");
}

// mapping.get("key") / mapping.get("key", default)
inline ref get(nb::handle mapping, const char *key) { return method_get(mapping, name(key)); }
inline ref get(nb::handle mapping, const char *key, nb::handle default_value) {
    return method_get(mapping, name(key), default_value);
}

// `value or fallback`
inline ref or_else(nb::handle value, nb::handle fallback) {
    return ref(nb::borrow(truthy(value) ? value : fallback));
}

// a != b
inline bool not_equals(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_NE);
    if (r < 0)
        throw nb::python_error();
    return r == 1;
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

} // namespace simsig
