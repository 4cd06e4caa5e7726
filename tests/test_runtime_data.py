"""Shuffle seed, function-store registry, vocabulary freshness and reload, found-strategy PnL."""
import builtins
import importlib
import importlib.abc
import json
import logging
import os
import sys
import types
from pathlib import Path
from types import MappingProxyType, SimpleNamespace

import pytest

import tallowmere._runtime as runtime
import tallowmere.function_store as function_store
import tallowmere.obfuscation as obfuscation
import tallowmere.simulator_engine.graph_validator as graph_validator

SEED_MISSING = ("shuffle_seed.enc is required for simulation reconstruction. Run data sync or "
                "pass a sync manager/data_dir that exposes the synced seed.")
GV = "tallowmere.simulator_engine.graph_validator"


# ---------------------------------------------------------------------------
# Shuffle seed

def write_seed(directory, content):
    (directory / "shuffle_seed.enc").write_bytes(content)


class TrackingOpen:
    """builtins.open that remembers the files it opened."""

    def __init__(self, fail_read=False):
        self.opened = []
        self.fail_read = fail_read
        self.real_open = builtins.open

    def __call__(self, *args, **kwargs):
        handle = self.real_open(*args, **kwargs)
        self.opened.append((args, handle))
        if self.fail_read:
            def read(*a):
                raise OSError("read failed")
            handle = SimpleNamespace(read=read, close=handle.close, raw=handle)
            self.opened[-1] = (args, handle.raw)
        return handle


class TestLoadRuntimeShuffleBlob:
    def test_returns_the_exact_bytes(self, ss, tmp_path):
        seed = bytes(range(60))
        write_seed(tmp_path, seed)
        blob = ss._load_runtime_shuffle_blob(str(tmp_path))
        assert blob == seed and type(blob) is bytes

    def test_path_like_data_dir(self, ss, tmp_path):
        write_seed(tmp_path, b"s" * 60)
        assert ss._load_runtime_shuffle_blob(tmp_path) == b"s" * 60

    @pytest.mark.parametrize("data_dir", [None, "", b""])
    def test_no_data_dir_never_touches_the_file_system(self, ss, data_dir):
        def touched(*args):
            raise AssertionError("file system touched")
        ss.os = SimpleNamespace(path=SimpleNamespace(join=touched, exists=touched))
        with pytest.raises(FileNotFoundError) as info:
            ss._load_runtime_shuffle_blob(data_dir)
        assert str(info.value) == SEED_MISSING and info.value.args == (SEED_MISSING,)

    def test_data_dir_without_the_file(self, ss, tmp_path):
        with pytest.raises(FileNotFoundError, match="^shuffle_seed.enc is required"):
            ss._load_runtime_shuffle_blob(str(tmp_path))

    @pytest.mark.parametrize("size", [0, 59, 61])
    def test_wrong_length_is_refused_and_the_file_closed(self, ss, tmp_path, monkeypatch, size):
        write_seed(tmp_path, b"x" * size)
        tracker = TrackingOpen()
        monkeypatch.setattr(builtins, "open", tracker)
        with pytest.raises(ValueError) as info:
            ss._load_runtime_shuffle_blob(str(tmp_path))
        assert str(info.value) == f"Shuffle seed must be 60 bytes, got {size}"
        (args, handle), = tracker.opened
        assert args == (os.path.join(str(tmp_path), "shuffle_seed.enc"), "rb")
        assert handle.closed

    def test_read_error_propagates_and_the_file_is_closed(self, ss, tmp_path, monkeypatch):
        write_seed(tmp_path, b"x" * 60)
        tracker = TrackingOpen(fail_read=True)
        monkeypatch.setattr(builtins, "open", tracker)
        with pytest.raises(OSError, match="read failed"):
            ss._load_runtime_shuffle_blob(str(tmp_path))
        assert tracker.opened[0][1].closed

    def test_directory_in_place_of_the_file(self, ss, tmp_path):
        (tmp_path / "shuffle_seed.enc").mkdir()
        with pytest.raises(IsADirectoryError):
            ss._load_runtime_shuffle_blob(str(tmp_path))

    def test_content_goes_through_the_namespace_validator(self, ss, tmp_path):
        write_seed(tmp_path, b"abc")
        seen = []
        ss._validate_shuffle_blob = lambda blob: seen.append(blob) or "validated"
        assert ss._load_runtime_shuffle_blob(str(tmp_path)) == "validated"
        assert seen == [b"abc"]


