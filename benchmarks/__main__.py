"""Run the benchmark suite: ``python -m benchmarks [--quick] [--json PATH]``.

Prints one table and writes the same figures as JSON (default:
benchmarks/results.json). The module is imported from the environment, or
from a development build when SIMULATE_SIGNAL_BUILD names its ``pkg``
directory (as the tests do); the stand-in sibling package comes from
standin/.
"""
import argparse
import json
import os
import platform
import sys
import time
from pathlib import Path

from benchmarks import ROOT
from benchmarks import collaborators as co
from benchmarks import instructions, measure, search
from benchmarks.report import Report

import tallowmere.simulate_signal as ss  # noqa: E402  (after the paths are set)

# Targets: each a ratio measured in the same process run.
FULL_RUN_MAX_RATIO = 2.0
SIGNAL_RUN_MAX_INSTRUCTIONS = 450_000
STATUS_MAX_RATIO = 0.6
CREATION_MAX_RATIO = 2.0
RSS_MAX_KIB_PER_HANDLE = 64
GATHER_MAX_RSS_GROWTH_KIB_PER_ROUND = 256
GATHER_HANDLES_PER_ROUND = 2000


def parse_args(argv):
    parser = argparse.ArgumentParser(prog="python -m benchmarks", description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer repetitions (a smoke run)")
    parser.add_argument("--json", default=str(ROOT / "benchmarks" / "results.json"),
                        help="where to write the results (default: %(default)s)")
    parser.add_argument("--skip", action="append", default=[],
                        choices=["full", "creation", "status", "many", "gather", "instructions",
                                 "search"],
                        help="leave a section out (repeatable)")
    parser.add_argument("--handles", type=int, default=1000,
                        help="live handles in the slow-sync section (default: %(default)s)")
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    scale = 0.2 if args.quick else 1.0
    rounds = max(3, int(15 * scale))
    collaborators = co.Collaborators()
    collaborators.wire(ss)
    report = Report(module_file=ss.__file__, python=platform.python_version(),
                    machine=f"{platform.machine()}, {os.cpu_count()} CPUs")

    if "full" not in args.skip:
        for kind in ("signal", "strategy"):
            result = measure.full_run(ss, kind, rounds, int(200 * scale) or 20)
            report.full_run(kind, result, FULL_RUN_MAX_RATIO)
    if "creation" not in args.skip:
        report.creation(measure.creation(ss, collaborators, rounds, int(200 * scale) or 20),
                        CREATION_MAX_RATIO)
    if "status" not in args.skip:
        report.status(measure.status_cost(ss, rounds, int(40000 * scale)), STATUS_MAX_RATIO)
    if "many" not in args.skip:
        report.many(measure.many_handles(ss, collaborators, args.handles),
                    RSS_MAX_KIB_PER_HANDLE)
    if "gather" not in args.skip:
        report.gather(measure.gather_rounds(ss, rounds=3 if args.quick else 8, warm_up=3,
                                            per_round=GATHER_HANDLES_PER_ROUND),
                      GATHER_MAX_RSS_GROWTH_KIB_PER_ROUND)
    if "instructions" not in args.skip:
        report.instructions(instructions.count(runs=4 if args.quick else 20),
                            SIGNAL_RUN_MAX_INSTRUCTIONS)
    if "search" not in args.skip:  # last: it wires the module anew
        report.search(search.measure(candidates=12 if args.quick else 48,
                                     rounds=1 if args.quick else 3), search.SEARCH_MAX_OVERHEAD)

    print(report.table())
    Path(args.json).write_text(json.dumps(report.data, indent=2, sort_keys=False) + "\n")
    print(f"\nwritten: {args.json}")
    return 0


if __name__ == "__main__":
    t0 = time.perf_counter()
    code = main()
    print(f"({time.perf_counter() - t0:.0f} s)")
    sys.exit(code)
