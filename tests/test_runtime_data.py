"""Shuffle seed, function-store registry, vocabulary freshness and reload, found-strategy PnL."""
import builtins
import importlib
import importlib.abc
import json
import logging
import sys
from types import SimpleNamespace

import pytest

import tallowmere._runtime as runtime
import tallowmere.function_store as function_store
import tallowmere.obfuscation as obfuscation

SEED_MISSING = ("shuffle_seed.enc is required for simulation reconstruction. Run data sync or "
                "pass a sync manager/data_dir that exposes the synced seed.")
GV = "tallowmere.simulator_engine.graph_validator"


def test_shuffle_seed_exact_bytes(ss, tmp_path):
    (tmp_path / "shuffle_seed.enc").write_bytes(bytes(range(60)))
    assert ss._load_runtime_shuffle_blob(tmp_path) == bytes(range(60))


@pytest.mark.parametrize("data_dir", [None, "", "missing"])
def test_shuffle_seed_missing(ss, tmp_path, data_dir):
    if data_dir is None or data_dir == "":
        ss.os = None  # the file system is not touched
    with pytest.raises(FileNotFoundError) as info:
        ss._load_runtime_shuffle_blob(data_dir and str(tmp_path))
    assert info.value.args == (SEED_MISSING,)


@pytest.mark.parametrize("layout", ["file", "trailing slash", "directory", "nul byte", "absent"])
def test_shuffle_seed_read_directly_as_python_reads_it(ss, tmp_path, layout):
    """The direct read (the module's own os and open) and the read through a
    replaced os global give the same bytes or the same error."""
    import os
    seed = tmp_path / "shuffle_seed.enc"
    if layout == "directory":
        seed.mkdir()
    elif layout != "absent":
        seed.write_bytes(bytes(range(60)))
    data_dir = {"trailing slash": f"{tmp_path}/", "nul byte": f"{tmp_path}\0"}.get(
        layout, str(tmp_path))

    def outcome():
        try:
            return ss._load_runtime_shuffle_blob(data_dir)
        except Exception as exc:  # noqa: BLE001 - compared below
            return type(exc), exc.args, getattr(exc, "filename", None)
    direct = outcome()
    ss.os = SimpleNamespace(path=os.path)
    assert direct == outcome()


@pytest.mark.parametrize("content, error", [
    (b"x" * 59, "Shuffle seed must be 60 bytes, got 59"), (b"", "got 0$"), (b"x" * 61, "got 61"),
    (OSError("read failed"), "read failed"),
])
def test_shuffle_seed_file_is_closed_on_every_path(ss, tmp_path, monkeypatch, content, error):
    (tmp_path / "shuffle_seed.enc").write_bytes(content if isinstance(content, bytes) else b"")
    opened, real_open = [], builtins.open

    def tracking_open(*args):
        opened.append((args, real_open(*args)))
        if isinstance(content, bytes):
            return opened[-1][1]

        def fail():
            raise content
        return SimpleNamespace(read=fail, close=opened[-1][1].close)
    monkeypatch.setattr(builtins, "open", tracking_open)
    with pytest.raises((ValueError, OSError), match=error):
        ss._load_runtime_shuffle_blob(str(tmp_path))
    (args, handle), = opened
    assert args == (str(tmp_path / "shuffle_seed.enc"), "rb") and handle.closed


@pytest.mark.parametrize("blob", [b"k" * 60, bytearray(b"k" * 60), type("B", (bytes,), {})(b"k" * 60)])
def test_validate_shuffle_blob_gives_bytes(ss, blob):
    result = ss._validate_shuffle_blob(blob)
    assert result == b"k" * 60 and type(result) is bytes


@pytest.mark.parametrize("blob", ["k" * 60, memoryview(b"k" * 60), None])
def test_validate_shuffle_blob_refuses_non_bytes(ss, blob):
    with pytest.raises(TypeError, match="^shuffle_seed.enc must be bytes$"):
        ss._validate_shuffle_blob(blob)