class BytesSub(bytes):
    pass


class TestValidateShuffleBlob:
    @pytest.mark.parametrize("blob", [b"k" * 60, bytearray(b"k" * 60), BytesSub(b"k" * 60)])
    def test_accepted_as_immutable_bytes(self, ss, blob):
        result = ss._validate_shuffle_blob(blob)
        assert result == b"k" * 60 and type(result) is bytes

    def test_bytearray_is_copied(self, ss):
        blob = bytearray(60)
        result = ss._validate_shuffle_blob(blob)
        blob[0] = 1
        assert result == bytes(60)

    @pytest.mark.parametrize("blob", ["k" * 60, memoryview(b"k" * 60), None, list(range(60))])
    def test_not_bytes(self, ss, blob):
        with pytest.raises(TypeError) as info:
            ss._validate_shuffle_blob(blob)
        assert str(info.value) == "shuffle_seed.enc must be bytes"


# ---------------------------------------------------------------------------
# Function store

class RaisingFinder(importlib.abc.MetaPathFinder):
    """Makes the import of one module fail with ModuleNotFoundError(name=...)."""

    def __init__(self, target, missing_name):
        self.target, self.missing_name = target, missing_name

    def find_spec(self, fullname, path=None, target=None):
        if fullname == self.target:
            raise ModuleNotFoundError(f"No module named {self.missing_name!r}",
                                      name=self.missing_name)
        return None


@pytest.fixture
def function_store_unimportable(monkeypatch):
    def make(missing_name):
        monkeypatch.delitem(sys.modules, "tallowmere.function_store")
        monkeypatch.setattr(sys, "meta_path",
                            [RaisingFinder("tallowmere.function_store", missing_name)]
                            + sys.meta_path)
    return make


class TestIsFunctionStoreRegistry:
    @pytest.mark.parametrize("value, expected", [
        (function_store.FunctionStore(), True), ({}, False), (None, False),
    ])
    def test_values(self, ss, value, expected):
        assert ss._is_function_store_registry(value) is expected

    def test_class_after_a_module_reload(self, ss, monkeypatch):
        old_class = function_store.FunctionStore
        monkeypatch.setattr(function_store, "FunctionStore",
                            type("FunctionStore", (), {}))
        assert ss.FunctionStore is old_class
        assert ss._is_function_store_registry(function_store.FunctionStore()) is True

    def test_module_not_installed(self, ss, function_store_unimportable):
        function_store_unimportable("tallowmere.function_store")
        assert ss._is_function_store_registry({}) is False

    def test_other_missing_module_is_raised(self, ss, function_store_unimportable):
        function_store_unimportable("tallowmere._dependency")
        with pytest.raises(ModuleNotFoundError) as info:
            ss._is_function_store_registry({})
        assert info.value.name == "tallowmere._dependency"

    def test_global_instance_needs_no_import(self, ss, function_store_unimportable):
        function_store_unimportable("tallowmere._dependency")
        assert ss._is_function_store_registry(ss.FunctionStore()) is True


class EraDict(dict):
    pass


