"""Edges of the runtime-data and weights helpers that runs do not reach
cheaply: the shuffle seed file, the graph validator's import, vocabulary
artifacts and the reload's fall-backs, found-strategy PnL files, rescale
detection and weight write-back."""
import builtins
import importlib
import json
import logging
import os
import sys
from types import SimpleNamespace as NS

import pytest

import tallowmere.obfuscation as obfuscation
from doubles import Boom, hostile

GV = "tallowmere.simulator_engine.graph_validator"


@pytest.mark.parametrize("layout", ["trailing slash", "directory", "nul byte"])
def test_seed_read_directly_as_through_the_os_global(ss, tmp_path, layout):
    """The direct read and the read through a replaced os global give the same
    bytes or the same error."""
    seed = tmp_path / "shuffle_seed.enc"
    seed.mkdir() if layout == "directory" else seed.write_bytes(bytes(range(60)))
    data_dir = {"trailing slash": f"{tmp_path}/", "nul byte": f"{tmp_path}\0"}.get(
        layout, str(tmp_path))

    def outcome():
        try:
            return ss._load_runtime_shuffle_blob(data_dir)
        except Exception as exc:  # noqa: BLE001 - compared below
            return type(exc), exc.args, getattr(exc, "filename", None)
    direct = outcome()
    ss.os = NS(path=os.path)
    assert direct == outcome()


@pytest.mark.parametrize("content, error", [
    (b"x" * 59, "Shuffle seed must be 60 bytes, got 59"), (b"x" * 61, "got 61"),
    (OSError("read failed"), "read failed")])
def test_seed_file_is_closed_on_every_path(ss, tmp_path, monkeypatch, content, error):
    (tmp_path / "shuffle_seed.enc").write_bytes(content if isinstance(content, bytes) else b"")
    opened, real_open = [], builtins.open

    def tracking_open(*args):
        opened.append(real_open(*args))
        if isinstance(content, bytes):
            return opened[-1]
        return NS(read=lambda: (_ for _ in ()).throw(content), close=opened[-1].close)
    monkeypatch.setattr(builtins, "open", tracking_open)
    with pytest.raises((ValueError, OSError), match=error):
        ss._load_runtime_shuffle_blob(str(tmp_path))
    assert len(opened) == 1 and opened[0].closed


def test_seed_handed_on_as_new_bytes(ss):
    seed = bytearray(60)
    assert type(ss._validate_shuffle_blob(seed)) is bytes and ss._validate_shuffle_blob(seed) == seed


@pytest.mark.parametrize("failures", [1, 2])
def test_validator_import_is_retried_once(ss, monkeypatch, failures):
    monkeypatch.delitem(sys.modules, GV, raising=False)
    attempts = []

    def import_module(name):
        if name == GV:
            attempts.append(name)
            if len(attempts) <= failures:
                raise ImportError(f"attempt {len(attempts)}")
        return importlib.import_module(name)
    ss.importlib = NS(import_module=import_module)
    if failures == 2:
        with pytest.raises(ImportError, match="attempt 2"):
            ss._import_graph_validator_runtime()
    else:
        assert ss._import_graph_validator_runtime()[0] is sys.modules[GV].GraphValidator


def test_a_broken_guard_has_no_fresh_artifacts(ss):
    assert ss._runtime_vocabulary_freshness_state(hostile(props=["snapshot"])()) == ({}, {})


def test_registry_builder_missing_from_the_runtime(ss):
    ss.importlib = NS(import_module=lambda name: NS())
    with pytest.raises(RuntimeError, match=r"^tallowmere\._runtime\._build_function_registry is"):
        ss._build_obfuscated_store({})


@pytest.mark.parametrize("path, universe, expected", [
    ("C:\\data\\u1\\vocabulary.json", None, True), ("u1/vocabulary.json", "u1", True),
    ("data/u10/vocabulary.json", "u1", False), ("data/vocabulary.json.tmp", None, False),
    ("vocabulary.json", None, False), ("data/7/vocabulary.json", 7, True)])
def test_vocabulary_artifact_path(ss, path, universe, expected):
    assert ss._is_vocabulary_artifact_path(path, universe) is expected


VOC = "data/u1/vocabulary.json"


@pytest.mark.parametrize("before, after, expected", [
    (({VOC: "h"}, {}), ({VOC: "h"}, {VOC: "h"}), False),     # still pending
    (({VOC: "h"}, {VOC: "h"}), ({}, {VOC: "h"}), False),     # loaded before
    (({VOC: "h"}, {}), ({}, {VOC: "other"}), False),         # another version
    (({"data/u2/vocabulary.json": "h"}, {}), ({}, {"data/u2/vocabulary.json": "h"}), False)])
def test_vocabulary_refreshed(ss, before, after, expected):
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
    ss._sync_manager = NS(_data_dir=str(tmp_path))
    ss._era_config = {"era_number": 12}
    ss._load_vocabulary = loader = Loader("keywords")
    ss._backtester = NS(raw_vocabulary=None)
    return loader


def test_reload_prefers_the_disk_artifact(ss, synced):
    vocabulary = ss._reload_runtime_vocabulary_after_freshness("u1")
    assert vocabulary == {"disk": 1} and synced.calls == []
    assert ss._vocabulary_raw is vocabulary and ss._backtester.raw_vocabulary is vocabulary


