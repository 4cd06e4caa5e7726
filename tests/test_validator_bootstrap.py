"""The graph validator built lazily from the synced runtime (stand-in engine)."""
from doubles import Wiring, collect


def test_lazy_validator_from_the_runtime_validates_runs(ss):
    w = Wiring().wire(ss, graph_validator=None)
    assert ss._graph_validator is None
    result = collect(ss.simulate_signal(w.signal_graph(), "u1", signal_pool_id="sp1"))
    validator = ss._graph_validator
    assert type(validator).__module__ == "tallowmere.simulator_engine.graph_validator"
    assert validator.registry is ss._vocabulary
    assert result.passed is True
