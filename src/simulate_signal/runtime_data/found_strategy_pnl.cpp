// PnL series of the strategies already found in a pool, as the data sync
// delivered them: the files ".../found_strategies/<id>/strategy_is/pnl.arrow"
// among the synced paths.
#include "frame/calls.hpp"
#include "frame/frame.hpp"
#include "frame/helpers.hpp"
#include "runtime_data/runtime_data.hpp"

namespace simsig {

namespace {

bool ends_with(nb::handle text, const char *suffix) {
    Py_ssize_t match = PyUnicode_Tailmatch(text.ptr(), name(suffix).ptr(), 0, PY_SSIZE_T_MAX, +1);
    if (match < 0)
        throw nb::python_error();
    return match == 1;
}

// No slash normalization: backslash-separated paths never match. The leading
// slash lets a relative path that starts with "found_strategies/" count.
bool is_found_strategy_pnl_path(nb::handle path) {
    ref rooted = nb::steal(PyUnicode_Concat(name("/").ptr(), path.ptr()));
    if (!rooted)
        throw nb::python_error();
    return contains(rooted, name("/found_strategies/")) &&
           ends_with(path, "/strategy_is/pnl.arrow");
}

} // namespace

ref synced_found_strategy_pnl_paths(nb::handle sync_result) {
    if (!PyList_Check(sync_result.ptr()) && !PyTuple_Check(sync_result.ptr())) {
        ref type_name = nb::steal(PyType_GetName(Py_TYPE(sync_result.ptr())));
        if (!type_name)
            throw nb::python_error();
        raise(PyExc_TypeError,
              format("request_for_sync() must return a list or tuple of synced file paths, "
                     "got %U",
                     type_name.ptr()));
    }
    nb::list paths;
    for (nb::handle path : sync_result)
        if (PyUnicode_Check(path.ptr()) && is_found_strategy_pnl_path(path))
            paths.append(path);
    return paths;
}

// One loaded array per found-strategy path, in order; the first path that
// cannot be loaded fails the whole load.
ref load_synced_found_strategy_pnl_arrays(nb::handle sync_result, nb::handle raw_backtester) {
    ref paths = call_helper<synced_found_strategy_pnl_paths>(sync_result);
    if (!nb::bool_(paths))
        return nb::list();
    ref load_runtime_pnl_array = from_import("tallowmere._runtime", "_load_runtime_pnl_array");
    nb::list arrays;
    for (nb::handle path : paths) {
        ref loaded = call(load_runtime_pnl_array, path, kwarg("raw_backtester", raw_backtester));
        if (loaded.is_none())
            raise(PyExc_ValueError,
                  format("Synced found-strategy PnL data could not be loaded for correlation: %S",
                         path.ptr()));
        arrays.append(loaded);
    }
    return arrays;
}

void define_found_strategy_pnl_functions() {
    def_helper<synced_found_strategy_pnl_paths>("_synced_found_strategy_pnl_paths",
                                                {arg("sync_result")});
    def_helper<load_synced_found_strategy_pnl_arrays>("_load_synced_found_strategy_pnl_arrays",
                                                      {arg("sync_result"), arg("raw_backtester")});
}

} // namespace simsig