@pytest.mark.parametrize("disk", [["not a dict"], OSError("unreadable")])
def test_reload_falls_back_to_the_loader(ss, synced, monkeypatch, caplog, disk):
    def load(data_dir, universe):
        if isinstance(disk, Exception):
            raise disk
        return disk
    monkeypatch.setattr(obfuscation, "load_vocabulary", load)
    caplog.set_level(logging.DEBUG, logger="tallowmere.simulate_signal")
    assert ss._reload_runtime_vocabulary_after_freshness("u1") is synced.result
    assert ss._vocabulary_raw is synced.result and ss._backtester.raw_vocabulary is None
    records = [(r.getMessage(), r.levelno, r.exc_info[1]) for r in caplog.records]
    assert records == ([("failed to reload runtime vocabulary from disk", logging.DEBUG, disk)]
                       if isinstance(disk, Exception) else [])


@pytest.mark.parametrize("forms, n_calls", [(("keywords",), 1), (("two",), 2), (("one",), 3)])
def test_reload_loader_call_forms(ss, synced, forms, n_calls):
    ss._load_vocabulary = loader = Loader(*forms)
    assert ss._reload_runtime_vocabulary_after_freshness(None) is loader.result
    assert loader.calls == [((), {"era_number": 12, "named_universe": None}),
                            ((12, None), {}), ((12,), {})][:n_calls]


def test_reload_error_of_the_last_form_is_chained_to_the_refusals(ss, synced):
    ss._load_vocabulary = lambda era_number: {}[era_number]
    with pytest.raises(KeyError) as info:
        ss._reload_runtime_vocabulary_after_freshness(None)
    assert isinstance(info.value.__context__, TypeError)
    assert isinstance(info.value.__context__.__context__, TypeError)


@pytest.mark.parametrize("loader, era_config", [(None, {"era_number": 1}), (Loader(), None)])
def test_reload_without_loader_or_era_config(ss, loader, era_config):
    ss._sync_manager, ss._load_vocabulary, ss._era_config = None, loader, era_config
    assert ss._reload_runtime_vocabulary_after_freshness("u1") is None


MATCH = "pool/found_strategies/s1/strategy_is/pnl.arrow"


@pytest.mark.parametrize("sync_result, expected", [
    (("found_strategies/s1/strategy_is/pnl.arrow",), ["found_strategies/s1/strategy_is/pnl.arrow"]),
    (["pool/found_strategies/s1/strategy_os/pnl.arrow"], []),
    (["pool\\found_strategies\\s1\\strategy_is\\pnl.arrow"], []),
    (["pool/my_found_strategies/s1/strategy_is/pnl.arrow"], []),
    ([1, None, MATCH.encode(), MATCH, MATCH], [MATCH, MATCH])])
def test_synced_found_strategy_pnl_paths(ss, sync_result, expected):
    assert ss._synced_found_strategy_pnl_paths(sync_result) == expected


# --- weights ------------------------------------------------------------------------

@pytest.mark.parametrize("option, option_config, expected", [
    ("latitudinal_fill_c3d683", None, True), ("keep", "rescale", False),
    ("keep", {"rotation": "", "transform": "l1_resize"}, True),
    ("keep", {"rotation": "rank", "transform": "l1_resize"}, False),
    ("keep", {"composite": ("rank", "rescale")}, True),
    ("keep", {"composite": [{"name": "", "transform": "l1_resize"}]}, True),
    ("keep", {"composite": {"rescale"}}, False), (["unhashable"], {}, False)])
def test_option_uses_rescale(ss, option, option_config, expected):
    assert ss._option_uses_rescale(option, option_config) is expected


def stage(name, default="keep", **option_configs):
    return {"name": name, "default": default, "option_configs": option_configs}


@pytest.mark.parametrize("pipeline, metaparameters, expected", [
    ([stage("a"), stage("b", default="l1_resize")], None, True),
    ([stage("s", norm={"transform": "l1_resize"})], {"s": "norm"}, True),
    ([stage("s")], {"s": None}, False),
    ([stage("s")], [("s", "rescale")], False),
    ([{"name": "s", "option_configs": [("n", {"transform": "l1_resize"})]}], {"s": "n"}, False),
    ([NS(name="s", default="keep", option_configs={"keep": {"rotation": "rescale"}})], {}, True)])
def test_pipeline_applies_rescale(ss, pipeline, metaparameters, expected):
    assert ss._pipeline_applies_rescale(pipeline, metaparameters) is expected


def test_pipeline_stage_errors_propagate(ss):
    with pytest.raises(Boom):
        ss._pipeline_applies_rescale([hostile(props=["name"])()], {})


def test_weights_written_back_into_every_cache(ss, caplog):
    caplog.set_level(logging.DEBUG, logger="tallowmere.simulate_signal")
    entry, backtester = {}, NS(_last_eval_result=NS(weights=None), last_eval_result=None)
    backtester._cache, backtester._cache_key = {"key": entry}, lambda *a, **k: "key"
    ss._install_finalized_weights(backtester, "graph", {}, "u1", "w")
    assert backtester._last_weights == backtester._last_eval_result.weights == "w"
    assert entry == {"weights": "w"}    # a mapping entry takes them as an item
    assert [r.getMessage().split(": ")[0] for r in caplog.records] == [
        "failed to cache finalized weights on cache entry attribute"]
