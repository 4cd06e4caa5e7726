"""The "search" section: one seeded candidate search (examples/candidate_search.py)
in this process, with every handle started at once, and on local Dask clusters
of 1 and 2 worker processes; simulations per second of each, and the speed-ups.

Every configuration is warmed up first (one simulation per process, which
syncs its data), so the figures are the search's steady throughput; the time a
cluster takes to start and wire its workers is reported apart.
"""
import statistics
import sys
import tempfile
import time

from benchmarks import ROOT


def _rounds(search, candidates, rounds):
    seconds, errors = [], 0
    for _ in range(rounds):
        t0 = time.perf_counter()
        outcomes = search()
        seconds.append(time.perf_counter() - t0)
        errors += sum(o.verdict not in ("passed", "failed") for o in outcomes)
    return {"simulations_per_s": candidates / statistics.median(seconds),
            "seconds": seconds, "errors": errors}


def measure(candidates, rounds, worker_counts=(1, 2), seed=0, market_seed=1):
    try:
        import distributed  # noqa: F401
    except ImportError:
        return {"skipped": "dask and distributed are not installed (the distributed extra)"}
    if str(ROOT / "examples") not in sys.path:
        sys.path.insert(0, str(ROOT / "examples"))
    import candidate_search as cs

    import tallowmere.simulate_signal as ss
    graphs = cs.generate_candidates(candidates, seed)
    result = {"candidates": candidates, "rounds": rounds}
    with tempfile.TemporaryDirectory() as data_dir:
        ss.init_simulate_signal(**cs.build_runtime(data_dir, seed=market_seed))
        cs.evaluate_candidate(graphs[0])
        result["in_process"] = _rounds(lambda: cs.search_in_process(graphs), candidates, rounds)
    for workers in worker_counts:
        t0 = time.perf_counter()
        with cs.cluster_client(workers=workers, market_seed=market_seed) as client:
            start_up = time.perf_counter() - t0
            client.run(cs.evaluate_candidate, graphs[0])
            figures = _rounds(lambda: cs.search_on_cluster(client, graphs), candidates, rounds)
        result[f"workers_{workers}"] = dict(figures, start_up_s=start_up)
    rate = {key: result[key]["simulations_per_s"] for key in result if key != "candidates"
            and isinstance(result[key], dict)}
    if {"workers_1", "workers_2"} <= set(rate):
        result["speed_up_2_over_1_worker"] = rate["workers_2"] / rate["workers_1"]
        result["speed_up_2_workers_over_in_process"] = rate["workers_2"] / rate["in_process"]
    return result
