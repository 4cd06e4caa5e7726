"""The quick ways the module builds records, reads attributes and calls
methods behave as the plain Python they stand for: the same objects, the same
replacements honoured, the same errors."""
import dataclasses
import types

import pytest

import doubles as d
from doubles import Wiring, collect, start_signal


def finished_handle(ss):
    Wiring().wire(ss)
    handle = start_signal(ss)
    collect(handle)
    return handle


def made_by_constructor(ss, status):
    return ss.SimulationStatus(status.phase, status.progress, status.message, status.era_number,
                               status.elapsed_s)


class TestStatusRecords:
    def test_snapshot_is_the_dataclass_as_its_constructor_makes_it(self, ss):
        handle = finished_handle(ss)
        snapshot = handle.status()
        twin = made_by_constructor(ss, snapshot)
        assert type(snapshot) is ss.SimulationStatus
        assert snapshot == twin and repr(snapshot) == repr(twin)
        assert list(vars(snapshot).items()) == list(vars(twin).items())
        assert dataclasses.asdict(snapshot) == dataclasses.asdict(twin)
        assert snapshot is not handle._status and snapshot is not handle.status()

    def test_internal_status_is_a_plain_instance(self, ss):
        handle = finished_handle(ss)
        internal = handle._status
        assert list(vars(internal)) == ["phase", "progress", "message", "era_number",
                                        "elapsed_s"]
        assert internal == made_by_constructor(ss, internal)

    def test_replaced_class_in_the_namespace_is_called(self, ss, monkeypatch):
        handle = finished_handle(ss)
        made = []

        class Recording(ss.SimulationStatus):
            def __init__(self, *args):
                made.append(args)
                super().__init__(*args)

        monkeypatch.setattr(ss, "SimulationStatus", Recording)
        snapshot = handle.status()
        assert type(snapshot) is Recording
        assert made == [("complete", 1.0, "Simulation complete. Results available.",
                         d.ERA_NUMBER, snapshot.elapsed_s)]

    # (__new__ is left out: once set on a class, deleting it does not give
    # the class object.__new__'s own slot back.)
    @pytest.mark.parametrize("member", ["__init__", "__setattr__"])
    def test_replaced_construction_on_the_class_is_honoured(self, ss, member):
        handle = finished_handle(ss)
        cls = ss.SimulationStatus
        seen = []
        if member == "__init__":
            original = cls.__init__

            def replacement(self, *args):
                seen.append(args[0])
                original(self, *args)
        else:
            def replacement(self, key, value):
                seen.append(key)
                object.__setattr__(self, key, value)
        # Put back by deletion where the class had no member of its own:
        # assigning the inherited one would leave a slot wrapper behind.
        saved = vars(cls).get(member)
        setattr(cls, member, replacement)
        try:
            snapshot = handle.status()
        finally:
            if saved is None:
                delattr(cls, member)
            else:
                setattr(cls, member, saved)
        assert seen and snapshot.phase == "complete"

    def test_odd_internal_status_is_read_through_its_attributes(self, ss):
        handle = finished_handle(ss)
        handle._status = types.SimpleNamespace(phase="p", progress=0.5, message="m",
                                               era_number=3, elapsed_s=9.0)
        snapshot = handle.status()
        assert (snapshot.phase, snapshot.progress, snapshot.message, snapshot.era_number) == (
            "p", 0.5, "m", 3)
        assert type(snapshot) is ss.SimulationStatus and snapshot.elapsed_s != 9.0

    def test_extra_attribute_on_the_internal_status_is_not_copied(self, ss):
        handle = finished_handle(ss)
        handle._status.note = "internal"
        assert not hasattr(handle.status(), "note")

    def test_clock_comes_from_the_time_global_now(self, ss, monkeypatch):
        handle = finished_handle(ss)
        start = handle._start_time
        monkeypatch.setattr(ss, "time", types.SimpleNamespace(monotonic=lambda: start + 42.0))
        assert handle.status().elapsed_s == pytest.approx(42.0)


class TestAttributeLookups:
    @pytest.mark.parametrize("error, outcome", [(AttributeError, "missing"),
                                                (RuntimeError, "raised")])
    def test_optional_hook_whose_lookup_fails(self, ss, error, outcome):
        w = Wiring()

        class SyncManager(d.SyncManager):
            @property
            def request_feature_files_for_sync(self):
                raise error("lookup failed")

        w.sync_manager = SyncManager(w.log, w.data_dir, w.sync_result, w.manifest)
        w.wire(ss)
        handle = start_signal(ss)
        if outcome == "missing":
            assert collect(handle).passed
        else:
            with pytest.raises(RuntimeError, match="lookup failed"):
                collect(handle)


class TestMethodCalls:
    def test_methods_replaced_on_the_class_are_called_with_the_handle(self, ss, monkeypatch):
        Wiring().wire(ss)
        checked = []
        original = ss.SimulationHandle._check_cancelled

        def recording(self):
            checked.append(self)
            return original(self)

        monkeypatch.setattr(ss.SimulationHandle, "_check_cancelled", recording)
        handle = start_signal(ss)
        collect(handle)
        assert checked and all(h is handle for h in checked)

    def test_replaced_lock_is_used_for_status(self, ss):
        handle = finished_handle(ss)
        calls = []

        class Lock:
            def acquire(self):
                calls.append("acquire")

            def release(self):
                calls.append("release")

        handle._lock = Lock()
        handle.status()
        assert calls == ["acquire", "release"]


class TestEvents:
    def test_events_behave_as_threading_events(self, ss):
        import threading
        event = finished_handle(ss)._done_event
        assert isinstance(event, threading.Event) and event.is_set() and event.wait(0)
        event.clear()
        assert event.wait(timeout=0.01) is False and not event.is_set()

    def test_a_replaced_threading_global_makes_the_events(self, ss, monkeypatch):
        import threading
        made = []

        class Event(threading.Event):
            def __init__(self):
                super().__init__()
                made.append(self)

        monkeypatch.setattr(ss, "threading", types.SimpleNamespace(
            Event=Event, Lock=threading.Lock, Thread=threading.Thread))
        handle = finished_handle(ss)
        assert [handle._done_event, handle._acquire_done, handle._post_acquire_gate] == made
        assert all(e.is_set() for e in made)


class TestOwnHelpers:
    def test_a_replaced_helper_is_called_instead_of_the_body(self, ss, monkeypatch):
        calls = []
        original = ss._simulation_graph_feature_names

        def replacement(graph):
            calls.append(graph)
            return original(graph)

        monkeypatch.setattr(ss, "_simulation_graph_feature_names", replacement)
        handle = finished_handle(ss)
        assert calls == [handle._graph]
