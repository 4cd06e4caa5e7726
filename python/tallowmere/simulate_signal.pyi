"""Simulate signal subcomponent — single expression evaluation pipeline."""
# Type information for tallowmere.simulate_signal (a compiled module).
#
# The two entry points are typed as they publish themselves to
# inspect.signature: the pool id is required and named_universe is shown
# keyword-only. (At run time named_universe may also be passed positionally,
# and market_id/era_number are accepted and ignored; typed code need not use
# either.)
#
# The records declare every field as ``object`` at run time. Here the fields
# that the module fills itself carry their real types; values that come from
# the wired collaborators (backtest statistics, PnL matrices, verdicts,
# correlation and MI scores) are ``Any``, because their shape is the
# collaborator's.
#
# The module namespace also exposes the SDK's exception classes that a run
# raises or that importers catch (SdkRuntimeNotReadyError, EraError,
# SyncError, ...). They belong to sibling modules of the tallowmere package and
# are re-exported here under their own identity; where the SDK itself is not
# visible to the type checker they are Any.
import concurrent.futures
import os
import threading
from collections.abc import Callable, Generator, Mapping
from dataclasses import dataclass
from typing import Any, Literal, NotRequired, TypedDict, type_check_only

from typing_extensions import disjoint_base

from tallowmere.auth import AuthError as AuthError  # type: ignore[import, unused-ignore]
from tallowmere.errors import (  # type: ignore[import, unused-ignore]
    SdkRuntimeNotReadyError as SdkRuntimeNotReadyError,
)
from tallowmere.sync import (  # type: ignore[import, unused-ignore]
    DiskSpaceError as DiskSpaceError,
    EraError as EraError,
    IntegrityError as IntegrityError,
    SyncError as SyncError,
)

# The phases a run reports, in pipeline order, then the two other endings.
_Phase = Literal[
    "syncing",
    "initializing",
    "feature-reconstruction-deobfuscation",
    "graph-validation",
    "evaluating",
    "backtesting",
    "computing_mi",
    "complete",
    "cancelled",
    "error",
]

class CancelledError(Exception):
    """Raised when simulation is cancelled."""

@dataclass
class SimulationStatus:
    """Snapshot of simulation progress."""

    # "" only in a record built by hand: the module always reports a phase.
    phase: _Phase | Literal[""] = ""
    progress: float = 0.0
    message: str = ""
    era_number: int = 0
    elapsed_s: float = 0.0

@dataclass(repr=False)
class SimulationResult:
    """Wrapper for simulation results with selected-pool evaluation."""

    stats: Any = None
    pnl_matrix: Any = None
    per_column_stats: Any = None
    portfolio_returns: Any = None
    processed_weights: Any = None
    pool_kind: str | None = None
    signal_pool_id: str | None = None
    strategy_pool_id: str | None = None
    is_correlation: Any = None
    is_pnl_mi: Any = None
    was_diagnostic_only: bool = False
    failure_reason: str | None = None
    failure_detail: str | None = None
    passed: bool = True
    structural_failed: Any = False
    mi_score: Any = None
    mi_passed: bool | None = None
    stats_verdict: Any = None
    correlation_verdict: Any = None
    mi_verdict: Any = None
    rejection_reason: str | None = None
    expression_elapsed_seconds: float | None = None
    backtest_elapsed_seconds: float | None = None
    max_backtest_row_elapsed_seconds: float | None = None
    resolved_metaparameters: Any = None

