// Strategy pools and the useful signals a strategy combines. Every strategy
// pool is linked to one signal pool (its "signal_pool_name"), and a strategy
// may only use useful signals of that pool.
#include "config/config.hpp"
#include "config/parts.hpp"
#include "frame/helpers.hpp"

namespace simsig {

namespace {

// The keys that identify a useful signal in its metadata, in the order asked.
const char *const kIdentityKeys[] = {"signal_id", "id", "submission_id", "graph_hash"};

} // namespace

ref strategy_signal_pool_id(nb::handle strategy_pool_cfg, nb::handle strategy_pool_id) {
    ref signal_pool_id = method_get(strategy_pool_cfg, name("signal_pool_name"));
    if (is_nonempty_str(signal_pool_id))
        return signal_pool_id;
    raise(PyExc_ValueError,
          format("Strategy pool '%S' must declare a linked signal pool via signal_pool_name.",
                 strategy_pool_id.ptr()));
}

namespace {

// A list entry matches when one of its identity keys equals the reference
// itself (not its str form).
ref metadata_entry_matching(nb::handle metadata_list, nb::handle signal_ref) {
    ref match;
    for (nb::handle entry : metadata_list) {
        if (!PyDict_Check(entry.ptr()))
            continue;
        for (const char *key : kIdentityKeys) {
            if (python_equal(method_get(entry, name(key)), signal_ref)) {
                match = nb::borrow(entry);
                break;
            }
        }
        if (match)
            break;
    }
    return match;
}

} // namespace

// A dict collection is tried with the exact key before its str form.
ref metadata_for_signal_ref(nb::handle signal_ref, nb::handle metadata) {
    if (PyDict_Check(signal_ref.ptr()))
        return nb::borrow(signal_ref);
    if (PyDict_Check(metadata.ptr())) {
        if (contains(metadata, signal_ref)) {
            ref value = nb::steal(PyObject_GetItem(metadata.ptr(), signal_ref.ptr()));
            if (!value)
                throw nb::python_error();
            return value;
        }
        return method_get(metadata, nb::str(signal_ref));
    }
    if (PyList_Check(metadata.ptr()))
        if (ref entry = metadata_entry_matching(metadata, signal_ref))
            return entry;
    return nb::none();
}

// The first truthy identity value as stored, else the reference itself.
ref signal_ref_label(nb::handle signal_ref, nb::handle metadata) {
    nb::handle identity = PyDict_Check(signal_ref.ptr()) ? signal_ref : metadata;
    if (!PyDict_Check(identity.ptr()))
        return nb::borrow(signal_ref);
    for (const char *key : kIdentityKeys) {
        ref value = method_get(identity, name(key));
        if (nb::bool_(value))
            return value;
    }
    return nb::borrow(signal_ref);
}

ref metadata_signal_pool_id(nb::handle metadata) {
    if (!PyDict_Check(metadata.ptr()))
        return nb::none();
    ref signal_pool_id = method_get(metadata, name("signal_pool_id"));
    return is_nonempty_str(signal_pool_id) ? nb::object(signal_pool_id) : nb::none();
}

// Signals without pool information pass; the first one from another pool
// stops the check.
ref validate_strategy_useful_signal_pools(nb::handle strategy_pool_id, nb::handle strategy_pool_cfg,
                                          nb::handle useful_signals,
                                          nb::handle useful_signal_metadata) {
    if (useful_signals.is_none())
        return nb::none();
    ref expected_signal_pool =
        call_helper<strategy_signal_pool_id>(strategy_pool_cfg, strategy_pool_id);
    for (nb::handle signal_ref : useful_signals) {
        ref metadata = call_helper<metadata_for_signal_ref>(signal_ref, useful_signal_metadata);
        ref actual_signal_pool = call_helper<metadata_signal_pool_id>(metadata);
        if (actual_signal_pool.is_none())
            continue;
        if (!python_not_equal(actual_signal_pool, expected_signal_pool))
            continue;
        ref label = call_helper<signal_ref_label>(signal_ref, metadata);
        raise(PyExc_ValueError,
              format("Strategy pool '%S' is linked to signal pool '%S', but useful signal '%S' "
                     "belongs to signal pool '%S'. Strategies may only reference useful "
                     "signals from the same pool.",
                     strategy_pool_id.ptr(), expected_signal_pool.ptr(), label.ptr(),
                     actual_signal_pool.ptr()));
    }
    return nb::none();
}

// Labels of the useful signals (duplicates kept), else the pool's found ids.
ref strategy_referenced_signal_ids(nb::handle useful_signals, nb::handle useful_signal_metadata,
                                   nb::handle pool_cfg) {
    nb::list ref_ids;
    if (nb::bool_(useful_signals)) {
        for (nb::handle signal_ref : useful_signals) {
            ref metadata = call_helper<metadata_for_signal_ref>(signal_ref, useful_signal_metadata);
            ref label = call_helper<signal_ref_label>(signal_ref, metadata);
            if (nb::bool_(label))
                ref_ids.append(nb::str(label));
        }
    }
    if (nb::bool_(ref_ids))
        return ref_ids;
    nb::list found_ids;
    for (nb::handle sid : method_get(pool_cfg, name("found_signal_ids"), nb::list()))
        found_ids.append(nb::str(sid));
    return found_ids;
}

void define_strategy_pool_functions() {
    def_helper<strategy_signal_pool_id>("_strategy_signal_pool_id",
                                        {arg("strategy_pool_cfg"), arg("strategy_pool_id")});
    def_helper<metadata_for_signal_ref>("_metadata_for_signal_ref",
                                        {arg("signal_ref"), arg("useful_signal_metadata")});
    def_helper<signal_ref_label>("_signal_ref_label", {arg("signal_ref"), arg("metadata")});
    def_helper<metadata_signal_pool_id>("_metadata_signal_pool_id", {arg("metadata")});
    def_helper<validate_strategy_useful_signal_pools>(
        "_validate_strategy_useful_signal_pools",
        {arg("strategy_pool_id"), arg("strategy_pool_cfg"), arg("useful_signals"),
         arg("useful_signal_metadata")});
    def_helper<strategy_referenced_signal_ids>(
        "_strategy_referenced_signal_ids",
        {arg("useful_signals"), arg("useful_signal_metadata"), arg("pool_cfg")});
}

} // namespace simsig
