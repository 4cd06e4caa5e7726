"""The second pipeline stretch: data directory, shuffle seed, vault, vocabulary
and feature reconstruction."""
import pytest

import doubles as d
from doubles import StatusLog, Wiring, failure_of, start_signal, wait_done

SETUP_CALLS = ["vault.initialize", "vault.init_if_needed", "load_vocabulary",
               "backtester.init_reconstruction"]


def run_signal(ss):
    return wait_done(start_signal(ss))


@pytest.fixture
def status_log(ss, monkeypatch):
    return StatusLog.install(monkeypatch, ss)


def test_calls_and_phases_in_order(ss, status_log):
    w = Wiring().wire(ss)
    h = run_signal(ss)
    assert [n for n in w.log.names() if n in SETUP_CALLS] == SETUP_CALLS
    assert w.log.last("vault.initialize").args == (d.SHUFFLE_BLOB, d.WALLET_SECRET, 12)
    assert w.log.last("vault.init_if_needed").args == (12,)
    assert w.log.last("load_vocabulary").args == (12,)
    assert w.log.last("backtester.init_reconstruction").kwargs == dict(
        shuffle_blob=d.SHUFFLE_BLOB, wallet_secret=d.WALLET_SECRET, market_id=1, era_number=12)
    phases = status_log.updates
    start = phases.index(("initializing", 0.0,
                          "Initializing vault and loading vocabulary for era 12..."))
    assert phases[start + 1] == ("feature-reconstruction-deobfuscation", 0.0,
                                 "Initializing feature reconstruction from synced shuffle "
                                 "seed...")
    assert phases[start + 2][0] == "graph-validation"
    # A registry already in place stays; the loaded dict is recorded.
    assert ss._vocabulary is w.vocabulary
    assert ss._vocabulary_raw == d.vocabulary_dict()
    assert h.result().passed is True


@pytest.mark.parametrize("call", SETUP_CALLS)
def test_error_at_each_collaborator_call(ss, status_log, call):
    w = Wiring().wire(ss)
    boom = ArithmeticError(f"{call} failed")
    w.log.fail(call, boom)
    h = run_signal(ss)
    assert failure_of(h) is boom
    assert status_log.updates[-1] == ("error", 0.0, f"Error: {call} failed")
    later = SETUP_CALLS[SETUP_CALLS.index(call) + 1:] + ["graph_validator.validate"]
    assert all(w.log.count(name) == 0 for name in later)
    assert w.log.count("sync_manager.release") == 1


def test_era_vault_hook_replaces_the_vault_calls(ss):
    w = Wiring(era_vault_hook=True).wire(ss)
    run_signal(ss).result()
    assert w.log.last("backtester.initialize_era_vault").kwargs == dict(
        shuffle_blob=d.SHUFFLE_BLOB, wallet_secret=d.WALLET_SECRET, market_id=1, era_number=12)
    assert w.log.count("vault.initialize") == w.log.count("vault.init_if_needed") == 0


def test_no_vault_is_refused_even_with_the_era_hook(ss, monkeypatch):
    w = Wiring(era_vault_hook=True).wire(ss, vault=None)
    read = []
    monkeypatch.setattr(ss, "_load_runtime_shuffle_blob", lambda data_dir: read.append(data_dir))
    error = failure_of(run_signal(ss))
    assert type(error) is RuntimeError
    assert str(error) == ("Vault runtime is required for simulation. Call register()/login() "
                          "so the synced vault runtime is initialized.")
    assert read == [] and w.log.count("backtester.initialize_era_vault") == 0


@pytest.mark.parametrize("message, swallowed", [("vault already initialized", True),
                                                ("vault locked", False)])
def test_vault_initialize_failure_judged_by_sibling(ss, message, swallowed):
    w = Wiring().wire(ss)
    boom = RuntimeError(message)
    w.log.fail("vault.initialize", boom)
    h = run_signal(ss)
    if swallowed:
        assert h.result().passed is True
        assert w.log.count("vault.init_if_needed") == 1
    else:
        assert failure_of(h) is boom
        assert w.log.count("vault.init_if_needed") == 0