class TestBuildObfuscatedStore:
    @pytest.mark.parametrize("era_config, expected", [
        (None, {}), ({"era_number": 3}, {"era_number": 3}), (["not", "a", "dict"], {}),
    ])
    def test_era_config_passed_to_the_builder(self, ss, monkeypatch, era_config, expected):
        calls = []
        monkeypatch.setattr(runtime, "_build_function_registry",
                            lambda *a, **kw: calls.append((a, kw)) or "registry")
        ss._era_config = era_config
        vocabulary = {"functions": {}}
        assert ss._build_obfuscated_store(vocabulary) == "registry"
        (args, kwargs), = calls
        assert args[0] is vocabulary and list(kwargs) == ["era_config"]
        assert kwargs["era_config"] == expected
        if isinstance(era_config, dict):
            assert kwargs["era_config"] is era_config

    def test_dict_subclass_is_passed_as_is(self, ss, monkeypatch):
        seen = []
        monkeypatch.setattr(runtime, "_build_function_registry",
                            lambda v, era_config: seen.append(era_config))
        ss._era_config = cfg = EraDict(a=1)
        ss._build_obfuscated_store({})
        assert seen == [cfg] and seen[0] is cfg

    @pytest.mark.parametrize("builder", ["missing", None, 42])
    def test_builder_required(self, ss, monkeypatch, builder):
        if builder == "missing":
            monkeypatch.delattr(runtime, "_build_function_registry")
        else:
            monkeypatch.setattr(runtime, "_build_function_registry", builder)
        with pytest.raises(RuntimeError) as info:
            ss._build_obfuscated_store({})
        assert str(info.value) == "tallowmere._runtime._build_function_registry is required"

    def test_builds_a_recognised_registry(self, ss):
        store = ss._build_obfuscated_store({"functions": {"rank": {"arity": 1}}})
        assert ss._is_function_store_registry(store) and "rank" in store


class FlakyImportlib:
    """importlib stand-in whose import_module fails for one name `failures` times."""

    def __init__(self, name, failures):
        self.name, self.failures, self.attempts = name, failures, 0

    def import_module(self, name):
        if name == self.name:
            self.attempts += 1
            if self.attempts <= self.failures:
                raise ImportError(f"attempt {self.attempts}")
        return importlib.import_module(name)


class TestImportGraphValidatorRuntime:
    def test_loaded_module(self, ss):
        assert ss._import_graph_validator_runtime() == (
            graph_validator.GraphValidator, graph_validator.ValidatorConfig)

    def test_imports_when_not_loaded_and_retries_once(self, ss, monkeypatch):
        monkeypatch.delitem(sys.modules, GV)
        ss.importlib = flaky = FlakyImportlib(GV, failures=1)
        constructor, config = ss._import_graph_validator_runtime()
        assert flaky.attempts == 2
        assert constructor is sys.modules[GV].GraphValidator
        assert config is sys.modules[GV].ValidatorConfig

    def test_second_failure_propagates(self, ss, monkeypatch):
        monkeypatch.delitem(sys.modules, GV)
        ss.importlib = FlakyImportlib(GV, failures=2)
        with pytest.raises(ImportError, match="attempt 2"):
            ss._import_graph_validator_runtime()

    def test_loaded_module_needs_validator_config(self, ss, monkeypatch):
        fake = types.ModuleType(GV)
        fake.GraphValidator = object
        monkeypatch.setitem(sys.modules, GV, fake)
        with pytest.raises(AttributeError):
            ss._import_graph_validator_runtime()


# ---------------------------------------------------------------------------
# Freshness

def guard_with(pending, loaded):
    return SimpleNamespace(snapshot=SimpleNamespace(pending_data_artifact_shas=pending,
                                                    loaded_data_artifact_shas=loaded))


class ExplodingGuard:
    @property
    def snapshot(self):
        raise RuntimeError("guard broken")