class MissingModule(importlib.abc.MetaPathFinder):
    def __init__(self, name):
        self.name = name

    def find_spec(self, fullname, path=None, target=None):
        if fullname == "tallowmere.function_store":
            raise ModuleNotFoundError(self.name, name=self.name)


@pytest.mark.parametrize("missing, outcome", [
    (None, False), ("tallowmere.function_store", False), ("tallowmere._dep", ModuleNotFoundError),
])
def test_is_function_store_registry(ss, monkeypatch, missing, outcome):
    assert ss._is_function_store_registry(ss.FunctionStore()) is True
    if missing:
        monkeypatch.delitem(sys.modules, "tallowmere.function_store")
        monkeypatch.setattr(sys, "meta_path", [MissingModule(missing)] + sys.meta_path)
    if outcome is ModuleNotFoundError:
        with pytest.raises(ModuleNotFoundError):
            ss._is_function_store_registry({})
    else:
        assert ss._is_function_store_registry({}) is outcome


def test_is_function_store_registry_after_a_reload(ss, monkeypatch):
    monkeypatch.setattr(function_store, "FunctionStore", type("FunctionStore", (), {}))
    assert ss._is_function_store_registry(function_store.FunctionStore()) is True


@pytest.mark.parametrize("era_config, expected", [(None, {}), ([1], {}), ({"e": 1}, {"e": 1})])
def test_build_obfuscated_store(ss, monkeypatch, era_config, expected):
    calls = []
    monkeypatch.setattr(runtime, "_build_function_registry",
                        lambda *a, **kw: calls.append((a, kw)) or "registry")
    ss._era_config = era_config
    assert ss._build_obfuscated_store("vocabulary") == "registry"
    assert calls == [(("vocabulary",), {"era_config": expected})]


@pytest.mark.parametrize("builder", [None, 42])
def test_build_obfuscated_store_needs_the_builder(ss, monkeypatch, builder):
    monkeypatch.setattr(runtime, "_build_function_registry", builder)
    with pytest.raises(RuntimeError, match=r"^tallowmere\._runtime\._build_function_registry is"):
        ss._build_obfuscated_store({})


@pytest.mark.parametrize("failures", [0, 1, 2])
def test_import_graph_validator_runtime_retries_once(ss, monkeypatch, failures):
    monkeypatch.delitem(sys.modules, GV, raising=False)
    attempts = []

    def import_module(name):
        if name == GV:
            attempts.append(name)
            if len(attempts) <= failures:
                raise ImportError(f"attempt {len(attempts)}")
        return importlib.import_module(name)
    ss.importlib = SimpleNamespace(import_module=import_module)
    if failures == 2:
        with pytest.raises(ImportError, match="attempt 2"):
            ss._import_graph_validator_runtime()
        return
    result = ss._import_graph_validator_runtime()
    gv_mod = sys.modules[GV]
    assert result == (gv_mod.GraphValidator, gv_mod.ValidatorConfig)
    assert len(attempts) == failures + 1


def guard(pending, loaded):
    return SimpleNamespace(snapshot=SimpleNamespace(pending_data_artifact_shas=pending,
                                                    loaded_data_artifact_shas=loaded))


class BrokenGuard:
    @property
    def snapshot(self):
        raise RuntimeError("broken")


@pytest.mark.parametrize("g, expected", [
    (None, ({}, {})), (SimpleNamespace(snapshot=None), ({}, {})), (BrokenGuard(), ({}, {})),
    (guard(None, {"b": "h"}), ({}, {"b": "h"})), (guard(["x"], {}), ({}, {})),
])
def test_runtime_vocabulary_freshness_state(ss, g, expected):
    assert ss._runtime_vocabulary_freshness_state(g) == expected


def test_runtime_vocabulary_freshness_state_copies(ss):
    pending = {"a": "h"}
    state = ss._runtime_vocabulary_freshness_state(guard(pending, {}))
    pending["b"] = "g"
    assert state == ({"a": "h"}, {})