def test_vault_without_initialize_only_gets_init_if_needed(ss):
    w = Wiring().wire(ss)
    w.vault.initialize = "not callable"
    run_signal(ss).result()
    assert w.log.count("vault.initialize") == 0
    assert w.log.last("vault.init_if_needed").args == (12,)


@pytest.mark.parametrize("private, public, signal_dir, expected", [
    ("/data/private", "/data/public", "/data/signals", "/data/private"),
    ("", "/data/public", "/data/signals", "/data/public"),
    (None, None, "/data/signals", "/data/signals"),
    ("", "", None, None),
])
def test_data_directory(ss, monkeypatch, private, public, signal_dir, expected):
    w = Wiring().wire(ss, signal_dir=signal_dir)
    w.sync_manager._data_dir = private
    w.sync_manager.data_dir = public
    read = []
    monkeypatch.setattr(ss, "_load_runtime_shuffle_blob",
                        lambda data_dir: read.append(data_dir) or d.SHUFFLE_BLOB)
    run_signal(ss)
    assert read == [expected]


def test_missing_seed_file(ss):
    w = Wiring().wire(ss)
    w.sync_manager._data_dir = w.data_dir + "/nowhere"
    error = failure_of(run_signal(ss))
    assert type(error) is FileNotFoundError
    assert w.log.count("vault.initialize") == 0


@pytest.mark.parametrize("loaded, exc_type, message", [
    ({}, ValueError, "load_vocabulary returned empty or invalid vocabulary"),
    (None, ValueError, "load_vocabulary returned empty or invalid vocabulary"),
    ([("era_number", 1)], ValueError, "load_vocabulary returned empty or invalid vocabulary"),
    ({"era_number": 12, "features": []}, ValueError, None),
])
def test_loaded_vocabulary_is_checked(ss, loaded, exc_type, message):
    w = Wiring().wire(ss)
    w.log.returns("load_vocabulary", loaded)
    before = ss._vocabulary_raw
    error = failure_of(run_signal(ss))
    assert type(error) is exc_type
    if message is None:
        text = str(error)
        assert text.startswith("Vocabulary missing required keys: {")
        assert text.endswith("}. Present keys: ['era_number', 'features']")
        for key in ("rotations", "filtrations", "reductions", "metadata"):
            assert f"'{key}'" in text.split(". Present")[0]
    else:
        assert str(error) == message
    assert ss._vocabulary_raw is before
    assert w.log.count("backtester.init_reconstruction") == 0


def test_loaded_vocabulary_builds_the_registry_when_none(ss):
    w = Wiring().wire(ss, vocabulary=None)
    run_signal(ss).result()
    assert isinstance(ss._vocabulary, ss.FunctionStore)
    assert ss._vocabulary_raw == d.vocabulary_dict()
    assert w.log.count("load_vocabulary") == 1


@pytest.mark.parametrize("vocabulary, exc_type, message", [
    (None, RuntimeError,
     "Vocabulary is required for simulation. Call init_simulate_signal(..., "
     "load_vocabulary=...) or initialize the runtime vocabulary."),
    (d.vocabulary_dict(), TypeError,
     "Raw vocabulary dict is not accepted at runtime. Runtime simulation requires a "
     "FunctionStore registry."),
    ({"features": ["close"]}, ValueError, None),
])
def test_installed_vocabulary_without_loader(ss, vocabulary, exc_type, message):
    w = Wiring().wire(ss, load_vocabulary=None, vocabulary=vocabulary)
    error = failure_of(run_signal(ss))
    assert type(error) is exc_type
    if message:
        assert str(error) == message
    else:
        assert str(error).endswith(". Present keys: ['features']")
    assert w.log.count("backtester.init_reconstruction") == 0


def test_empty_dict_vocabulary_passes_this_stretch(ss):
    w = Wiring().wire(ss, load_vocabulary=None, vocabulary={})
    run_signal(ss)
    assert w.log.count("backtester.init_reconstruction") == 1


def test_no_backtester(ss):
    w = Wiring().wire(ss, backtester=None)
    error = failure_of(run_signal(ss))
    assert str(error) == ("Backtester runtime is required for simulation. Call "
                          "register()/login() so the synced backtester runtime is initialized.")
    assert w.log.count("load_vocabulary") == 1
