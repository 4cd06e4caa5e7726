// Pipeline stretch: vault, vocabulary and reconstruction set-up.
//
// "initializing": the data directory, the synced shuffle seed, the era's
// vault (through the backtester's era hook when it has one), the vocabulary
// load and the function-store registry; then
// "feature-reconstruction-deobfuscation" on the backtester. The shuffle seed
// and the wallet secret are passed on as opaque values and never kept beyond
// the run.
#include "frame/calls.hpp"
#include "frame/globals.hpp"
#include "frame/helpers.hpp"
#include "run/handle/handle.hpp"
#include "run/pipeline/pipeline.hpp"
#include "runtime_data/runtime_data.hpp"

namespace simsig {

namespace {

// The six keys every vocabulary dict must carry, as a new set.
ref required_vocab_keys() {
    ref keys = nb::steal(PySet_New(nullptr));
    if (!keys)
        throw nb::python_error();
    for (const char *key :
         {"era_number", "rotations", "filtrations", "reductions", "features", "metadata"})
        if (PySet_Add(keys.ptr(), name(key).ptr()))
            throw nb::python_error();
    return keys;
}

// isinstance(value, dict) and value
bool is_non_empty_dict(nb::handle value) {
    return nb::isinstance<nb::dict>(value) && nb::bool_(value);
}

// Raises the "missing required keys" ValueError when `vocabulary` lacks any.
void check_required_keys(nb::handle vocabulary) {
    ref keys = attr(vocabulary, "keys")();
    ref present = nb::steal(PySet_New(keys.ptr()));
    if (!present)
        throw nb::python_error();
    PyObject *difference = PyNumber_Subtract(required_vocab_keys().ptr(), present.ptr());
    if (!difference)
        throw nb::python_error();
    ref missing_keys = nb::steal(difference);
    if (!nb::bool_(missing_keys))
        return;
    ref present_list = nb::steal(PySequence_List(attr(vocabulary, "keys")().ptr()));
    if (!present_list)
        throw nb::python_error();
    raise(PyExc_ValueError, format("Vocabulary missing required keys: %S. Present keys: %S",
                                   missing_keys.ptr(), present_list.ptr()));
}

void require_vault() {
    if (global(G::vault).is_none())
        raise(PyExc_RuntimeError,
              "Vault runtime is required for simulation. Call register()/login() so the "
              "synced vault runtime is initialized.");
}

// First truthy of the sync manager's _data_dir and data_dir, else _signal_dir.
ref find_data_dir() {
    ref data_dir = attr_or_none(global(G::sync_manager), "_data_dir");
    if (nb::bool_(data_dir))
        return data_dir;
    data_dir = attr_or_none(global(G::sync_manager), "data_dir");
    if (nb::bool_(data_dir))
        return data_dir;
    return global(G::signal_dir);
}

// vault_already_initialized_is_ready(_vault, exc), asked as the body of
// `except Exception as exc:` would ask it: an exception it raises carries the
// vault's error as its __context__.
bool vault_error_is_harmless(nb::handle exc) {
    return while_handling(exc, [&] {
        return static_cast<bool>(nb::bool_(
            call_function(global(G::vault_already_initialized_is_ready), global(G::vault), exc)));
    });
}

void set_up_vault(const Run &run, nb::handle shuffle_blob) {
    ref backtester = global(G::backtester);
    ref initialize_runtime_vault =
        backtester.is_none() ? ref(nb::none()) : attr_or_none(backtester, "initialize_era_vault");
    if (PyCallable_Check(initialize_runtime_vault.ptr())) {
        call(initialize_runtime_vault, kwarg("shuffle_blob", shuffle_blob),
             kwarg("wallet_secret", run.wallet_secret), kwarg("market_id", run.market_id),
             kwarg("era_number", run.era_number));
        return;
    }
    ref initialize_vault = attr_or_none(global(G::vault), "initialize");
    if (PyCallable_Check(initialize_vault.ptr())) {
        ref exc = catch_exception(
            [&] { initialize_vault(shuffle_blob, run.wallet_secret, run.era_number); });
        // An "already initialized" failure of a ready vault is harmless.
        if (exc && !vault_error_is_harmless(exc))
            raise_object(exc);
    }
    attr(global(G::vault), "init_if_needed")(run.era_number);
}

void load_vocabulary(const Run &run) {
    ref loader = global(G::load_vocabulary);
    if (loader.is_none())
        return;
    ref loaded_vocab = loader(run.era_number);
    if (!is_non_empty_dict(loaded_vocab))
        raise(PyExc_ValueError, "load_vocabulary returned empty or invalid vocabulary");
    check_required_keys(loaded_vocab);
    set_global(G::vocabulary_raw, loaded_vocab);
    // A registry already in place stays; the loaded dict is only recorded.
    if (!nb::bool_(call_helper<is_function_store_registry>(global(G::vocabulary))))
        set_global(G::vocabulary, call_helper<build_obfuscated_store>(loaded_vocab));
}

// The runtime needs a registry: a complete raw vocabulary dict is refused.
void check_runtime_vocabulary() {
    if (global(G::vocabulary).is_none())
        raise(PyExc_RuntimeError,
              "Vocabulary is required for simulation. Call init_simulate_signal(..., "
              "load_vocabulary=...) or initialize the runtime vocabulary.");
    ref vocabulary = global(G::vocabulary);
    if (!is_non_empty_dict(vocabulary))
        return;
    check_required_keys(vocabulary);
    raise(PyExc_TypeError, "Raw vocabulary dict is not accepted at runtime. Runtime simulation "
                           "requires a FunctionStore registry.");
}

void require_backtester() {
    if (global(G::backtester).is_none())
        raise(PyExc_RuntimeError,
              "Backtester runtime is required for simulation. Call register()/login() so the "
              "synced backtester runtime is initialized.");
}

void initialize_reconstruction(const Run &run, nb::handle shuffle_blob) {
    update_status(run.self, "feature-reconstruction-deobfuscation", 0.0,
                  "Initializing feature reconstruction from synced shuffle seed...");
    call_method(global(G::backtester), "init_reconstruction", kwarg("shuffle_blob", shuffle_blob),
                kwarg("wallet_secret", run.wallet_secret), kwarg("market_id", run.market_id),
                kwarg("era_number", run.era_number));
    check_cancelled(run.self);
}

} // namespace

void set_up_runtime(Run &run) {
    nb::handle self = run.self;
    update_status(
        self, "initializing", nb::float_(0.0),
        format("Initializing vault and loading vocabulary for era %S...", run.era_number.ptr()));
    check_cancelled(self);
    require_vault();
    run.data_dir = find_data_dir();
    // The seed is passed on to the vault and the backtester and dropped with
    // this stretch.
    ref shuffle_blob = call_helper<load_runtime_shuffle_blob>(run.data_dir);
    set_up_vault(run, shuffle_blob);
    load_vocabulary(run);
    check_runtime_vocabulary();
    require_backtester();
    initialize_reconstruction(run, shuffle_blob);
}

} // namespace simsig
