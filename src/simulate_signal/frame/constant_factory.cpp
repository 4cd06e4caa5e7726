// constant_factory(value): a callable that accepts any positional and
// keyword arguments and returns `value` (`lambda *args, **kwargs: value`),
// as a small vectorcall type rather than a Python closure.
#include "frame/frame.hpp"
#include "frame/heap_type.hpp"

#include <cstddef>

namespace simsig {

namespace {

struct ConstantFactory {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject *value;
};
using ConstantFactorySlots = HeapTypeSlots<ConstantFactory, &ConstantFactory::value>;

PyObject *constant_factory_vectorcall(PyObject *self, PyObject *const *, size_t, PyObject *) {
    return Py_NewRef(reinterpret_cast<ConstantFactory *>(self)->value);
}

PyMemberDef constant_factory_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(ConstantFactory, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot constant_factory_slots[] = {
    {Py_tp_dealloc, (void *)ConstantFactorySlots::dealloc},
    {Py_tp_traverse, (void *)ConstantFactorySlots::traverse},
    {Py_tp_clear, (void *)ConstantFactorySlots::clear},
    {Py_tp_call, (void *)PyVectorcall_Call},
    {Py_tp_members, (void *)constant_factory_members},
    {0, nullptr},
};

PyType_Spec constant_factory_spec = {
    "tallowmere.simulate_signal.constant_factory",
    sizeof(ConstantFactory),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    constant_factory_slots,
};

} // namespace

ref constant_factory(nb::handle value) {
    // Created once, under the GIL; kept for the life of the process.
    static PyTypeObject *type = nullptr;
    if (!type) {
        PyObject *t = PyType_FromSpec(&constant_factory_spec);
        if (!t)
            throw nb::python_error();
        type = reinterpret_cast<PyTypeObject *>(t);
    }
    auto *f = PyObject_GC_New(ConstantFactory, type);
    if (!f)
        throw nb::python_error();
    f->vectorcall = constant_factory_vectorcall;
    f->value = value.inc_ref().ptr();
    PyObject_GC_Track(reinterpret_cast<PyObject *>(f));
    return ref(nb::steal(reinterpret_cast<PyObject *>(f)));
}

} // namespace simsig
