"""The native core's quick ways to build records, read attributes, call methods
and make events give what the plain Python they stand for gives, and step
aside for a replacement: one test per quick path."""
import threading
import types

import pytest

import doubles as d
from doubles import Wiring, collect, start


def finished_handle(ss):
    Wiring().wire(ss)
    handle = start(ss)
    collect(handle)
    return handle


@pytest.mark.parametrize("replaced", [None, "namespace class", "__init__", "__setattr__"])
def test_status_snapshot(ss, monkeypatch, replaced):
    handle = finished_handle(ss)
    cls, seen = ss.SimulationStatus, []
    if replaced == "namespace class":
        monkeypatch.setattr(ss, "SimulationStatus", type("Recording", (cls,), {
            "__init__": lambda self, *a: (seen.append(a), cls.__init__(self, *a))[1]}))
    elif replaced == "__init__":
        init = cls.__init__
        monkeypatch.setattr(cls, "__init__", lambda self, *a: (seen.append(a), init(self, *a))[1],
                            raising=False)
    elif replaced == "__setattr__":
        monkeypatch.setattr(cls, "__setattr__", lambda self, k, v: (
            seen.append(k), object.__setattr__(self, k, v))[1], raising=False)
    snapshot = handle.status()
    twin = ss.SimulationStatus("complete", 1.0, "Simulation complete. Results available.",
                               d.ERA_NUMBER, snapshot.elapsed_s)
    assert type(snapshot) is ss.SimulationStatus
    assert snapshot == twin and list(vars(snapshot).items()) == list(vars(twin).items())
    assert snapshot is not handle._status and snapshot is not handle.status()
    assert bool(seen) is (replaced is not None)


def test_status_read_from_an_odd_internal_status(ss):
    handle = finished_handle(ss)
    handle._status = types.SimpleNamespace(phase="p", progress=0.5, message="m", era_number=3,
                                           elapsed_s=9.0, note="internal")
    snapshot = handle.status()
    assert (snapshot.phase, snapshot.progress, snapshot.message, snapshot.era_number) == (
        "p", 0.5, "m", 3)
    assert snapshot.elapsed_s != 9.0 and not hasattr(snapshot, "note")


def test_status_clock_is_the_time_global(ss, monkeypatch):
    handle = finished_handle(ss)
    monkeypatch.setattr(ss, "time", types.SimpleNamespace(
        monotonic=lambda: handle._start_time + 42.0))
    assert handle.status().elapsed_s == pytest.approx(42.0)


def test_replaced_lock_is_used_for_status(ss):
    handle = finished_handle(ss)
    calls = []
    handle._lock = types.SimpleNamespace(acquire=lambda: calls.append("acquire"),
                                         release=lambda: calls.append("release"))
    handle.status()
    assert calls == ["acquire", "release"]


@pytest.mark.parametrize("error", [AttributeError, RuntimeError])
def test_optional_hook_whose_lookup_fails(ss, error):
    w = Wiring()

    class FailingLookup(d.Double):
        @property
        def request_feature_files_for_sync(self):
            raise error("lookup failed")
    del w.sync_manager.request_feature_files_for_sync
    w.sync_manager.__class__ = FailingLookup
    w.wire(ss)
    if error is AttributeError:            # a missing hook
        assert collect(start(ss)).passed
    else:
        with pytest.raises(RuntimeError, match="lookup failed"):
            collect(start(ss))


def test_handle_method_replaced_on_the_class_is_called(ss, monkeypatch):
    Wiring().wire(ss)
    checked, original = [], ss.SimulationHandle._check_cancelled
    monkeypatch.setattr(ss.SimulationHandle, "_check_cancelled",
                        lambda self: (checked.append(self), original(self))[1])
    handle = start(ss)
    collect(handle)
    assert checked and all(h is handle for h in checked)


def test_module_helper_replaced_in_the_namespace_is_called(ss, monkeypatch):
    calls, original = [], ss._simulation_graph_feature_names
    monkeypatch.setattr(ss, "_simulation_graph_feature_names",
                        lambda graph: (calls.append(graph), original(graph))[1])
    handle = finished_handle(ss)
    assert calls == [handle._graph]


@pytest.mark.parametrize("replaced", [False, True])
def test_handle_events(ss, monkeypatch, replaced):
    made = []
    if replaced:
        class Event(threading.Event):
            def __init__(self):
                super().__init__()
                made.append(self)
        monkeypatch.setattr(ss, "threading", types.SimpleNamespace(
            Event=Event, Lock=threading.Lock, Thread=threading.Thread))
    handle = finished_handle(ss)
    events = [handle._done_event, handle._acquire_done, handle._post_acquire_gate]
    assert made == (events if replaced else [])
    event = events[0]
    assert isinstance(event, threading.Event) and event.is_set() and event.wait(0)
    event.clear()
    assert event.wait(timeout=0.01) is False and not event.is_set()
