// Strategy pools and the useful signals a strategy combines. Every strategy
// pool is linked to one signal pool (its "signal_pool_name"), and a strategy
// may only use useful signals of that pool.
#include "config/parts.hpp"

namespace simsig {

namespace {

// The keys that identify a useful signal in its metadata, in the order asked.
const char *const kIdentityKeys[] = {"signal_id", "id", "submission_id", "graph_hash"};

nb::object strategy_signal_pool_id(const Call &a) {
    nb::handle strategy_pool_cfg = a[0], strategy_pool_id = a[1];
    ref signal_pool_id = method_get(strategy_pool_cfg, name("signal_pool_name"));
    if (is_nonempty_str(signal_pool_id))
        return signal_pool_id;
    raise(PyExc_ValueError,
          format("Strategy pool '%S' must declare a linked signal pool via signal_pool_name.",
                 strategy_pool_id.ptr()));
}

// A list entry matches when one of its identity keys equals the reference
// itself (not its str form).
ref metadata_entry_matching(nb::handle metadata_list, nb::handle signal_ref) {
    ref match;
    for_each_item(metadata_list, [&](nb::handle entry) {
        if (!PyDict_Check(entry.ptr()))
            return false;
        for (const char *key : kIdentityKeys) {
            if (python_equal(method_get(entry, name(key)), signal_ref)) {
                match = nb::borrow(entry);
                return true;
            }
        }
        return false;
    });
    return match;
}

// A dict collection is tried with the exact key before its str form.
nb::object metadata_for_signal_ref(const Call &a) {
    nb::handle signal_ref = a[0], metadata = a[1];
    if (PyDict_Check(signal_ref.ptr()))
        return nb::borrow(signal_ref);
    if (PyDict_Check(metadata.ptr())) {
        if (contains(metadata, signal_ref)) {
            ref value = nb::steal(PyObject_GetItem(metadata.ptr(), signal_ref.ptr()));
            if (!value)
                throw nb::python_error();
            return value;
        }
        return method_get(metadata, str(signal_ref));
    }
    if (PyList_Check(metadata.ptr()))
        if (ref entry = metadata_entry_matching(metadata, signal_ref))
            return entry;
    return nb::none();
}

// The first truthy identity value as stored, else the reference itself.
nb::object signal_ref_label(const Call &a) {
    nb::handle signal_ref = a[0];
    nb::handle metadata = PyDict_Check(signal_ref.ptr()) ? signal_ref : a[1];
    if (!PyDict_Check(metadata.ptr()))
        return nb::borrow(signal_ref);
    for (const char *key : kIdentityKeys) {
        ref value = method_get(metadata, name(key));
        if (truthy(value))
            return value;
    }
    return nb::borrow(signal_ref);
}

nb::object metadata_signal_pool_id(const Call &a) {
    nb::handle metadata = a[0];
    if (!PyDict_Check(metadata.ptr()))
        return nb::none();
    ref signal_pool_id = method_get(metadata, name("signal_pool_id"));
    return is_nonempty_str(signal_pool_id) ? nb::object(signal_pool_id) : nb::none();
}

// Signals without pool information pass; the first one from another pool
// stops the check.
nb::object validate_strategy_useful_signal_pools(const Call &a) {
    nb::handle strategy_pool_id = a[0], strategy_pool_cfg = a[1], useful_signals = a[2],
               useful_signal_metadata = a[3];
    if (is_none(useful_signals))
        return nb::none();
    ref expected_signal_pool =
        helper("_strategy_signal_pool_id", strategy_pool_cfg, strategy_pool_id);
    for_each_item(useful_signals, [&](nb::handle signal_ref) {
        ref metadata = helper("_metadata_for_signal_ref", signal_ref, useful_signal_metadata);
        ref actual_signal_pool = helper("_metadata_signal_pool_id", metadata);
        if (is_none(actual_signal_pool))
            return;
        if (!python_not_equal(actual_signal_pool, expected_signal_pool))
            return;
        ref label = helper("_signal_ref_label", signal_ref, metadata);
        raise(PyExc_ValueError,
              format("Strategy pool '%S' is linked to signal pool '%S', but useful signal '%S' "
                     "belongs to signal pool '%S'. Strategies may only reference useful "
                     "signals from the same pool.",
                     strategy_pool_id.ptr(), expected_signal_pool.ptr(), label.ptr(),
                     actual_signal_pool.ptr()));
    });
    return nb::none();
}

// Labels of the useful signals (duplicates kept), else the pool's found ids.
nb::object strategy_referenced_signal_ids(const Call &a) {
    nb::handle useful_signals = a[0], useful_signal_metadata = a[1], pool_cfg = a[2];
    nb::list ref_ids;
    if (truthy(useful_signals)) {
        for_each_item(useful_signals, [&](nb::handle signal_ref) {
            ref metadata = helper("_metadata_for_signal_ref", signal_ref, useful_signal_metadata);
            ref label = helper("_signal_ref_label", signal_ref, metadata);
            if (truthy(label))
                ref_ids.append(str(label));
        });
    }
    if (truthy(ref_ids))
        return ref_ids;
    nb::list found_ids;
    for_each_item(method_get(pool_cfg, name("found_signal_ids"), nb::list()),
                  [&](nb::handle sid) { found_ids.append(str(sid)); });
    return found_ids;
}

} // namespace

void define_strategy_pool_functions() {
    def_function("_strategy_signal_pool_id", {arg("strategy_pool_cfg"), arg("strategy_pool_id")},
                 strategy_signal_pool_id);
    def_function("_metadata_for_signal_ref", {arg("signal_ref"), arg("useful_signal_metadata")},
                 metadata_for_signal_ref);
    def_function("_signal_ref_label", {arg("signal_ref"), arg("metadata")}, signal_ref_label);
    def_function("_metadata_signal_pool_id", {arg("metadata")}, metadata_signal_pool_id);
    def_function("_validate_strategy_useful_signal_pools",
                 {arg("strategy_pool_id"), arg("strategy_pool_cfg"), arg("useful_signals"),
                  arg("useful_signal_metadata")},
                 validate_strategy_useful_signal_pools);
    def_function("_strategy_referenced_signal_ids",
                 {arg("useful_signals"), arg("useful_signal_metadata"), arg("pool_cfg")},
                 strategy_referenced_signal_ids);
}

} // namespace simsig
