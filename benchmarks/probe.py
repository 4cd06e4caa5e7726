"""The child process that callgrind counts: ``python -m benchmarks.probe
TARGET KIND RUNS WARM_UP``.

TARGET "module" makes full runs through the module; "floor" makes the floor's
runs (the same collaborator calls by plain Python on a fresh thread). Both do
the same set-up, record the floor and warm up alike, so that the difference
between two probes that differ only in RUNS is the cost of those runs.
"""
import sys

from benchmarks import collaborators as co
from benchmarks import floor as fl
from benchmarks import measure

import tallowmere.simulate_signal as ss  # noqa: E402  (after the paths are set)


def main(target, kind, runs, warm_up):
    collaborators = co.Collaborators()
    collaborators.wire(ss)
    floor, _ = measure.record_floor(ss, kind)
    if target == "module":
        start = co.entry(ss, kind)

        def run():
            start().result()
    else:
        run = fl.floor_on_thread(floor)
    for _ in range(warm_up + runs):
        run()


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
