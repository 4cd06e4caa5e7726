// tallowmere.simulate_signal: the module definition. Everything the module
// holds is built by build_module (module_setup.cpp), in import order,
// into the one module object of the process (claim_module, frame/py.cpp).
//
// Written out rather than with NB_MODULE, because a failing step must abort
// the import with its own exception (a missing sibling raises its
// ImportError, not a generic one wrapped around it).
#include "assembly.hpp"
#include "frame/state.hpp"

namespace {

int exec_module(PyObject *m) {
    // A refused load (the module is loaded already) sets up nothing.
    if (!simsig::claim_module(m))
        return -1;
    // What NB_MODULE would do first: nanobind's internals, before any nb:: use.
    nanobind::detail::init(NB_DOMAIN_STR);
    try {
        simsig::build_module();
        simsig::module_load_finished(m, true);
        return 0;
    } catch (nanobind::python_error &e) {
        e.restore();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    simsig::module_load_finished(m, false);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, (void *) exec_module},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "simulate_signal",
    "Simulate signal subcomponent \xe2\x80\x94 single expression evaluation pipeline.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

extern "C" NB_EXPORT PyObject *PyInit_simulate_signal(void) {
    return PyModuleDef_Init(&module_def);
}