@disjoint_base
class SimulationHandle:
    """Handle to a running simulation."""

    def __init__(
        self,
        graph: object,
        named_universe: str | None,
        expression_type: str,
        metaparameters: Mapping[str, Any] | None = None,
        include_correlation: bool = True,
        include_mi: bool = True,
        record: bool = True,
        return_series: bool = False,
        return_weights: bool = False,
        selected_pool_id: str | None = None,
        selected_pool_kind: str | None = None,
        fail_fast: bool = True,
    ) -> None: ...
    # The pipeline's thread: a native daemon thread, a threading.Thread to the
    # threading module (listed while it runs, joinable, gone once ended).
    _thread: _PipelineThread
    def status(self) -> SimulationStatus:
        """Return current simulation status snapshot."""
    def result(self, timeout: float | None = None) -> SimulationResult:
        """Block until completion, return BacktestResult or raise exception."""
    def cancel(self) -> None:
        """Cancel simulation immediately. No-op if already done/cancelled."""
    def done(self) -> bool:
        """Return True once the run has ended (pipeline finished, or result complete)."""
    def running(self) -> bool:
        """Return True while the run has not ended (not done())."""
    def cancelled(self) -> bool:
        """Return True if the run has ended and its outcome is its cancellation."""
    def exception(self, timeout: float | None = None) -> BaseException | None:
        """Return the run's error (CancelledError after a cancel) or None."""
    def add_done_callback(self, fn: Callable[[SimulationHandle], object]) -> None:
        """Call fn(handle) once when the run ends (at once if it has ended)."""
    def remove_done_callback(self, fn: Callable[[SimulationHandle], object]) -> int:
        """Remove every registration of fn not yet called; return how many."""
    def future(self) -> concurrent.futures.Future[SimulationResult]:
        """A concurrent.futures.Future tied to the run (the same one each call)."""
    def __await__(self) -> Generator[Any, None, SimulationResult]:
        """await handle: the result, or the run's error raised. Cancelling the
        awaiting task cancels the run."""

# The thread that runs one simulation's pipeline: a native daemon thread that
# the threading module lists as a threading.Thread while it runs.
@type_check_only
class _PipelineThread(threading.Thread):
    @property
    def daemon(self) -> Literal[True]: ...  # type: ignore[override]
    def join(self, timeout: float | None = None) -> None: ...
    def is_alive(self) -> bool: ...

def init_simulate_signal(
    auth: Any,
    sync_manager: Any,
    vault: Any,
    backtester: Any,
    search_tracker: Any,
    era_thread: Any,
    graph_validator: Any = None,
    batch_orchestrator: Any = None,
    compute_search_plan: Callable[..., Any] | None = None,
    era_config: Mapping[str, Any] | None = None,
    load_vocabulary: Callable[..., Any] | None = None,
    useful_signal_metadata: Mapping[str, Any] | None = None,
    useful_signals: Any = None,
    useful_signal_pool: Any = None,
    found_signal_pool: Any = None,
    load_found_signal_pnl: Callable[..., Any] | None = None,
    signal_dir: str | os.PathLike[str] | None = None,
    network_client: Any = None,
    server_client: Any = None,
    BatchOrchestrator_cls: Callable[..., Any] | None = None,
    set_phase: Callable[[_Phase], object] | None = None,
    correlate_per_pool: Callable[..., Any] | None = None,
    compute_mi_per_pool: Callable[..., Any] | None = None,
    vocabulary: Any = None,
    vocabulary_raw: Mapping[str, Any] | None = None,
    runtime_freshness_guard: Any = None,
    market_id: object = None,
    era_number: object = None,
) -> None:
    """Wire all module-level DI globals for production use."""

def simulate_signal(
    graph: object,
    *,
    named_universe: str | None = None,
    signal_pool_id: str,
    metaparameters: Mapping[str, Any] | None = None,
    include_correlation: bool = True,
    include_mi: bool = True,
    record: bool = True,
    return_series: bool = False,
    return_weights: bool = False,
    fail_fast: bool = True,
) -> SimulationHandle:
    """Evaluate a signal expression graph. Returns SimulationHandle immediately."""

def simulate_strategy(
    graph: object,
    *,
    named_universe: str | None = None,
    strategy_pool_id: str,
    metaparameters: Mapping[str, Any] | None = None,
    include_correlation: bool = True,
    include_mi: bool = True,
    record: bool = True,
    return_series: bool = False,
    return_weights: bool = False,
    fail_fast: bool = True,
) -> SimulationHandle:
    """Evaluate a strategy expression graph. Returns SimulationHandle immediately."""

class _UniverseOption(TypedDict):
    id: str
    named_universe: str
    rule_id: int
    market_id: NotRequired[int]
    pool_id: NotRequired[int]

class _SimulationOptions(TypedDict):
    universe_options: list[_UniverseOption]
    engine_definitions: dict[str, Any]

def effective_simulation_options(era_config: object) -> _SimulationOptions:
    """Per-era SDK simulation-options surface."""
