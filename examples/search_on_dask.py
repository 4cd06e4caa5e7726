"""A candidate search on Dask: seeded signal graphs simulated on workers, ranked.

N signal graphs, generated from a seed, are each simulated through
simulate_signal on a Dask worker and ranked when all are in.

    .venv/bin/python examples/search_on_dask.py [--candidates 24] [--seed 0]
        [--workers N | --scheduler tcp://host:8786 | --in-process]

By default a local cluster of one worker process per core (one thread each)
runs the search; --scheduler uses a running cluster instead and starts nothing
here; --in-process starts every handle in this process and collects them (the
module's own concurrency), for comparison. Every worker wires the module once,
through a worker plugin, on its own reference runtime built from --market-seed;
the tasks carry only the graph and the universe and pool names, and return a
small summary. A candidate that fails or crashes is reported in its row and the
search goes on; Ctrl-C cancels what is outstanding and shuts down cleanly.
"""
import argparse
import json
import os
import sys
import tempfile
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
                        help="seed of every process's reference runtime (default: %(default)s)")
    parser.add_argument("--graph", action="append", default=[], type=json.loads,
                        metavar="JSON", help="also evaluate this graph (repeatable)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", type=int, default=os.cpu_count(),
                       help="worker processes of the local cluster (default: %(default)s)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="use the running cluster at ADDRESS (tcp://host:8786)")
    where.add_argument("--in-process", action="store_true",
                       help="all handles in this process, no Dask")
    parser.add_argument("--universe", default=cs.UNIVERSE, help="(default: %(default)s)")
    parser.add_argument("--pool", default=cs.POOL, help="signal pool (default: %(default)s)")
    return parser.parse_args(argv)


class Progress:
    """A bar on stderr, redrawn as each outcome arrives."""

    def __init__(self, total):
        self.total, self.done, self.failed = total, 0, 0
        self.t0 = time.perf_counter()

    def __call__(self, index, outcome):
        self.done += 1
        self.failed += outcome.verdict in ("error", "crashed")
        filled = 30 * self.done // self.total
        rate = self.done / max(time.perf_counter() - self.t0, 1e-9)
        sys.stderr.write(f"\r[{'#' * filled}{'-' * (30 - filled)}] {self.done}/{self.total}"
                         f"  {rate:.1f}/s  errors: {self.failed}")
        if self.done == self.total:
            sys.stderr.write("\n")
        sys.stderr.flush()


def _figure(value, digits=2):
    return "-" if value is None else f"{value:.{digits}f}"


def table(candidates, outcomes):
    names = [cs.short_form(graph) for graph in candidates]
    width = min(max([len("graph")] + [len(n) for n in names]), 60)
    lines = [f"{'#':>3}  {'graph':{width}}  {'verdict':7}  {'Sharpe':>6}  {'turnover':>8}  "
             f"{'corr':>5}  {'PnL MI':>6}  reason"]
    for rank, index in enumerate(cs.ranked(outcomes), 1):
        o = outcomes[index]
        name = names[index] if len(names[index]) <= width else names[index][:width - 3] + "..."
        reason = " ".join(": ".join(part for part in (o.reason, o.detail) if part).split()) or "-"
        lines.append(f"{rank:>3}  {name:{width}}  {o.verdict:7}  {_figure(o.sharpe):>6}  "
                     f"{_figure(o.turnover, 3):>8}  {_figure(o.correlation):>5}  "
                     f"{_figure(o.mi):>6}  {reason[:90]}")
    return "\n".join(lines)


def search(args, candidates, progress):
    """(outcomes, seconds spent evaluating)."""
    if args.in_process:
        import tallowmere.simulate_signal as ss
        with tempfile.TemporaryDirectory() as data_dir:
            ss.init_simulate_signal(**cs.build_runtime(data_dir, seed=args.market_seed))
            print("in this process: every handle started at once, then collected", flush=True)
            progress.t0 = t0 = time.perf_counter()
            outcomes = cs.search_in_process(candidates, universe=args.universe,
                                            pool=args.pool, on_outcome=progress)
            return outcomes, time.perf_counter() - t0
    t0 = time.perf_counter()
    with cs.cluster_client(workers=args.workers, scheduler=args.scheduler,
                           market_seed=args.market_seed) as client:
        n = len(client.scheduler_info()["workers"])
        where = f"cluster at {args.scheduler}" if args.scheduler else "local cluster"
        print(f"{where}: {n} worker(s), wired in {time.perf_counter() - t0:.1f} s", flush=True)
        progress.t0 = t0 = time.perf_counter()
        outcomes = cs.search_on_cluster(client, candidates, universe=args.universe,
                                        pool=args.pool, on_outcome=progress)
        return outcomes, time.perf_counter() - t0


def main(argv=None):
    args = parse_args(argv)
    started = time.perf_counter()
    candidates = cs.generate_candidates(args.candidates, args.seed) + args.graph
    print(f"{len(candidates)} candidates (seed {args.seed}), market seed {args.market_seed}, "
          f"universe {args.universe}, pool {args.pool}", flush=True)
    progress = Progress(len(candidates))
    try:
        outcomes, seconds = search(args, candidates, progress)
    except KeyboardInterrupt:
        sys.stderr.write(f"\ninterrupted: {progress.done} of {len(candidates)} done, "
                         "the rest cancelled\n")
        return 130
    print()
    print(table(candidates, outcomes))
    pids = sorted({o.pid for o in outcomes if o.pid is not None})
    print()
    print(f"throughput: {len(candidates) / seconds:.1f} simulations/s "
          f"({len(candidates)} in {seconds:.2f} s)")
    print(f"wall time: {time.perf_counter() - started:.2f} s (start-up and wiring included)")
    print(f"processes that simulated: {', '.join(map(str, pids)) or 'none'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
