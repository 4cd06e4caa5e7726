// Imports of modules that are already loaded, without the import machinery.
#include "frame/frame.hpp"

namespace simsig {

namespace {
PyObject *g_importlib = nullptr;              // importlib as imported at set-up
PyObject *g_importlib_import_module = nullptr;
} // namespace

ref loaded_module(nb::handle module_name) {
    if (!PyUnicode_CheckExact(module_name.ptr()))
        return ref();
    // PyImport_GetModule waits for a module that another thread is still
    // initialising, as an import statement does.
    PyObject *m = PyImport_GetModule(module_name.ptr());
    if (!m) {
        if (PyErr_Occurred())
            throw nb::python_error();
        return ref();
    }
    ref held = nb::steal(m);
    return held.is_none() ? ref() : held;
}

void remember_importlib(nb::handle importlib) {
    g_importlib = importlib.inc_ref().ptr();
    g_importlib_import_module = attr(importlib, "import_module").release().ptr();
}

ref importlib_import_module(nb::handle importlib, nb::handle module_name) {
    ref import_module_fn = attr(importlib, "import_module");
    if (importlib.ptr() == g_importlib && import_module_fn.ptr() == g_importlib_import_module &&
        PyUnicode_CheckExact(module_name.ptr()) && PyUnicode_GetLength(module_name.ptr()) > 0 &&
        PyUnicode_ReadChar(module_name.ptr(), 0) != '.') {
        if (ref m = loaded_module(module_name))
            return m;
    }
    return call_function(import_module_fn, module_name);
}

} // namespace simsig