class TestRuntimeVocabularyFreshnessState:
    @pytest.mark.parametrize("guard", [
        None, SimpleNamespace(), SimpleNamespace(snapshot=None), guard_with(None, {}),
        guard_with({}, None), SimpleNamespace(snapshot=SimpleNamespace()), ExplodingGuard(),
        guard_with(["not", "a", "mapping"], {}),
    ])
    def test_empty(self, ss, guard):
        assert ss._runtime_vocabulary_freshness_state(guard) == ({}, {})

    def test_copies(self, ss):
        pending, loaded = {"a/vocabulary.json": "h1"}, MappingProxyType({"b": "h2"})
        guard = guard_with(pending, loaded)
        state = ss._runtime_vocabulary_freshness_state(guard)
        assert state == ({"a/vocabulary.json": "h1"}, {"b": "h2"})
        assert type(state) is tuple and all(type(part) is dict for part in state)
        pending["c"] = "h3"
        assert state[0] == {"a/vocabulary.json": "h1"}


class TestIsVocabularyArtifactPath:
    @pytest.mark.parametrize("path, universe, expected", [
        ("C:\\data\\u1\\vocabulary.json", None, True),
        ("data/u1/vocabulary.json", "u1", True),
        ("data/u1/vocabulary.json", "u2", False),
        ("u1/vocabulary.json", "u1", True),
        ("data/u10/vocabulary.json", "u1", False),
        ("data/vocabulary.json.tmp", None, False),
        ("vocabulary.json", None, False),
        ("data/my_vocabulary.json", None, False),
        ("/data/u1/vocabulary.json", "", True),
        (Path("data/u1/vocabulary.json"), "u1", True),
        ("data/7/vocabulary.json", 7, True),
    ])
    def test_paths(self, ss, path, universe, expected):
        assert ss._is_vocabulary_artifact_path(path, universe) is expected


VOC = "data/u1/vocabulary.json"


class TestRuntimeVocabularyRefreshed:
    @pytest.mark.parametrize("before, after, expected", [
        (({VOC: "h"}, {}), ({}, {VOC: "h"}), True),
        (({VOC: "h"}, {}), ({VOC: "h"}, {VOC: "h"}), False),
        (({VOC: "h"}, {VOC: "h"}), ({}, {VOC: "h"}), False),
        (({VOC: "h"}, {VOC: "old"}), ({}, {VOC: "h"}), True),
        (({VOC: "h"}, {}), ({}, {VOC: "other"}), False),
        (({"data/u1/features.arrow": "h"}, {}), ({}, {"data/u1/features.arrow": "h"}), False),
        (({"data/u2/vocabulary.json": "h"}, {}), ({}, {"data/u2/vocabulary.json": "h"}), False),
        (({}, {}), ({}, {}), False),
    ])
    def test_cases(self, ss, before, after, expected):
        assert ss._runtime_vocabulary_refreshed(before, after, "u1") is expected

    def test_any_of_several_paths(self, ss):
        other = "data/u1/other/vocabulary.json"
        before = ({VOC: "h", other: "g"}, {})
        assert ss._runtime_vocabulary_refreshed(before, ({VOC: "h"}, {other: "g"}), "u1")

    def test_path_test_is_read_from_the_namespace(self, ss):
        ss._is_vocabulary_artifact_path = lambda path, universe: path == "anything"
        assert ss._runtime_vocabulary_refreshed(({"anything": 1}, {}), ({}, {"anything": 1}), None)

    @pytest.mark.parametrize("state, message", [
        (({},), "not enough values to unpack"),
        (({}, {}, {}), "too many values to unpack"),
    ])
    def test_states_must_be_pairs(self, ss, state, message):
        with pytest.raises(ValueError, match=message):
            ss._runtime_vocabulary_refreshed(state, ({}, {}), None)


# ---------------------------------------------------------------------------
# Reload

class Loader:
    """A vocabulary loader that accepts only the call forms it is given."""

    def __init__(self, form, result=None):
        self.form, self.calls = form, []
        self.result = {"functions": {"rank": {}}} if result is None else result

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        shape = ("keywords" if kwargs else {2: "two", 1: "one"}.get(len(args)))
        if shape not in self.form:
            raise TypeError(f"{shape} form refused")
        return self.result


