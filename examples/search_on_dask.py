"""A candidate search on Dask: seeded signal graphs simulated on workers, ranked.

N signal graphs, generated from a seed, are each simulated through
simulate_signal on a Dask worker and ranked when all are in.

    .venv/bin/python examples/search_on_dask.py [--candidates 24] [--seed 0]
        [--workers N | --scheduler tcp://127.0.0.1:8786 | --in-process]
        [--runtime MODULE:FUNCTION] [--out FILE.csv | FILE.parquet]

By default a local cluster of one worker process per core (one thread each)
runs the search; --scheduler uses a running cluster instead and starts nothing
here; --in-process starts every handle in this process and collects them (the
module's own concurrency), for comparison. The search's sources go to the
workers (and to a running cluster's scheduler) through worker and scheduler
plugins; every worker builds its own collaborators once with the runtime
factory (default reference_runtime:build_runtime), from --market-seed. The
tasks carry batches of graphs, sized from the measured per-task overhead, and
return small summaries. A candidate that fails or crashes is reported in its
row and the search goes on; a worker that cannot serve stops it; Ctrl-C
cancels what is outstanding and shuts down cleanly.
"""
import argparse
import csv
import json
import os
import sys
import tempfile
import traceback
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import candidate_search as cs  # noqa: E402  (puts the repository and the module on the path)


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--candidates", type=int, default=24, help="how many graphs to generate "
                        "(default: %(default)s)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the candidate graphs (default: %(default)s)")
    parser.add_argument("--market-seed", type=int, default=1,
                        help="seed of every process's runtime (default: %(default)s)")
    parser.add_argument("--graph", action="append", default=[], type=json.loads,
                        metavar="JSON", help="also evaluate this graph (repeatable)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", type=int, default=os.cpu_count(),
                       help="worker processes of the local cluster (default: %(default)s)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="use the running cluster at ADDRESS (tcp://127.0.0.1:8786)")
    where.add_argument("--in-process", action="store_true",
                       help="all handles in this process, no Dask")
    parser.add_argument("--universe", default=cs.UNIVERSE, help="(default: %(default)s)")
    parser.add_argument("--pool", default=cs.POOL, help="signal pool (default: %(default)s)")
    parser.add_argument("--runtime", default=cs.DEFAULT_RUNTIME, metavar="MODULE:FUNCTION",
                        help="factory of each process's collaborators, called with a data "
                        "directory and the market seed (default: %(default)s)")
    parser.add_argument("--batch-size", type=int, metavar="N",
                        help="candidates per task (default: sized from the measured overhead)")
    parser.add_argument("--out", type=Path, metavar="FILE",
                        help="write every outcome row to FILE: CSV, or Parquet for *.parquet")
    args = parser.parse_args(argv)
    try:
        cs.load_factory(args.runtime)
    except Exception as error:
        parser.error(f"argument --runtime: {args.runtime}: {type(error).__name__}: {error}")
    if args.out and args.out.suffix == ".parquet":
        try:
            import pyarrow.parquet  # noqa: F401
        except ImportError as error:
            parser.error(f"argument --out: writing Parquet needs pyarrow ({error}); "
                         "pip install '.[parquet]', or name a .csv file")
    if args.batch_size is not None and args.batch_size < 1:
        parser.error("argument --batch-size: at least 1")
    return args


class Progress:
    """A bar on stderr, redrawn as each outcome arrives."""

    def __init__(self, total):
        self.total, self.done, self.failed = total, 0, 0
        self.t0 = time.perf_counter()

    def __call__(self, index, outcome):
        self.done += 1
        self.failed += not outcome.ran
        filled = 30 * self.done // self.total
        rate = self.done / max(time.perf_counter() - self.t0, 1e-9)
        sys.stderr.write(f"\r[{'#' * filled}{'-' * (30 - filled)}] {self.done}/{self.total}"
                         f"  {rate:.1f}/s  crashed: {self.failed}")
        if self.done == self.total:
            sys.stderr.write("\n")
        sys.stderr.flush()


def _figure(value, digits=2):
    return "-" if value is None else f"{value:.{digits}f}"


def reason_text(o):
    """Why a run failed, with the bound it missed ("Selected pool threshold
    check failed (Sharpe 0.60 < 1.00)"), or the error it raised."""
    if o.bound:
        return f"{o.detail or o.reason} ({o.bound})"
    return ": ".join(part for part in (o.reason, o.detail) if part)


def table(candidates, outcomes):
    names = [cs.short_form(graph) for graph in candidates]
    width = min(max([len("graph")] + [len(n) for n in names]), 60)
    lines = [f"{'#':>3}  {'graph':{width}}  {'verdict':7}  {'Sharpe':>6}  {'turnover':>8}  "
             f"{'corr':>5}  {'PnL MI':>6}  reason"]
    for rank, index in enumerate(cs.ranked(outcomes), 1):
        o = outcomes[index]
        name = names[index] if len(names[index]) <= width else names[index][:width - 3] + "..."
        reason = " ".join(reason_text(o).split()) or "-"
        lines.append(f"{rank:>3}  {name:{width}}  {o.verdict:7}  {_figure(o.sharpe):>6}  "
                     f"{_figure(o.turnover, 3):>8}  {_figure(o.correlation):>5}  "
                     f"{_figure(o.mi):>6}  {reason[:90]}")
    return "\n".join(lines)


def search(args, candidates, progress):
    """(outcomes, seconds spent evaluating)."""
    if args.in_process:
        with tempfile.TemporaryDirectory() as data_dir:
            try:
                cs.wire(args.runtime, data_dir, args.market_seed)
            except Exception as error:
                raise cs.WorkerCannotServe(f"the runtime {args.runtime} failed to wire this "
                                           f"process:\n{traceback.format_exc()}") from error
            print("in this process: every handle started at once, then collected", flush=True)
            progress.t0 = t0 = time.perf_counter()
            outcomes = cs.search_in_process(candidates, universe=args.universe,
                                            pool=args.pool, on_outcome=progress)
            return outcomes, time.perf_counter() - t0
    t0 = time.perf_counter()
    with cs.cluster_client(workers=args.workers, scheduler=args.scheduler,
                           market_seed=args.market_seed, runtime=args.runtime) as client:
        n = len(client.scheduler_info()["workers"])
        overhead = None if args.batch_size else cs.measure_task_overhead(client)
        where = f"cluster at {args.scheduler}" if args.scheduler else "local cluster"
        batches = (f"batches of {args.batch_size}" if args.batch_size else
                   f"{overhead * 1000:.1f} ms per task, batches sized to match")
        print(f"{where}: {n} worker(s), wired in {time.perf_counter() - t0:.1f} s; {batches}",
              flush=True)
        progress.t0 = t0 = time.perf_counter()
        outcomes = cs.search_on_cluster(client, candidates, universe=args.universe,
                                        pool=args.pool, on_outcome=progress,
                                        batch=args.batch_size, overhead=overhead)
        return outcomes, time.perf_counter() - t0


FIELDS = ("verdict", "reason", "bound", "detail", "sharpe", "turnover", "correlation", "mi",
          "stats_verdict", "correlation_verdict", "mi_verdict", "seconds", "pid", "worker",
          "error")


def rows(candidates, outcomes):
    """One dict per candidate, in candidate order: its graph in short form,
    the outcome's fields, and the seconds spent in each phase (None for a
    phase the run did not reach)."""
    return [{"candidate": index, "graph": cs.short_form(graph),
             **{name: getattr(outcome, name) for name in FIELDS},
             **{f"{phase.replace('-', '_')}_s": outcome.phases.get(phase)
                for phase in cs.PHASES}}
            for index, (graph, outcome) in enumerate(zip(candidates, outcomes))]


def write_rows(path, records):
    if path.suffix == ".parquet":
        import pyarrow
        import pyarrow.parquet
        pyarrow.parquet.write_table(pyarrow.Table.from_pylist(records), path)
        return
    with open(path, "w", newline="", encoding="utf-8") as out:
        writer = csv.DictWriter(out, fieldnames=list(records[0]) if records else ["candidate"])
        writer.writeheader()
        writer.writerows(records)


def main(argv=None):
    args = parse_args(argv)
    started = time.perf_counter()
    candidates = cs.generate_candidates(args.candidates, args.seed) + args.graph
    print(f"{len(candidates)} candidates (seed {args.seed}), market seed {args.market_seed}, "
          f"universe {args.universe}, pool {args.pool}, runtime {args.runtime}", flush=True)
    progress = Progress(len(candidates))
    try:
        outcomes, seconds = search(args, candidates, progress)
    except KeyboardInterrupt:
        sys.stderr.write(f"\ninterrupted: {progress.done} of {len(candidates)} done, "
                         "the rest cancelled\n")
        return 130
    except cs.WorkerCannotServe as error:
        sys.stderr.write(f"\nsearch stopped: {error}\n")
        return 1
    print()
    print(table(candidates, outcomes))
    print()
    if args.out:
        write_rows(args.out, rows(candidates, outcomes))
        print(f"outcomes written: {args.out} ({len(outcomes)} rows)")
    ran = [o for o in outcomes if o.ran]
    passed = sum(o.verdict == "passed" for o in ran)
    print(f"outcomes: {passed} passed, {len(ran) - passed} failed a gate, "
          f"{len(outcomes) - len(ran)} crashed")
    if candidates and not ran:
        index = next(i for i, o in enumerate(outcomes) if not o.ran)
        sys.stderr.write(f"every candidate crashed; the first, {cs.short_form(candidates[index])},"
                         f" with:\n{outcomes[index].error or reason_text(outcomes[index])}\n")
        return 1
    pids = sorted({o.pid for o in ran if o.pid is not None})
    print(f"throughput: {len(ran) / seconds:.1f} simulations/s "
          f"({len(ran)} that ran, in {seconds:.2f} s)")
    print(f"wall time: {time.perf_counter() - started:.2f} s (start-up and wiring included)")
    print(f"processes that simulated: {', '.join(map(str, pids)) or 'none'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
