"""Demo: wire small local collaborators, run one signal and one strategy
simulation, print each phase as it happens and the final SimulationResult.

Uses the installed extension, or a development build when
SIMULATE_SIGNAL_BUILD names its ``pkg`` directory (as the tests do).
"""
import os
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "standin"))
if os.environ.get("SIMULATE_SIGNAL_BUILD"):
    sys.path.insert(0, os.environ["SIMULATE_SIGNAL_BUILD"])
sys.path.insert(0, str(Path(__file__).resolve().parent))

import demo_collaborators as demo  # noqa: E402
import tallowmere.simulate_signal as ss  # noqa: E402

RESULT_TIMEOUT_S = 30.0
_started = [time.monotonic()]


def show_phase(phase):
    print(f"  {time.monotonic() - _started[0]:7.4f}s  {phase}", flush=True)


def run(title, start):
    print(f"\n== {title}")
    _started[0] = time.monotonic()
    handle = start()
    if not handle._done_event.wait(RESULT_TIMEOUT_S):
        handle.cancel()
    result = handle.result()
    status = handle.status()
    print(f"  status: {status.phase} ({status.message})")
    print(result)
    return result


def main():
    print(ss.__doc__)
    collaborators = demo.build(set_phase=show_phase)
    ss.init_simulate_signal(**collaborators)

    run("simulate_signal", lambda: ss.simulate_signal(
        demo.signal_graph(), demo.NAMED_UNIVERSE, signal_pool_id="momentum"))
    run("simulate_strategy", lambda: ss.simulate_strategy(
        demo.strategy_graph(), demo.NAMED_UNIVERSE, strategy_pool_id="momentum-strategies"))

    tracker = collaborators["search_tracker"]
    print(f"\nsearch tracker recorded: {[kind for kind, _ in tracker.records]}")


if __name__ == "__main__":
    main()
