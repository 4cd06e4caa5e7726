// Era configuration and pool selection: the module-level helpers of this
// folder, defined in this order at import.
#include "config/config.hpp"
#include "config/parts.hpp"
#include "frame/globals.hpp"

namespace simsig {

namespace {

bool rich_compare(nb::handle a, nb::handle b, int op) {
    ref result = nb::steal(PyObject_RichCompare(a.ptr(), b.ptr(), op));
    if (!result)
        throw nb::python_error();
    return static_cast<bool>(nb::bool_(result));
}

} // namespace

bool python_equal(nb::handle a, nb::handle b) { return rich_compare(a, b, Py_EQ); }
bool python_not_equal(nb::handle a, nb::handle b) { return rich_compare(a, b, Py_NE); }

bool is_nonempty_str(nb::handle value) { return PyUnicode_Check(value.ptr()) && nb::bool_(value); }

void raise_runtime_not_ready() {
    raise(global(G::SdkRuntimeNotReadyError), static_cast<const char *>(nullptr));
}

void define_config_functions() {
    define_era_config_functions();
    define_strategy_pool_functions();
    define_named_universe_functions();
    define_pool_selection_functions();
}

} // namespace simsig
