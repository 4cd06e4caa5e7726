// The module globals table (frame/globals.hpp): names made once, values read now.
#include "frame/calls.hpp"
#include "frame/globals.hpp"

namespace simsig {

namespace {

const char *const kGlobalNames[] = {
#define SIMSIG_GLOBAL_NAME(id, python_name) python_name,
    SIMSIG_MODULE_GLOBALS(SIMSIG_GLOBAL_NAME)
#undef SIMSIG_GLOBAL_NAME
};
static_assert(sizeof(kGlobalNames) / sizeof(kGlobalNames[0]) == size_t(G::count));

PyObject *g_interned[size_t(G::count)] = {};  // guarded by the GIL; kept for the process

} // namespace

nb::handle global_name(G g) {
    PyObject *&slot = g_interned[size_t(g)];
    if (!slot)
        slot = name(kGlobalNames[size_t(g)]).ptr();
    return slot;
}

ref global(G g) { return global(global_name(g)); }

void set_global(G g, nb::handle value) {
    if (PyDict_SetItem(module_dict().ptr(), global_name(g).ptr(), value.ptr()))
        throw nb::python_error();
}

ref module_logger() { return global(G::logger); }
ref module_threading() { return global(G::threading); }

double monotonic() {
    ref t = call(module_attr(global(G::time), "monotonic"));
    double d = PyFloat_AsDouble(t.ptr());
    if (d == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return d;
}

} // namespace simsig
