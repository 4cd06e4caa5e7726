// The native SimulationHandle type: typed fields mirrored in the instance
// __dict__ (see run/handle.hpp), garbage-collected, weak-referenceable,
// subclassable like the plain class it stands for.
#include "run/handle/handle.hpp"
#include "frame/heap_type.hpp"

#include <cstddef>
#include <new>

namespace simsig {

namespace {

PyTypeObject *g_handle_type = nullptr;

// The attribute name of each field ("_graph", ...), interned.
PyObject *g_field_names[kFieldCount] = {};

// _thread.lock and its two methods: a lock of exactly that type is acquired
// and released through them, without a method lookup.
PyObject *g_lock_type = nullptr;
PyObject *g_lock_acquire = nullptr;
PyObject *g_lock_release = nullptr;
// The same for _thread.RLock (threading's registry lock).
PyObject *g_rlock_type = nullptr;
PyObject *g_rlock_acquire = nullptr;
PyObject *g_rlock_release = nullptr;

int field_index(PyObject *key) {
    for (int i = 0; i < kFieldCount; ++i)
        if (g_field_names[i] == key)
            return i;
    // Attribute names are interned by setattr(); object.__setattr__ may pass
    // one that is not.
    if (!PyUnicode_Check(key))
        return -1;
    for (int i = 0; i < kFieldCount; ++i)
        if (PyUnicode_Compare(g_field_names[i], key) == 0)
            return i;
    PyErr_Clear();
    return -1;
}

using HandleSlots =
    HeapTypeSlots<HandleObject, &HandleObject::fields, &HandleObject::dict,
                  &HandleObject::raised_error, &HandleObject::raised_traceback,
                  &HandleObject::wakeups, &HandleObject::done_callbacks, &HandleObject::future>;

HandleObject *handle(PyObject *self) { return reinterpret_cast<HandleObject *>(self); }

// After __dict__ changed under `key`: the field takes what the dict holds.
void refresh_field(HandleObject *h, int i) {
    PyObject *value = h->dict ? PyDict_GetItemWithError(h->dict, g_field_names[i]) : nullptr;
    if (!value && PyErr_Occurred())
        PyErr_Clear();
    PyObject *old = h->fields[i];
    h->fields[i] = value ? Py_NewRef(value) : nullptr;
    Py_XDECREF(old);
}

int handle_setattro(PyObject *self, PyObject *key, PyObject *value) {
    if (PyObject_GenericSetAttr(self, key, value) < 0)
        return -1;
    int i = field_index(key);
    if (i >= 0)
        refresh_field(handle(self), i);
    return 0;
}

PyObject *handle_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    PyObject *self = PyType_GenericNew(type, args, kwargs);
    if (self && !(handle(self)->ended = new (std::nothrow) WaitFlag())) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return self;
}

PyMemberDef handle_members[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(HandleObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(HandleObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// h.__dict__ = mapping: the fields follow the new dictionary.
int handle_set_dict(PyObject *self, PyObject *value, void *context) {
    if (PyObject_GenericSetDict(self, value, context) < 0)
        return -1;
    for (int i = 0; i < kFieldCount; ++i)
        refresh_field(handle(self), i);
    return 0;
}

PyGetSetDef handle_getset[] = {
    {"__dict__", PyObject_GenericGetDict, handle_set_dict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// PyType_FromSpec with a name that has no module part warns (the module is
// set right after); the warning is not for the module's users.
ref type_from_spec_quietly(PyType_Spec *spec) {
    ref warnings = import_module("warnings");
    ref quiet = attr(warnings, "catch_warnings")();
    call_method(quiet, "__enter__");
    PyObject *type = nullptr;
    ref failure = catch_exception(
        [&] {
            call_method(warnings, "simplefilter", name("ignore"), PyExc_DeprecationWarning);
            type = PyType_FromSpec(spec);
            if (!type)
                throw nb::python_error();
        },
        PyExc_BaseException);
    call_method(quiet, "__exit__", none(), none(), none());
    if (failure)
        raise_object(failure);
    return nb::steal(type);
}

void remember_lock_type() {
    ref lock = attr(import_module("_thread"), "allocate_lock")();
    g_lock_type = nb::handle((PyObject *)Py_TYPE(lock.ptr())).inc_ref().ptr();
    g_lock_acquire = attr(g_lock_type, "acquire").release().ptr();
    g_lock_release = attr(g_lock_type, "release").release().ptr();
    g_rlock_type = attr(import_module("_thread"), "RLock").release().ptr();
    g_rlock_acquire = attr(g_rlock_type, "acquire").release().ptr();
    g_rlock_release = attr(g_rlock_type, "release").release().ptr();
}

} // namespace

PyTypeObject *handle_type() { return g_handle_type; }

ref make_handle_type(const char *doc) {
    for (int i = 0; i < kFieldCount; ++i)
        g_field_names[i] = name(kHandleAttributes[i].attribute).ptr();
    remember_lock_type();
    PyType_Slot slots[] = {
        {Py_tp_doc, (void *)doc},
        {Py_tp_new, (void *)handle_new},
        {Py_tp_setattro, (void *)handle_setattro},
        {Py_tp_traverse, (void *)HandleSlots::traverse},
        {Py_tp_clear, (void *)HandleSlots::clear},
        {Py_tp_dealloc, (void *)HandleSlots::dealloc},
        {Py_tp_members, handle_members},
        {Py_tp_getset, handle_getset},
        {0, nullptr},
    };
    // Named as a class statement names it: the short name is the type's own,
    // so messages read "'SimulationHandle' object has no attribute ...".
    PyType_Spec spec = {"SimulationHandle", sizeof(HandleObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    ref cls = type_from_spec_quietly(&spec);
    set_attr(cls, "__module__", name("tallowmere.simulate_signal"));
    g_handle_type = reinterpret_cast<PyTypeObject *>(cls.inc_ref().ptr());
    return cls;
}

HandleObject *as_handle(nb::handle self, const char *method) {
    if (!g_handle_type || !PyObject_TypeCheck(self.ptr(), g_handle_type)) {
        ref type_name = nb::steal(PyType_GetName(Py_TYPE(self.ptr())));
        if (type_name)
            PyErr_Format(PyExc_TypeError,
                         "descriptor '%s' for 'SimulationHandle' objects doesn't apply to a '%U' "
                         "object",
                         method, type_name.ptr());
        throw nb::python_error();
    }
    return handle(self.ptr());
}

ref field(HandleObject *h, Field f) {
    PyObject *value = h->fields[static_cast<int>(f)];
    if (!value) {
        ref type_name = nb::steal(PyType_GetName(Py_TYPE(reinterpret_cast<PyObject *>(h))));
        if (type_name)
            PyErr_Format(PyExc_AttributeError, "'%U' object has no attribute '%U'", type_name.ptr(),
                         g_field_names[static_cast<int>(f)]);
        throw nb::python_error();
    }
    return ref(nb::borrow(value));
}

bool field_truthy(HandleObject *h, Field f) {
    ref value = field(h, f);
    if (value.ptr() == Py_True)
        return true;
    if (value.ptr() == Py_False || value.ptr() == Py_None)
        return false;
    return static_cast<bool>(nb::bool_(value));
}

ref set_field(HandleObject *h, Field f, nb::handle value) {
    int i = static_cast<int>(f);
    if (!h->dict && !(h->dict = PyDict_New()))
        throw nb::python_error();
    // The field still holds the old value: nothing is freed here.
    if (PyDict_SetItem(h->dict, g_field_names[i], value.ptr()))
        throw nb::python_error();
    ref old = nb::steal(h->fields[i]);
    h->fields[i] = value.inc_ref().ptr();
    return old;
}

namespace {
// lock.acquire() / lock.release(): through the lock type's own method when it
// is a _thread.lock, else looked up on the object as Python would.
void call_lock_method(nb::handle lock, PyObject *own_method, PyObject *rlock_method,
                      const char *method) {
    PyObject *args[] = {nullptr, lock.ptr()};
    auto *type = reinterpret_cast<PyObject *>(Py_TYPE(lock.ptr()));
    PyObject *direct = type == g_lock_type    ? own_method
                       : type == g_rlock_type ? rlock_method
                                              : nullptr;
    PyObject *result =
        direct ? PyObject_Vectorcall(direct, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)
               : PyObject_VectorcallMethod(name(method).ptr(), args + 1,
                                           1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!result)
        throw nb::python_error();
    Py_DECREF(result);
}
} // namespace

void lock_acquire(nb::handle lock) {
    call_lock_method(lock, g_lock_acquire, g_rlock_acquire, "acquire");
}
void lock_release(nb::handle lock) {
    call_lock_method(lock, g_lock_release, g_rlock_release, "release");
}

} // namespace simsig