@pytest.mark.parametrize("path, universe, expected", [
    ("C:\\data\\u1\\vocabulary.json", None, True), ("data/u1/vocabulary.json", "u1", True),
    ("data/u1/vocabulary.json", "u2", False), ("u1/vocabulary.json", "u1", True),
    ("data/u10/vocabulary.json", "u1", False), ("data/vocabulary.json.tmp", None, False),
    ("vocabulary.json", None, False), ("data/7/vocabulary.json", 7, True),
])
def test_is_vocabulary_artifact_path(ss, path, universe, expected):
    assert ss._is_vocabulary_artifact_path(path, universe) is expected


VOC = "data/u1/vocabulary.json"


@pytest.mark.parametrize("before, after, expected", [
    (({VOC: "h"}, {}), ({}, {VOC: "h"}), True),
    (({VOC: "h"}, {}), ({VOC: "h"}, {VOC: "h"}), False),
    (({VOC: "h"}, {VOC: "h"}), ({}, {VOC: "h"}), False),
    (({VOC: "h"}, {}), ({}, {VOC: "other"}), False),
    (({"data/u1/x.arrow": "h"}, {}), ({}, {"data/u1/x.arrow": "h"}), False),
    (({"data/u2/vocabulary.json": "h"}, {}), ({}, {"data/u2/vocabulary.json": "h"}), False),
])
def test_runtime_vocabulary_refreshed(ss, before, after, expected):
    assert ss._runtime_vocabulary_refreshed(before, after, "u1") is expected


class Loader:
    """Accepts only the call forms it is given: "keywords", "two", "one"."""

    def __init__(self, *forms):
        self.forms, self.calls, self.result = forms, [], {"functions": {}}

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if ("keywords" if kwargs else ["", "one", "two"][len(args)]) not in self.forms:
            raise TypeError("form refused")
        return self.result


@pytest.fixture
def synced(ss, tmp_path):
    """A data directory holding u1/vocabulary.json, a loader and an era config."""
    (tmp_path / "u1").mkdir()
    (tmp_path / "u1" / "vocabulary.json").write_text(json.dumps({"disk": 1}))
    ss._sync_manager = SimpleNamespace(_data_dir=str(tmp_path))
    ss._era_config = {"era_number": 12}
    ss._load_vocabulary = loader = Loader("keywords")
    ss._backtester = SimpleNamespace(raw_vocabulary=None)
    return loader


def test_reload_prefers_the_disk_artifact(ss, synced):
    vocabulary = ss._reload_runtime_vocabulary_after_freshness("u1")
    assert vocabulary == {"disk": 1} and synced.calls == []
    assert ss._vocabulary_raw is vocabulary and ss._backtester.raw_vocabulary is vocabulary


@pytest.mark.parametrize("disk_result", [["not a dict"], OSError("unreadable")])
def test_reload_falls_back_to_the_loader(ss, synced, monkeypatch, caplog, disk_result):
    def load(data_dir, universe):
        if isinstance(disk_result, Exception):
            raise disk_result
        return disk_result
    monkeypatch.setattr(obfuscation, "load_vocabulary", load)
    with caplog.at_level(logging.DEBUG, logger="tallowmere.simulate_signal"):
        assert ss._reload_runtime_vocabulary_after_freshness("u1") is synced.result
    assert ss._vocabulary_raw is synced.result and ss._backtester.raw_vocabulary is None
    records = [r for r in caplog.records if r.name == "tallowmere.simulate_signal"]
    if isinstance(disk_result, Exception):
        record, = records
        assert record.getMessage() == "failed to reload runtime vocabulary from disk"
        assert record.levelno == logging.DEBUG and record.exc_info[1] is disk_result
    else:
        assert records == []