@pytest.fixture
def disk(ss, tmp_path):
    """A synced data directory holding u1/vocabulary.json, wired as _sync_manager._data_dir."""
    (tmp_path / "u1").mkdir()
    vocabulary = {"functions": {"zscore": {}}}
    (tmp_path / "u1" / "vocabulary.json").write_text(json.dumps(vocabulary))
    ss._sync_manager = SimpleNamespace(_data_dir=str(tmp_path))
    ss._era_config = {"era_number": 12}
    ss._vocabulary_raw = None
    return vocabulary


class TestReloadRuntimeVocabularyAfterFreshness:
    def test_disk_artifact_wins(self, ss, disk):
        ss._load_vocabulary = loader = Loader({"keywords"})
        ss._backtester = backtester = SimpleNamespace(raw_vocabulary=None)
        vocabulary = ss._reload_runtime_vocabulary_after_freshness("u1")
        assert vocabulary == disk
        assert ss._vocabulary_raw is vocabulary and backtester.raw_vocabulary is vocabulary
        assert loader.calls == []

    def test_backtester_without_raw_vocabulary_is_left_alone(self, ss, disk):
        ss._backtester = backtester = SimpleNamespace()
        ss._reload_runtime_vocabulary_after_freshness("u1")
        assert not hasattr(backtester, "raw_vocabulary")

    @pytest.mark.parametrize("universe", [None, ""])
    def test_disk_needs_a_named_universe(self, ss, disk, monkeypatch, universe):
        monkeypatch.setattr(obfuscation, "load_vocabulary",
                            lambda *a: pytest.fail("disk read without a universe"))
        ss._load_vocabulary = loader = Loader({"keywords"})
        assert ss._reload_runtime_vocabulary_after_freshness(universe) is loader.result
        assert loader.calls == [((), {"era_number": 12, "named_universe": universe})]

    @pytest.mark.parametrize("sync_manager", [None, SimpleNamespace(), SimpleNamespace(_data_dir="")])
    def test_disk_needs_a_data_dir(self, ss, monkeypatch, sync_manager):
        monkeypatch.setattr(obfuscation, "load_vocabulary",
                            lambda *a: pytest.fail("disk read without a data dir"))
        ss._sync_manager = sync_manager
        ss._era_config = {"era_number": 3}
        ss._load_vocabulary = Loader({"keywords"})
        assert ss._reload_runtime_vocabulary_after_freshness("u1") == {"functions": {"rank": {}}}

    def test_disk_result_that_is_not_a_dict_is_ignored(self, ss, disk, monkeypatch):
        monkeypatch.setattr(obfuscation, "load_vocabulary", lambda data_dir, universe: ["x"])
        ss._load_vocabulary = loader = Loader({"keywords"})
        ss._backtester = backtester = SimpleNamespace(raw_vocabulary="before")
        assert ss._reload_runtime_vocabulary_after_freshness("u1") is loader.result
        assert ss._vocabulary_raw is loader.result and backtester.raw_vocabulary == "before"

    def test_disk_failure_is_logged_with_traceback(self, ss, disk, monkeypatch, caplog):
        error = OSError("disk unreadable")

        def fail(data_dir, universe):
            raise error
        monkeypatch.setattr(obfuscation, "load_vocabulary", fail)
        ss._load_vocabulary = loader = Loader({"keywords"})
        with caplog.at_level(logging.DEBUG, logger="tallowmere.simulate_signal"):
            assert ss._reload_runtime_vocabulary_after_freshness("u1") is loader.result
        record, = [r for r in caplog.records if r.name == "tallowmere.simulate_signal"]
        assert record.levelno == logging.DEBUG
        assert record.getMessage() == "failed to reload runtime vocabulary from disk"
        assert record.exc_info[1] is error and record.exc_info[2] is not None

    def test_missing_artifact_falls_back_to_the_loader(self, ss, disk, tmp_path):
        (tmp_path / "u1" / "vocabulary.json").unlink()
        ss._load_vocabulary = loader = Loader({"keywords"})
        assert ss._reload_runtime_vocabulary_after_freshness("u1") is loader.result

    @pytest.mark.parametrize("loader, era_config", [(None, {"era_number": 1}), ("set", None)])
    def test_no_loader_or_no_era_config(self, ss, loader, era_config):
        ss._sync_manager = None
        ss._load_vocabulary = Loader({"keywords"}) if loader == "set" else None
        ss._era_config = era_config
        ss._vocabulary_raw = "unchanged"
        assert ss._reload_runtime_vocabulary_after_freshness("u1") is None
        assert ss._vocabulary_raw == "unchanged"

    @pytest.mark.parametrize("form, expected_calls", [
        ({"keywords"}, [((), {"era_number": 12, "named_universe": "u9"})]),
        ({"two"}, [((), {"era_number": 12, "named_universe": "u9"}), ((12, "u9"), {})]),
        ({"one"}, [((), {"era_number": 12, "named_universe": "u9"}), ((12, "u9"), {}),
                   ((12,), {})]),
    ])
    def test_loader_call_forms(self, ss, form, expected_calls):
        ss._sync_manager = None
        ss._era_config = {"era_number": 12}
        ss._load_vocabulary = loader = Loader(form)
        assert ss._reload_runtime_vocabulary_after_freshness("u9") is loader.result
        assert loader.calls == expected_calls
        assert ss._vocabulary_raw is loader.result

    def test_third_form_error_is_chained_to_the_refusals(self, ss):
        ss._sync_manager = None
        ss._era_config = {"era_number": 12}

        def loader(era_number):
            raise LookupError("no vocabulary for era")
        ss._load_vocabulary = loader
        with pytest.raises(LookupError) as info:
            ss._reload_runtime_vocabulary_after_freshness("u1")
        second = info.value.__context__
        assert isinstance(second, TypeError) and isinstance(second.__context__, TypeError)
        assert info.value.__cause__ is None and not info.value.__suppress_context__

    def test_non_type_errors_of_the_first_form_propagate(self, ss):
        ss._sync_manager = None
        ss._era_config = {"era_number": 12}
        calls = []

        def loader(*args, **kwargs):
            calls.append(args)
            raise KeyError("broken")
        ss._load_vocabulary = loader
        with pytest.raises(KeyError):
            ss._reload_runtime_vocabulary_after_freshness("u1")
        assert calls == [()]

    def test_non_dict_result_is_returned_but_not_kept(self, ss):
        ss._sync_manager = None
        ss._era_config = SimpleNamespace(era_number=5)  # not a dict: era number None
        ss._vocabulary_raw = "unchanged"
        ss._load_vocabulary = loader = Loader({"keywords"}, result=["not", "a", "dict"])
        assert ss._reload_runtime_vocabulary_after_freshness("u1") == ["not", "a", "dict"]
        assert loader.calls == [((), {"era_number": None, "named_universe": "u1"})]
        assert ss._vocabulary_raw == "unchanged"


