// The garbage-collector slots of the module's heap types, written once.
//
//   using Slots = HeapTypeSlots<Awaiter, &Awaiter::handle, &Awaiter::inner>;
//   {Py_tp_traverse, (void *)Slots::traverse}, {Py_tp_clear, (void *)Slots::clear},
//   {Py_tp_dealloc, (void *)Slots::dealloc},
//
// The members listed are T's strong references (PyObject *, or arrays of
// them): traverse visits the type and each member, clear drops each one, and
// dealloc untracks the instance, drops its weak references (when T has a
// `weakrefs` member), clears it, hands T's own C++ state to `T::release`
// (when T declares one), frees it through the type's tp_free and drops the
// type (a heap type's instances own a reference to it).
#pragma once

#include "frame/frame.hpp"

#include <cstddef>

namespace simsig {

namespace detail {

inline int visit_member(PyObject *member, visitproc visit, void *arg) {
    return member ? visit(member, arg) : 0;
}
template <size_t N>
int visit_member(PyObject *const (&members)[N], visitproc visit, void *arg) {
    for (PyObject *member : members)
        if (int r = visit_member(member, visit, arg))
            return r;
    return 0;
}

inline void clear_member(PyObject *&member) { Py_CLEAR(member); }
template <size_t N>
void clear_member(PyObject *(&members)[N]) {
    for (PyObject *&member : members)
        Py_CLEAR(member);
}

} // namespace detail

template <typename T, auto... Members>
struct HeapTypeSlots {
    static T *instance(PyObject *self) { return reinterpret_cast<T *>(self); }

    static int traverse(PyObject *self, visitproc visit, void *arg) {
        int r = visit(reinterpret_cast<PyObject *>(Py_TYPE(self)), arg);
        ((r = r ? r : detail::visit_member(instance(self)->*Members, visit, arg)), ...);
        return r;
    }

    static int clear([[maybe_unused]] PyObject *self) {
        (detail::clear_member(instance(self)->*Members), ...);
        return 0;
    }

    static void dealloc(PyObject *self) {
        PyTypeObject *type = Py_TYPE(self);
        if (PyType_HasFeature(type, Py_TPFLAGS_HAVE_GC))
            PyObject_GC_UnTrack(self);
        if constexpr (requires(T &t) { t.weakrefs; })
            if (instance(self)->weakrefs)
                PyObject_ClearWeakRefs(self);
        clear(self);
        if constexpr (requires(T *t) { T::release(t); })
            T::release(instance(self));
        reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
        Py_DECREF(type);
    }
};

} // namespace simsig
