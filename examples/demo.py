"""Demo: a signal and a strategy simulation on the local reference runtime.

Wires the collaborators of ``reference_runtime`` (a seeded synthetic market,
a data directory on disk, a backtester and a JSON-lines search tracker),
then runs one signal and one strategy simulation. While each runs, a progress
line is printed for every change that ``handle.status()`` shows; afterwards a
summary of the result and the line the search tracker appended.

    scripts/demo.sh                       # seed 1: both simulations pass
    scripts/demo.sh --seed 0              # the strategy fails its Sharpe threshold

Uses the installed extension, or a development build when
SIMULATE_SIGNAL_BUILD names its ``pkg`` directory (as the tests do).
"""
import argparse
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))  # the repository root
import dev_paths  # noqa: E402,F401  (the stand-in package, the development build)
ROOT = dev_paths.ROOT

import tallowmere.simulate_signal as ss  # noqa: E402
from reference_runtime import (build_runtime, example_signal_graph,  # noqa: E402
                               example_strategy_graph)
from reference_runtime.tracker import read_records  # noqa: E402

FINAL_PHASES = ("complete", "error", "cancelled")
POLL_INTERVAL_S = 0.002
RUN_TIMEOUT_S = 120.0
BAR_WIDTH = 10


def at_least(minimum):
    """An argparse type: an int of at least ``minimum``."""
    def parse(text):
        try:
            number = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
        if number < minimum:
            raise argparse.ArgumentTypeError(f"{number} is less than {minimum}")
        return number
    return parse


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=at_least(0), default=1,
                        help="seed of the synthetic market, 0 or more (default: %(default)s; "
                        "with 0 the strategy fails its Sharpe threshold)")
    parser.add_argument("--data-dir", type=Path, default=ROOT / "build" / "demo-data",
                        help="the era's local data directory, created when missing "
                        "(default: %(default)s)")
    parser.add_argument("--dates", type=at_least(2), default=300,
                        help="trading dates in the market, at least 2 (default: %(default)s)")
    parser.add_argument("--instruments", type=at_least(2), default=40,
                        help="instruments in the market, at least 2 (default: %(default)s)")
    args = parser.parse_args()
    if args.data_dir.exists() and not args.data_dir.is_dir():
        parser.error(f"argument --data-dir: {args.data_dir} is not a directory")
    return args


def graph_text(node):
    """rank(ts_mean_20(value)): a graph as a formula."""
    name = node["node"]
    if node.get("config"):
        name += "[" + ", ".join(f"{k}={v}" for k, v in node["config"].items()) + "]"
    if not node["children"]:
        return name
    return f"{name}({', '.join(graph_text(child) for child in node['children'])})"


def progress_line(status):
    filled = round(status.progress * BAR_WIDTH)
    bar = "#" * filled + " " * (BAR_WIDTH - filled)
    return (f"  {status.elapsed_s:7.3f}s  {status.phase:<37} [{bar}] {status.progress:4.0%}  "
            f"{status.message}")


def follow(handle):
    """Print a progress line for each new status until the run ends; returns the
    final status. A run still going after RUN_TIMEOUT_S is cancelled."""
    shown = None
    while True:
        status = handle.status()
        seen = (status.phase, status.progress, status.message)
        if seen != shown:
            print(progress_line(status), flush=True)
            shown = seen
        if status.phase in FINAL_PHASES:
            return status
        if status.elapsed_s > RUN_TIMEOUT_S:
            handle.cancel()
        time.sleep(POLL_INTERVAL_S)


def scalar_thresholds(era_config, pool_kind, pool_id, named_universe):
    """The pool's scalar thresholds in the universe, as text ("sharpe >= 1.0, ...")."""
    pool = next(p for p in era_config[f"{pool_kind}_pools"] if p["id"] == pool_id)
    rule_id = era_config["universe_rules"][named_universe]["rule_id"]
    thresholds = pool["universes"][rule_id][f"{pool_kind}_is_thresholds"]
    parts = []
    for metric, bounds in thresholds.items():
        parts += [f"{metric} >= {bounds['min']}"] if "min" in bounds else []
        parts += [f"{metric} <= {bounds['max']}"] if "max" in bounds else []
    return ", ".join(parts)


def gate_text(label, verdict):
    if not getattr(verdict, "evaluated", False):
        return f"{label} not evaluated"
    outcome = "passed" if verdict.passed else "FAILED"
    shown = "unavailable" if verdict.value is None else f"{verdict.value:.3f}"
    return f"{label} {shown} (threshold {verdict.bound}) {outcome}"


