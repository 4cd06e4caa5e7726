// Pipeline stretch: acquisition and data sync.
//
// The graph-kind check, the dependency check, the wallet secret, the
// acquisition of the sync manager (and the handshake with the constructor),
// the "syncing" phase with its shared single-flight data sync, and the
// synced market and era.
//
// The shared sync state is five module globals. `_sync_lock` guards
// `_sync_in_progress`, `_sync_result_cache`, `_sync_exception_cache` and the
// clearing/setting of `_sync_event`; it is held only for the short
// bookkeeping blocks below, never while request_for_sync() runs or while a
// waiter waits, and never together with a handle's `_lock`.
#include "config/config.hpp"
#include "frame/calls.hpp"
#include "frame/globals.hpp"
#include "frame/helpers.hpp"
#include "graph/graph.hpp"
#include "run/handle/handle.hpp"
#include "run/pipeline/pipeline.hpp"

namespace simsig {

namespace {

// A run that arrives while another syncs waits this long for its outcome.
constexpr double kSyncWaitSeconds = 30.0;
// The pipeline waits at most this long for the constructor to open the gate.
constexpr double kPostAcquireGateSeconds = 5.0;

void record_config_era(const Run &run) {
    ref ec_dict = global(G::era_config);
    ref config_era = ec_dict.is_none() ? nb::int_(0) : attr(ec_dict, "get")("era_number", 0);
    ref old = set_field(run.handle(), Field::config_era_number, config_era);
}

void check_graph_kind(nb::handle self) {
    ref expression_type = field(self, Field::expression_type);
    if (expression_type.equal(name("SIGNAL"))) {
        if (nb::bool_(call_helper<has_filtration_runtime_graph>(field(self, Field::graph))))
            raise(PyExc_ValueError,
                  "simulate_signal only accepts signal graphs (rotation/feature nodes only). "
                  "Strategy simulation is deferred in the v1 public SDK.");
    } else if (is_strategy(expression_type)) {
        if (!nb::bool_(call_helper<has_filtration_runtime_graph>(field(self, Field::graph))))
            raise(PyExc_ValueError, "Strategy graph must contain at least one filtration node. "
                                    "Use simulate_signal() for signal graphs.");
    }
}

void require_dependencies() {
    if (global(G::auth).is_none() || global(G::sync_manager).is_none())
        raise(PyExc_RuntimeError,
              "Pipeline dependencies not initialized. Call register() or login() first.");
}

// The run holds the sync manager from here until result() releases it.
void record_acquisition(Run &run) {
    HandleObject *h = run.handle();
    locked(h, [&](Displaced &displaced) {
        displaced.push_back(set_field(h, Field::pipeline_acquired, true_()));
    });
    run.acquired = true;
    ref old = set_field(h, Field::acquired, true_());
    event_set(field(h, Field::acquire_done));
    event_wait(field(h, Field::post_acquire_gate), kPostAcquireGateSeconds);
}

// isinstance(value, (int, float)): anything else counts as 0.
ref byte_count(nb::handle sync_manager, const char *attribute) {
    ref zero = nb::int_(0);
    ref value = attr_or(sync_manager, attribute, zero);
    if (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr()))
        return value;
    return zero;
}

// One snapshot of the download counters; there is no progress callback.
void report_download_progress(nb::handle self) {
    ref bytes_downloaded = byte_count(global(G::sync_manager), "bytes_downloaded");
    ref total_bytes = byte_count(global(G::sync_manager), "total_bytes");
    int positive = PyObject_RichCompareBool(total_bytes.ptr(), nb::int_(0).ptr(), Py_GT);
    if (positive < 0)
        throw nb::python_error();
    if (!positive) {
        update_status(self, "syncing", 0.0, "Syncing data from server...");
        return;
    }
    PyObject *progress = PyNumber_TrueDivide(bytes_downloaded.ptr(), total_bytes.ptr());
    if (!progress)
        throw nb::python_error();
    ref sync_progress = nb::steal(progress);
    update_status(self, "syncing", sync_progress,
                  format("Syncing data... %S/%S bytes downloaded", bytes_downloaded.ptr(),
                         total_bytes.ptr()));
}

void request_feature_files(nb::handle self) {
    ref request = attr_or_none(global(G::sync_manager), "request_feature_files_for_sync");
    ref graph_feature_names =
        call_helper<simulation_graph_feature_names>(field(self, Field::graph));
    if (!nb::bool_(graph_feature_names) || !PyCallable_Check(request.ptr()))
        return;
    update_status(self, "syncing", 0.0, "Syncing graph feature data from server...");
    call(request, graph_feature_names,
         kwarg("expression_type", field(self, Field::expression_type)),
         kwarg("named_universe", field(self, Field::named_universe)));
    check_cancelled(self);
}

// Claims the shared sync when none is in progress.
bool claim_shared_sync() {
    bool claimed = false;
    locked(global(G::sync_lock), [&] {
        if (nb::bool_(global(G::sync_in_progress)))
            return;
        set_global(G::sync_in_progress, true_());
        set_global(G::sync_exception_cache, none());
        event_clear(global(G::sync_event));
        claimed = true;
    });
    return claimed;
}

// The shared sync ended in `failure`: the waiters take it, and the next run
// starts a new sync.
void share_sync_failure(nb::handle failure) {
    locked(global(G::sync_lock), [&] {
        set_global(G::sync_exception_cache, failure);
        set_global(G::sync_in_progress, false_());
        event_set(global(G::sync_event));
    });
}

// This run syncs for every run that arrives meanwhile. An Exception is shared
// with the waiters as it is. An interrupt (KeyboardInterrupt, SystemExit)
// ends this run only: the waiters get a SyncError caused by it, rather than
// every later run waiting 30 s for a sync that will never finish.
ref perform_shared_sync() {
    ref sync_result;
    ref failure;
    ref interrupt;
    try {
        failure = catch_exception([&] {
            sync_result = attr(global(G::sync_manager), "request_for_sync")();
            locked(global(G::sync_lock), [&] {
                set_global(G::sync_result_cache, sync_result);
                set_global(G::sync_exception_cache, none());
                set_global(G::sync_in_progress, false_());
                event_set(global(G::sync_event));
            });
        });
    }
    SIMSIG_LET_FORCED_UNWIND_THROUGH
    catch (nb::python_error &e) {
        interrupt = ref(nb::borrow(e.value()));
    }
    if (interrupt) {
        ref interrupted =
            new_exception(global(G::SyncError), "Simulation data sync was interrupted");
        PyException_SetCause(interrupted.ptr(), interrupt.inc_ref().ptr());
        share_sync_failure(interrupted);
        raise_object(interrupt);
    }
    if (failure) {
        share_sync_failure(failure);
        raise_object(failure);
    }
    return sync_result;
}

// Another run syncs: take its result, or raise its very exception.
ref await_shared_sync() {
    if (!event_wait(global(G::sync_event), kSyncWaitSeconds))
        raise(global(G::SyncError), "Timed out waiting for simulation data sync to complete");
    ref sync_result;
    locked(global(G::sync_lock), [&] {
        ref cached_exception = global(G::sync_exception_cache);
        if (!cached_exception.is_none())
            raise_object(cached_exception);
        sync_result = global(G::sync_result_cache);
    });
    return sync_result;
}

void shared_data_sync(Run &run) {
    bool do_sync = claim_shared_sync();
    run.sync_result = do_sync ? perform_shared_sync() : await_shared_sync();
}

void derive_market_era(Run &run) {
    std::vector<ref> market_era =
        unpack(call_helper<derive_synced_market_era>(global(G::sync_manager)), 2);
    run.market_id = market_era[0];
    run.era_number = market_era[1];
    HandleObject *h = run.handle();
    locked(h,
           [&](Displaced &) { set_attr(field(h, Field::status), "era_number", run.era_number); });
}

} // namespace

void acquire_and_sync(Run &run) {
    nb::handle self = run.self;
    record_config_era(run);
    check_graph_kind(self);
    check_cancelled(self);
    require_dependencies();
    run.wallet_secret = attr(global(G::auth), "get_wallet_secret")();

    update_status(self, "syncing", 0.0, "Syncing data from server...");
    check_cancelled(self);
    attr(global(G::sync_manager), "acquire")();
    record_acquisition(run);

    report_download_progress(self);
    check_cancelled(self);
    request_feature_files(self);
    shared_data_sync(run);
    derive_market_era(run);
}

// In a child made by fork(), no thread of it syncs: a sync the parent had in
// progress is not waited for there, and a new run syncs anew.
void reset_shared_sync_after_fork() {
    if (ref lock = renewed_lock_if_held(global(G::sync_lock)))
        set_global(G::sync_lock, lock);
    if (nb::bool_(global(G::sync_in_progress))) {
        set_global(G::sync_in_progress, false_());
        set_global(G::sync_exception_cache, none());
    }
}

} // namespace simsig
