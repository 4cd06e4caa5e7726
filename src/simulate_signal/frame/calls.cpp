// Module attributes read from the module namespace (see calls.hpp).
#include "frame/calls.hpp"

#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace simsig {

ref module_attr(nb::handle module, const char *attribute) {
    if (PyModule_CheckExact(module.ptr()) && std::strncmp(attribute, "__", 2) != 0) {
        if (ref value = dict_get(PyModule_GetDict(module.ptr()), name(attribute)))
            return value;
    }
    return attr(module, attribute);
}

namespace detail {

PyObject *keyword_names_tuple(const char *const *names, size_t count) {
    // Guarded by the GIL. A slot holds the last list of literals that hashed
    // to it; literals are compared by address, as name() keys them.
    constexpr size_t kSlots = 128, kMaxNames = 12;
    struct Slot {
        size_t count = 0;
        const char *names[kMaxNames] = {};
        PyObject *tuple = nullptr;
    };
    static Slot slots[kSlots];
    if (count > kMaxNames)
        throw std::length_error("too many keyword arguments");
    uintptr_t key = count;
    for (size_t i = 0; i < count; ++i)
        key = key * 31 + (reinterpret_cast<uintptr_t>(names[i]) >> 3);
    Slot &slot = slots[key % kSlots];
    if (slot.tuple && slot.count == count &&
        std::memcmp(slot.names, names, count * sizeof(const char *)) == 0)
        return Py_NewRef(slot.tuple);
    PyObject *tuple = PyTuple_New((Py_ssize_t) count);
    if (!tuple)
        throw nb::python_error();
    for (size_t i = 0; i < count; ++i)
        if (PyTuple_SetItem(tuple, (Py_ssize_t) i, name(names[i]).inc_ref().ptr())) {
            Py_DECREF(tuple);
            throw nb::python_error();
        }
    PyObject *old = slot.tuple;
    slot.count = count;
    std::memcpy(slot.names, names, count * sizeof(const char *));
    slot.tuple = Py_NewRef(tuple);
    Py_XDECREF(old);
    return tuple;
}

} // namespace detail

} // namespace simsig