def missed_bound(result):
    """The metric, value and bound that failed the run, as its verdict reads
    ("Sharpe 0.97 < 1.00"), or None (a structural failure names no metric)."""
    verdict = {"thresholds": result.stats_verdict, "correlation": result.correlation_verdict,
               "pnl_mi": result.mi_verdict}.get(result.failure_reason)
    return str(verdict) if getattr(verdict, "metric", None) is not None else None


def summarize(result, thresholds):
    if result.passed and result.failure_reason is None:
        verdict = "PASSED every gate"
    elif result.passed:
        verdict = f"passed its thresholds, then FAILED: {result.failure_detail}"
    else:
        verdict = f"FAILED: {result.failure_detail}"
    missed = missed_bound(result)
    if missed:
        verdict += f" ({missed})"
    column = result.per_column_stats
    stats = result.stats
    print(f"  verdict   {verdict}")
    print(f"            thresholds: {thresholds}")
    print(f"  pnl_net   {len(result.pnl_matrix)} dates: return {column['pnl_net_returns']:.1%}/yr, "
          f"volatility {column['pnl_net_volatility']:.1%}, "
          f"Sharpe {column['pnl_net_sharpe']:.2f}, "
          f"max drawdown {column['pnl_net_drawdown']:.1%}, "
          f"hit rate {column['pnl_net_hit_rate']:.0%}")
    print(f"  weights   turnover {stats.turnover:.3f}/date, "
          f"gross exposure {stats.abs_weight_sum_mean:.2f}, "
          f"net exposure {stats.delta_exposure:.2f}, max weight {stats.max_weight:.3f}")
    print(f"  gates     {gate_text('correlation', result.correlation_verdict)}; "
          f"{gate_text('PnL MI', result.mi_verdict)}")
    print(f"  timing    evaluation {result.expression_elapsed_seconds * 1000:.1f} ms, "
          f"backtest {result.backtest_elapsed_seconds * 1000:.1f} ms")


def show_tracking(path):
    records = read_records(path)
    last = records[-1]
    payload = last["payload"]
    print(f"  tracked   {last['kind']} record appended as line {len(records)} of {path}")
    print(f"            (passed_thresholds={payload['passed_thresholds']}, "
          f"rejection_reason={payload['rejection_reason']!r}, {len(payload)} keys)")


def simulate(title, start, thresholds, tracking_path):
    print(f"\n== {title}")
    handle = start()
    status = follow(handle)
    try:
        result = handle.result()
    except ss.CancelledError:
        print(f"  cancelled after {status.elapsed_s:.1f} s")
        return None
    except Exception as exc:  # the run's own error, re-raised by result()
        print(f"  the run failed: {type(exc).__name__}: {exc}")
        return None
    summarize(result, thresholds)
    show_tracking(tracking_path)
    return result


def show_options(era_config):
    options = ss.effective_simulation_options(era_config)
    universes = ", ".join(f"{o['named_universe']} (rule {o['rule_id']})"
                          for o in options["universe_options"])
    print(f"era {era_config['era_number']} offers: {universes}; "
          f"engines: {', '.join(options['engine_definitions'])}")


def main():
    args = parse_args()
    print(ss.__doc__)
    runtime = build_runtime(args.data_dir, seed=args.seed, n_dates=args.dates,
                            n_instruments=args.instruments)
    ss.init_simulate_signal(**runtime)
    era_config = runtime["era_config"]
    tracking_path = runtime["search_tracker"].path
    print(f"reference runtime: seed {args.seed}, {args.dates} dates x {args.instruments} "
          f"instruments, data in {args.data_dir}")
    show_options(era_config)

    universe = "synth_broad"
    signal = example_signal_graph()
    simulate(f"simulate_signal  {graph_text(signal)}  in {universe}, signal pool alpha",
             lambda: ss.simulate_signal(signal, named_universe=universe, signal_pool_id="alpha"),
             scalar_thresholds(era_config, "signal", "alpha", universe), tracking_path)
    strategy = example_strategy_graph()
    simulate(f"simulate_strategy  {graph_text(strategy)}  in {universe}, strategy pool combo",
             lambda: ss.simulate_strategy(strategy, named_universe=universe,
                                          strategy_pool_id="combo"),
             scalar_thresholds(era_config, "strategy", "combo", universe), tracking_path)


if __name__ == "__main__":
    main()
