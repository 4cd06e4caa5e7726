"""The "search" section: one seeded candidate search (examples/candidate_search.py)
in this process, with every handle started at once, and on local Dask clusters
of 1 and 2 worker processes; simulations per second of each, the cluster
path's overhead per simulation against one process (target: at most
SEARCH_MAX_OVERHEAD with one worker) and the parallel efficiency of two
workers (their rate over twice one worker's).

Every configuration is warmed up first (one simulation per process, which
syncs its data), so the figures are the search's steady throughput; the time a
cluster takes to start and wire its workers, and to measure its per-task
overhead (which sizes the batches), is reported apart. The one-process search
runs in turn with each cluster's, round after round, and each cluster is
compared with it: a load beside the benchmark then weighs on both alike.
"""
import statistics
import tempfile
import time

from benchmarks import ROOT

SEARCH_MAX_OVERHEAD = 0.10


def _rounds(searches, rounds, candidates):
    """{name: figures} of each search, run in turn ``rounds`` times, so that
    a load beside the benchmark weighs on each alike."""
    seconds = {name: [] for name in searches}
    ran = {name: [] for name in searches}
    for _ in range(rounds):
        for name, search in searches.items():
            t0 = time.perf_counter()
            outcomes = search()
            seconds[name].append(time.perf_counter() - t0)
            ran[name].append(sum(o.ran for o in outcomes))
    return {name: {"simulations_per_s": statistics.median(
                       n / s for n, s in zip(ran[name], seconds[name])),
                   "seconds": seconds[name], "crashed": rounds * candidates - sum(ran[name])}
            for name in searches}


def measure(candidates, rounds, worker_counts=(1, 2), seed=0, market_seed=1):
    try:
        import distributed  # noqa: F401
    except ImportError:
        return {"skipped": "dask and distributed are not installed (the distributed extra)"}
    import candidate_search as cs

    graphs = cs.generate_candidates(candidates, seed)
    result = {"candidates": candidates, "rounds": rounds}
    with tempfile.TemporaryDirectory() as data_dir:
        cs.wire(cs.DEFAULT_RUNTIME, data_dir, market_seed)
        cs.evaluate_candidate(graphs[0])
        in_process = []
        for workers in worker_counts:
            t0 = time.perf_counter()
            with cs.cluster_client(workers=workers, market_seed=market_seed) as client:
                client.run(cs.evaluate_candidate, graphs[0])
                overhead = cs.measure_task_overhead(client)
                start_up = time.perf_counter() - t0
                figures = _rounds({
                    "in_process": lambda: cs.search_in_process(graphs),
                    "cluster": lambda: cs.search_on_cluster(client, graphs, overhead=overhead),
                }, rounds, candidates)
            in_process.append(figures["in_process"])
            result[f"workers_{workers}"] = dict(
                figures["cluster"], start_up_s=start_up, task_overhead_ms=overhead * 1000,
                relative_to_in_process=(figures["cluster"]["simulations_per_s"]
                                        / figures["in_process"]["simulations_per_s"]))
    result["in_process"] = {
        "simulations_per_s": statistics.median(r["simulations_per_s"] for r in in_process),
        "seconds": [s for r in in_process for s in r["seconds"]],
        "crashed": sum(r["crashed"] for r in in_process)}
    # Each cluster against the one-process search timed beside it.
    relative = {key: result[key]["relative_to_in_process"] for key in result
                if key.startswith("workers_")}
    if "workers_1" in relative:
        result["overhead_1_worker"] = 1 / relative["workers_1"] - 1
    if {"workers_1", "workers_2"} <= set(relative):
        result["efficiency_2_workers"] = relative["workers_2"] / (2 * relative["workers_1"])
        result["speed_up_2_workers_over_in_process"] = relative["workers_2"]
    return result
