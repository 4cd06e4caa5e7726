"""How long simulate_signal takes to return a handle.

When the sync manager acquires at once, the constructor returns right after
the pipeline's acquisition (far below the 0.1 s bound); when acquire() is slow,
it returns after the 0.1 s bound. Run with the development build on the path:

    SIMULATE_SIGNAL_BUILD=build/dev-<name>/pkg .venv/bin/python benchmarks/handle_construction.py
"""
import os
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "standin"))
if os.environ.get("SIMULATE_SIGNAL_BUILD"):
    sys.path.insert(0, os.environ["SIMULATE_SIGNAL_BUILD"])
sys.path.insert(0, str(ROOT / "examples"))

import demo_collaborators as demo  # noqa: E402
import tallowmere.simulate_signal as ss  # noqa: E402


class SlowAcquire(demo.SyncManager):
    def acquire(self):
        time.sleep(0.3)


def construct(n):
    times = []
    for _ in range(n):
        t0 = time.perf_counter()
        handle = ss.simulate_signal(demo.signal_graph(), demo.NAMED_UNIVERSE,
                                    signal_pool_id="momentum")
        times.append(time.perf_counter() - t0)
        assert handle._done_event.wait(10)
        handle.result()
    return times


def report(label, times):
    times = sorted(times)
    print(f"{label}: n={len(times)} median={statistics.median(times) * 1e3:.3f} ms "
          f"p99={times[int(len(times) * 0.99) - 1] * 1e3:.3f} ms max={times[-1] * 1e3:.3f} ms")


def main():
    collaborators = demo.build()
    ss.init_simulate_signal(**collaborators)
    construct(20)  # warm-up
    report("acquire at once", construct(1000))

    collaborators["sync_manager"] = SlowAcquire(collaborators["sync_manager"]._data_dir, [])
    ss.init_simulate_signal(**collaborators)
    report("acquire takes 0.3 s", construct(5))


if __name__ == "__main__":
    main()
