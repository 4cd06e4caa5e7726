// The pipeline driver: SimulationHandle._run_pipeline runs the stretches in
// run order on the pipeline thread, turns what ended the run into the handle's
// status and error, and always ends with the exit block.
#include "frame/globals.hpp"
#include "run/handle/handle.hpp"
#include "run/pipeline/pipeline.hpp"

namespace simsig {

namespace {

// ---------------------------------------------------------------------------
// The pipeline driver

// The stretches in run order. An Exception raised by any of them ends the
// run and is returned; anything else (KeyboardInterrupt, SystemExit)
// propagates.
ref run_stretches(Run &run) {
    try {
        acquire_and_sync(run);
        set_up_runtime(run);
        validate_and_configure(run);
        evaluate(run);
        backtest_and_gate(run);
        pool_gates(run);
        finish(run);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        return ref(nb::borrow(e.value()));
    } catch (std::exception &e) {
        // A C++ failure inside a stretch ends the run like any Python error.
        return new_exception(PyExc_RuntimeError, e.what());
    }
    return ref();
}

bool cancelled(HandleObject *h) {
    bool flag = false;
    locked(h, [&](Displaced &) { flag = field_truthy(h, Field::cancelled); });
    return flag;
}

// except CancelledError / except Exception as e. A run cancelled before it
// failed ends as cancelled: result() then raises CancelledError, as status()
// says.
void record_failure(nb::handle self, nb::handle error) {
    HandleObject *h = as_handle(self, "_run_pipeline");
    if (is_instance(error, global(G::CancelledError)) || cancelled(h)) {
        update_status(self, "cancelled", 0.0, "Simulation cancelled by user.");
        locked(h, [&](Displaced &displaced) {
            displaced.push_back(set_field(h, Field::error, cancelled_error()));
        });
    } else {
        update_status(self, "error", nb::float_(0.0), format("Error: %S", error.ptr()));
        locked(h, [&](Displaced &displaced) {
            // A cancel() between the status and this line keeps its CancelledError.
            if (!field_truthy(h, Field::cancelled))
                displaced.push_back(set_field(h, Field::error, error));
        });
    }
}

// Always runs: records the acquisition for _do_release and wakes every waiter.
// The run ends here even when an event refuses to be set.
void exit_block(const Run &run) {
    HandleObject *h = as_handle(run.self, "_run_pipeline");
    ref failure = catch_exception(
        [&] {
            locked(h, [&](Displaced &displaced) {
                displaced.push_back(
                    set_field(h, Field::pipeline_acquired, nb::bool_(run.acquired)));
            });
            event_set(field(h, Field::acquire_done));
            event_set(field(h, Field::post_acquire_gate));
            event_set(field(h, Field::done_event));
        },
        PyExc_BaseException);
    end_run(run.self);
    if (failure)
        raise_object(failure);
}

} // namespace

ref run_pipeline(nb::handle self) {
    Run run;
    run.self = as_handle(self, "_run_pipeline") ? self : nb::handle();
    run.acquired = false;
    // A BaseException that is not an Exception leaves after the exit block.
    // Held as a ref (never as a C++ exception object) so that a forced unwind
    // at interpreter exit releases nothing without the GIL.
    ref escaping;
    try {
        ref error = run_stretches(run);
        if (error)
            record_failure(run.self, error);
    }
    SIMSIG_LET_FORCED_UNWIND_THROUGH
    catch (nb::python_error &e) {
        escaping = ref(nb::borrow(e.value()));
    }
    exit_block(run);
    if (escaping)
        raise_object(escaping);
    return nb::none();
}

} // namespace simsig
