// Module attributes read from the module namespace (see calls.hpp).
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

} // namespace simsig