# ---------------------------------------------------------------------------
# Found-strategy PnL

MATCH = "pool/found_strategies/s1/strategy_is/pnl.arrow"
TYPE_PREFIX = "request_for_sync() must return a list or tuple of synced file paths, got "


class PathList(list):
    pass


class TestSyncedFoundStrategyPnlPaths:
    @pytest.mark.parametrize("sync_result, expected", [
        ([], []),
        ([MATCH], [MATCH]),
        (("found_strategies/s1/strategy_is/pnl.arrow",),
         ["found_strategies/s1/strategy_is/pnl.arrow"]),
        (["/data/found_strategies/s2/strategy_is/pnl.arrow"],
         ["/data/found_strategies/s2/strategy_is/pnl.arrow"]),
        (["pool/found_strategies/s1/strategy_os/pnl.arrow"], []),
        (["pool\\found_strategies\\s1\\strategy_is\\pnl.arrow"], []),
        (["pool/my_found_strategies/s1/strategy_is/pnl.arrow"], []),
        (["pool/found_strategies/s1/strategy_is/pnl.arrow.tmp"], []),
        ([1, None, Path(MATCH), MATCH.encode(), MATCH], [MATCH]),
        ([MATCH, "other", MATCH], [MATCH, MATCH]),
        (PathList([MATCH]), [MATCH]),
    ])
    def test_matching(self, ss, sync_result, expected):
        assert ss._synced_found_strategy_pnl_paths(sync_result) == expected

    @pytest.mark.parametrize("sync_result, type_name", [
        (None, "NoneType"), ({MATCH: 1}, "dict"), (iter([MATCH]), "list_iterator"),
        (MATCH, "str"),
    ])
    def test_not_a_list_or_tuple(self, ss, sync_result, type_name):
        with pytest.raises(TypeError) as info:
            ss._synced_found_strategy_pnl_paths(sync_result)
        assert str(info.value) == TYPE_PREFIX + type_name


