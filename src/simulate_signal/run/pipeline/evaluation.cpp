// Pipeline stretch: evaluation.
//
// Chooses the evaluation route (the backtester's adapter, or a batch
// orchestrator with the direct backtest), patches the shared backtester for
// the run, applies the vocabulary freshness guard, evaluates the expression
// and finalizes the weights.
#include "config/config.hpp"
#include "frame/calls.hpp"
#include "frame/globals.hpp"
#include "frame/helpers.hpp"
#include "run/pipeline/pipeline.hpp"
#include "runtime_data/runtime_data.hpp"
#include "weights/weights.hpp"

namespace simsig {

namespace {

// ---------------------------------------------------------------------------
// Route, directories, orchestrator

bool is_callable(nb::handle h) { return PyCallable_Check(h.ptr()); }

// What the evaluation stretch works out for itself on the way; the later
// stretches get the route and the weights through Run.
struct Evaluation {
    ref evaluate_expression;
    ref manifest;
    ref signal_dir;
    ref feature_dir;
    ref search_plan;
    ref orchestrator_delegate;
    ref extra_evaluate_kwargs;
};

void choose_adapter_route(Run &run, Evaluation &ev) {
    ref backtester = global(G::backtester);
    ev.evaluate_expression = attr_or_none(backtester, "evaluate_expression");
    run.run_backtest = attr_or_none(backtester, "run_backtest");
    run.backtest_direct = attr_or_none(backtester, "backtest");
    run.use_adapter_path = is_callable(ev.evaluate_expression) && is_callable(run.run_backtest);
}

// A manifest that cannot be read is no manifest.
void read_manifest(Evaluation &ev) {
    ev.manifest = ref(nb::none());
    ref sync_manager = global(G::sync_manager);
    if (sync_manager.is_none())
        return;
    ref manifest;
    catch_exception([&] { manifest = attr(sync_manager, "get_manifest")(); });
    if (manifest)
        ev.manifest = manifest;
}

void compute_search_plan(const Run &run, Evaluation &ev) {
    ref compute = global(G::compute_search_plan);
    if (is_callable(compute))
        ev.search_plan = compute(handle_field(run, Field::expression_type), run.era_cfg,
                                 nb::arg("requested_n_jobs") = 1);
}

// A new orchestrator when the class is wired (and needed), else the injected one.
void choose_orchestrator(const Run &run, Evaluation &ev) {
    ev.search_plan = ref(nb::none());
    ev.orchestrator_delegate = ref(nb::none());
    bool should_construct_orchestrator =
        is_callable(global(G::BatchOrchestrator)) &&
        (!global(G::batch_orchestrator).is_none() || !run.use_adapter_path);
    if (should_construct_orchestrator) {
        compute_search_plan(run, ev);
        ref orchestrator_kwargs = nb::dict();
        orchestrator_kwargs[name("search_plan")] = ev.search_plan;
        orchestrator_kwargs[name("feature_dir")] = ev.feature_dir;
        orchestrator_kwargs[name("signal_dir")] = ev.signal_dir;
        orchestrator_kwargs[name("manifest")] = ev.manifest;
        orchestrator_kwargs[name("backtester")] = global(G::backtester);
        orchestrator_kwargs[name("named_universe")] = handle_field(run, Field::named_universe);
        ev.orchestrator_delegate =
            call_with_kwargs(global(G::BatchOrchestrator), orchestrator_kwargs);
    } else if (!global(G::batch_orchestrator).is_none()) {
        ev.orchestrator_delegate = global(G::batch_orchestrator);
    }
}

void choose_direct_route(const Run &run, Evaluation &ev) {
    bool use_direct_backtest_path = !run.use_adapter_path && !ev.orchestrator_delegate.is_none() &&
                                    is_callable(run.backtest_direct);
    if (use_direct_backtest_path && ev.search_plan.is_none())
        compute_search_plan(run, ev);
    if (!run.use_adapter_path && !use_direct_backtest_path)
        raise(PyExc_RuntimeError,
              "RuntimeEvaluationAdapter is required for simulation. Call register()/login() so "
              "the synced evaluation runtime is initialized.");
}

void build_extra_evaluate_kwargs(Evaluation &ev) {
    ev.extra_evaluate_kwargs = nb::dict();
    ev.extra_evaluate_kwargs[name("feature_dir")] = ev.feature_dir;
    ev.extra_evaluate_kwargs[name("signal_dir")] = ev.signal_dir;
    ev.extra_evaluate_kwargs[name("manifest")] = ev.manifest;
    ev.extra_evaluate_kwargs[name("backtester")] = global(G::backtester);
    if (!ev.search_plan.is_none())
        ev.extra_evaluate_kwargs[name("search_plan")] = ev.search_plan;
}

// ---------------------------------------------------------------------------
// Backtester patches. An empty ref stands for "nothing saved".

struct BacktesterPatches {
    ref restore_evaluator;
    ref restore_search_plan_factory;
};

BacktesterPatches patch_backtester(const Evaluation &ev) {
    BacktesterPatches saved;
    ref backtester = global(G::backtester);
    if (!ev.orchestrator_delegate.is_none() && !backtester.is_none() &&
        has_attr(backtester, "evaluator")) {
        saved.restore_evaluator = attr(backtester, "evaluator");
        set_attr(backtester, "evaluator",
                 call_function(global(G::SimulationOrchestratorEvaluator), ev.orchestrator_delegate,
                               ev.extra_evaluate_kwargs));
    }
    if (!ev.search_plan.is_none() && has_attr(backtester, "search_plan_factory")) {
        saved.restore_search_plan_factory = attr(backtester, "search_plan_factory");
        set_attr(backtester, "search_plan_factory", constant_factory(ev.search_plan));
    }
    return saved;
}

void restore_backtester(const BacktesterPatches &saved) {
    if (saved.restore_evaluator)
        set_attr(global(G::backtester), "evaluator", saved.restore_evaluator);
    if (saved.restore_search_plan_factory)
        set_attr(global(G::backtester), "search_plan_factory", saved.restore_search_plan_factory);
}

// ---------------------------------------------------------------------------
// Freshness, evaluation, weights

// A refresh reported by the guard, or a vocabulary artifact that it loaded
// meanwhile, reloads the run's vocabulary.
void apply_vocabulary_freshness(const Run &run) {
    ref guard = global(G::runtime_freshness_guard);
    ref ensure_fresh =
        guard.is_none() ? ref(nb::none()) : attr_or_none(guard, "ensure_fresh_before_evaluation");
    if (!is_callable(ensure_fresh))
        return;
    ref freshness_before =
        call_helper<runtime_vocabulary_freshness_state>(global(G::runtime_freshness_guard));
    ref refresh_result = ensure_fresh();
    ref freshness_after =
        call_helper<runtime_vocabulary_freshness_state>(global(G::runtime_freshness_guard));
    ref named_universe = handle_field(run, Field::named_universe);
    if (nb::bool_(refresh_result) || nb::bool_(call_helper<runtime_vocabulary_refreshed>(
                                         freshness_before, freshness_after, named_universe)))
        call_helper<reload_runtime_vocabulary_after_freshness>(named_universe);
}

// try: evaluate  finally: restore the backtester's evaluator and plan factory.
void evaluate_on_adapter(Run &run, const Evaluation &ev, const BacktesterPatches &saved) {
    ref error = catch_exception(
        [&] {
            run.eval_weights =
                call(ev.evaluate_expression, handle_field(run, Field::graph),
                     kwarg("metaparameters", run.evaluation_metaparameters_by_pool),
                     kwarg("named_universe", handle_field(run, Field::named_universe)));
        },
        PyExc_BaseException);
    ref restore_error = catch_exception([&] { restore_backtester(saved); }, PyExc_BaseException);
    if (restore_error) {
        if (error && restore_error.ptr() != error.ptr())
            PyException_SetContext(restore_error.ptr(), error.inc_ref().ptr());
        raise_object(restore_error);
    }
    if (error)
        raise_object(error);
}

// The orchestrator's patches stay in place after the run.
void evaluate_on_orchestrator(Run &run, const Evaluation &ev) {
    ref evaluate_fn = attr(ev.orchestrator_delegate, "evaluate");
    ref useful_signals = global(G::useful_signals);
    ref kwargs = nb::dict();
    kwargs[name("graph")] = handle_field(run, Field::graph);
    kwargs[name("expression_type")] = handle_field(run, Field::expression_type);
    kwargs[name("registry")] = global(G::vocabulary);
    kwargs[name("useful_signals")] = nb::bool_(useful_signals) ? useful_signals : nb::dict();
    kwargs[name("universe")] = none();
    kwargs[name("metaparameters")] = run.evaluation_metaparameters_by_pool;
    kwargs[name("transform_pipeline")] = run.transform_pipeline;
    kwargs[name("stage_data")] = call_helper<empty_runtime_stage_data>();
    kwargs[name("column_labels")] =
        call_helper<required_runtime_data_shape_value>(run.era_cfg, "column_labels");
    kwargs[name("signal_universe_rule_ids")] = nb::dict();
    kwargs[name("search_plan")] = ev.search_plan;
    kwargs[name("feature_dir")] = ev.feature_dir;
    kwargs[name("signal_dir")] = ev.signal_dir;
    kwargs[name("manifest")] = ev.manifest;
    kwargs[name("backtester")] = global(G::backtester);
    ref eval_result = call_with_kwargs(evaluate_fn, kwargs);

    ref per_pool_weights = attr_or_none(eval_result, "per_pool_weights");
    if (nb::isinstance<nb::dict>(per_pool_weights) &&
        contains(per_pool_weights, run.selected_signal_pool_id))
        run.eval_weights = ref(per_pool_weights[run.selected_signal_pool_id]);
    else
        run.eval_weights = attr_or(eval_result, "weights", eval_result);
}

void finalize_weights(Run &run) {
    if (!nb::bool_(call_helper<pipeline_applies_rescale>(run.transform_pipeline,
                                                         run.selected_resolved_metaparameters)))
        return;
    run.eval_weights = call_helper<finalize_rescaled_weights>(run.eval_weights);
    call_helper<install_finalized_weights>(global(G::backtester), handle_field(run, Field::graph),
                                           run.evaluation_metaparameters_by_pool,
                                           handle_field(run, Field::named_universe),
                                           run.eval_weights);
}

} // namespace

void evaluate(Run &run) {
    update_status(run.self, "evaluating", 0.0, "Evaluating expression... batch 0/?");
    check_cancelled(run.self);
    Evaluation ev;
    choose_adapter_route(run, ev);
    read_manifest(ev);
    ref signal_dir = global(G::signal_dir);
    ev.signal_dir = nb::bool_(signal_dir) ? signal_dir : run.data_dir;
    ev.feature_dir = ev.signal_dir;
    choose_orchestrator(run, ev);
    choose_direct_route(run, ev);
    build_extra_evaluate_kwargs(ev);
    BacktesterPatches saved = patch_backtester(ev);
    check_cancelled(run.self);
    apply_vocabulary_freshness(run);

    double eval_t0 = monotonic();
    if (run.use_adapter_path)
        evaluate_on_adapter(run, ev, saved);
    else
        evaluate_on_orchestrator(run, ev);
    finalize_weights(run);
    run.eval_elapsed = nb::float_(monotonic() - eval_t0);
}

} // namespace simsig
