// Keyword-name tuples of the fast calls (see calls.hpp).
#include "frame/calls.hpp"

#include <cstring>

namespace simsig {

ref module_attr(nb::handle module, const char *attribute) {
    if (PyModule_CheckExact(module.ptr()) && std::strncmp(attribute, "__", 2) != 0) {
        PyObject *value = PyDict_GetItemWithError(PyModule_GetDict(module.ptr()),
                                                  name(attribute).ptr());
        if (value)
            return ref(nb::borrow(value));
        if (PyErr_Occurred())
            throw nb::python_error();
    }
    return attr(module, attribute);
}

PyObject *keywords::tuple() const {
    if (m_tuple)
        return m_tuple;
    ref names = nb::steal(PyTuple_New((Py_ssize_t) m_names.size()));
    if (!names)
        throw nb::python_error();
    for (size_t i = 0; i < m_names.size(); ++i)
        if (PyTuple_SetItem(names.ptr(), (Py_ssize_t) i, name(m_names[i]).inc_ref().ptr()))
            throw nb::python_error();
    m_tuple = names.release().ptr();
    return m_tuple;
}

} // namespace simsig