def pnl_file(root, strategy, values):
    path = root / "found_strategies" / strategy / "strategy_is" / "pnl.arrow"
    path.parent.mkdir(parents=True)
    path.write_text("\n".join(str(v) for v in values))
    return str(path)


class TestLoadSyncedFoundStrategyPnlArrays:
    def test_loads_each_file_in_order(self, ss, tmp_path):
        first = pnl_file(tmp_path, "s1", [0.1, -0.2])
        second = pnl_file(tmp_path, "s2", [0.3])
        arrays = ss._load_synced_found_strategy_pnl_arrays(
            [second, str(tmp_path / "other.txt"), first], None)
        assert arrays == [[0.3], [0.1, -0.2]]

    @pytest.mark.parametrize("sync_result", [[], ["a/b.txt", 3]])
    def test_nothing_to_load_never_calls_the_loader(self, ss, monkeypatch, sync_result):
        monkeypatch.setattr(runtime, "_load_runtime_pnl_array",
                            lambda *a, **kw: pytest.fail("loader called"))
        result = ss._load_synced_found_strategy_pnl_arrays(sync_result, None)
        assert result == [] and type(result) is list

    def test_loader_call_shape(self, ss, monkeypatch):
        calls = []
        monkeypatch.setattr(runtime, "_load_runtime_pnl_array",
                            lambda *a, **kw: calls.append((a, kw)) or [1.0])
        raw = object()
        assert ss._load_synced_found_strategy_pnl_arrays([MATCH], raw) == [[1.0]]
        assert calls == [((MATCH,), {"raw_backtester": raw})]

    def test_unloadable_path_fails_the_whole_load(self, ss, tmp_path):
        first = pnl_file(tmp_path, "s1", [0.1])
        missing = str(tmp_path / "found_strategies" / "s2" / "strategy_is" / "pnl.arrow")
        with pytest.raises(ValueError) as info:
            ss._load_synced_found_strategy_pnl_arrays([first, missing], None)
        assert str(info.value) == (
            "Synced found-strategy PnL data could not be loaded for correlation: " + missing)

    def test_loader_errors_propagate(self, ss, monkeypatch):
        error = PermissionError("denied")

        def loader(path, raw_backtester=None):
            raise error
        monkeypatch.setattr(runtime, "_load_runtime_pnl_array", loader)
        with pytest.raises(PermissionError) as info:
            ss._load_synced_found_strategy_pnl_arrays([MATCH], None)
        assert info.value is error

    def test_paths_come_from_the_namespace_helper(self, ss, monkeypatch):
        monkeypatch.setattr(runtime, "_load_runtime_pnl_array", lambda p, raw_backtester: p)
        ss._synced_found_strategy_pnl_paths = lambda sync_result: ["chosen"]
        assert ss._load_synced_found_strategy_pnl_arrays(None, None) == ["chosen"]