@pytest.mark.parametrize("forms, n_calls", [(("keywords",), 1), (("two",), 2), (("one",), 3)])
def test_reload_loader_call_forms(ss, synced, forms, n_calls):
    ss._load_vocabulary = loader = Loader(*forms)
    assert ss._reload_runtime_vocabulary_after_freshness(None) is loader.result
    assert loader.calls == [((), {"era_number": 12, "named_universe": None}),
                            ((12, None), {}), ((12,), {})][:n_calls]


def test_reload_last_form_error_is_chained_to_the_refusals(ss, synced):
    def loader(era_number):
        raise LookupError("no vocabulary")
    ss._load_vocabulary = loader
    with pytest.raises(LookupError) as info:
        ss._reload_runtime_vocabulary_after_freshness(None)
    assert isinstance(info.value.__context__, TypeError)
    assert isinstance(info.value.__context__.__context__, TypeError)


@pytest.mark.parametrize("loader, era_config", [(None, {"era_number": 1}), (Loader(), None)])
def test_reload_without_loader_or_era_config(ss, loader, era_config):
    ss._sync_manager, ss._load_vocabulary, ss._era_config = None, loader, era_config
    assert ss._reload_runtime_vocabulary_after_freshness("u1") is None


MATCH = "pool/found_strategies/s1/strategy_is/pnl.arrow"


@pytest.mark.parametrize("sync_result, expected", [
    ([], []), ((MATCH,), [MATCH]),
    (["found_strategies/s1/strategy_is/pnl.arrow"], ["found_strategies/s1/strategy_is/pnl.arrow"]),
    (["pool/found_strategies/s1/strategy_os/pnl.arrow"], []),
    (["pool\\found_strategies\\s1\\strategy_is\\pnl.arrow"], []),
    (["pool/my_found_strategies/s1/strategy_is/pnl.arrow"], []),
    ([1, None, MATCH.encode(), MATCH, MATCH], [MATCH, MATCH]),
])
def test_synced_found_strategy_pnl_paths(ss, sync_result, expected):
    assert ss._synced_found_strategy_pnl_paths(sync_result) == expected


@pytest.mark.parametrize("sync_result, type_name", [(None, "NoneType"), ({}, "dict"), ("s", "str")])
def test_synced_found_strategy_pnl_paths_needs_a_list(ss, sync_result, type_name):
    with pytest.raises(TypeError) as info:
        ss._synced_found_strategy_pnl_paths(sync_result)
    assert str(info.value) == ("request_for_sync() must return a list or tuple of synced file "
                               "paths, got " + type_name)


def pnl_file(root, strategy, values=None):
    path = root / "found_strategies" / strategy / "strategy_is" / "pnl.arrow"
    path.parent.mkdir(parents=True)
    if values is not None:
        path.write_text("\n".join(map(str, values)))
    return str(path)


def test_load_found_strategy_pnl_arrays(ss, tmp_path):
    first, second = pnl_file(tmp_path, "s1", [0.1, -0.2]), pnl_file(tmp_path, "s2", [0.3])
    assert ss._load_synced_found_strategy_pnl_arrays([second, "x.txt", first], None) == [
        [0.3], [0.1, -0.2]]
    missing = pnl_file(tmp_path, "s3")
    with pytest.raises(ValueError) as info:
        ss._load_synced_found_strategy_pnl_arrays([first, missing], None)
    assert str(info.value) == (
        "Synced found-strategy PnL data could not be loaded for correlation: " + missing)


@pytest.mark.parametrize("sync_result, n_loaded", [([], 0), (["x.txt"], 0), ([MATCH], 1)])
def test_load_found_strategy_pnl_loader_calls(ss, monkeypatch, sync_result, n_loaded):
    calls, raw = [], object()
    monkeypatch.setattr(runtime, "_load_runtime_pnl_array",
                        lambda *a, **kw: calls.append((a, kw)) or [1.0])
    assert ss._load_synced_found_strategy_pnl_arrays(sync_result, raw) == [[1.0]] * n_loaded
    assert calls == [((MATCH,), {"raw_backtester": raw})] * n_loaded
