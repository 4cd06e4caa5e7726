"""Simulate signal subcomponent — single expression evaluation pipeline."""
from collections.abc import Callable, Mapping
from typing import Any, ClassVar

class CancelledError(Exception):
    """Raised when simulation is cancelled."""

class SimulationStatus:
    """Snapshot of simulation progress."""

    __dataclass_fields__: ClassVar[dict[str, Any]]
    phase: str
    progress: float
    message: str
    era_number: int
    elapsed_s: float
    def __init__(
        self,
        phase: str = "",
        progress: float = 0.0,
        message: str = "",
        era_number: int = 0,
        elapsed_s: float = 0.0,
    ) -> None: ...

class SimulationResult:
    """Wrapper for simulation results with selected-pool evaluation."""

    __dataclass_fields__: ClassVar[dict[str, Any]]
    stats: object
    pnl_matrix: object
    per_column_stats: object
    portfolio_returns: object
    processed_weights: object
    pool_kind: object
    signal_pool_id: object
    strategy_pool_id: object
    is_correlation: object
    is_pnl_mi: object
    was_diagnostic_only: object
    failure_reason: object
    failure_detail: object
    passed: object
    structural_failed: object
    mi_score: object
    mi_passed: object
    stats_verdict: object
    correlation_verdict: object
    mi_verdict: object
    rejection_reason: object
    expression_elapsed_seconds: object
    backtest_elapsed_seconds: object
    max_backtest_row_elapsed_seconds: object
    resolved_metaparameters: object
    def __init__(
        self,
        stats: object = None,
        pnl_matrix: object = None,
        per_column_stats: object = None,
        portfolio_returns: object = None,
        processed_weights: object = None,
        pool_kind: object = None,
        signal_pool_id: object = None,
        strategy_pool_id: object = None,
        is_correlation: object = None,
        is_pnl_mi: object = None,
        was_diagnostic_only: object = False,
        failure_reason: object = None,
        failure_detail: object = None,
        passed: object = True,
        structural_failed: object = False,
        mi_score: object = None,
        mi_passed: object = None,
        stats_verdict: object = None,
        correlation_verdict: object = None,
        mi_verdict: object = None,
        rejection_reason: object = None,
        expression_elapsed_seconds: object = None,
        backtest_elapsed_seconds: object = None,
        max_backtest_row_elapsed_seconds: object = None,
        resolved_metaparameters: object = None,
    ) -> None: ...

class SimulationHandle:
    """Handle to a running simulation."""

    def __init__(
        self,
        graph: object,
        named_universe: str | None,
        expression_type: str,
        metaparameters: Mapping[str, object] | None = None,
        include_correlation: bool = True,
        include_mi: bool = True,
        record: bool = True,
        return_series: bool = False,
        return_weights: bool = False,
        selected_pool_id: str | None = None,
        selected_pool_kind: str | None = None,
        fail_fast: bool = True,
    ) -> None: ...
    def status(self) -> SimulationStatus:
        """Return current simulation status snapshot."""
    def result(self) -> SimulationResult:
        """Block until completion, return BacktestResult or raise exception."""
    def cancel(self) -> None:
        """Cancel simulation immediately. No-op if already done/cancelled."""

def init_simulate_signal(
    auth: object,
    sync_manager: object,
    vault: object,
    backtester: object,
    search_tracker: object,
    era_thread: object,
    graph_validator: object = None,
    batch_orchestrator: object = None,
    compute_search_plan: Callable[..., object] | None = None,
    era_config: Mapping[str, Any] | None = None,
    load_vocabulary: Callable[..., object] | None = None,
    useful_signal_metadata: object = None,
    useful_signals: object = None,
    useful_signal_pool: object = None,
    found_signal_pool: object = None,
    load_found_signal_pnl: Callable[..., object] | None = None,
    signal_dir: object = None,
    network_client: object = None,
    server_client: object = None,
    BatchOrchestrator_cls: object = None,
    set_phase: Callable[[str], object] | None = None,
    correlate_per_pool: Callable[..., object] | None = None,
    compute_mi_per_pool: Callable[..., object] | None = None,
    vocabulary: object = None,
    vocabulary_raw: object = None,
    runtime_freshness_guard: object = None,
    market_id: object = None,
    era_number: object = None,
) -> None:
    """Wire all module-level DI globals for production use."""

def simulate_signal(
    graph: object,
    named_universe: str | None = None,
    *,
    market_id: object = None,
    era_number: object = None,
    signal_pool_id: str | None = None,
    metaparameters: Mapping[str, object] | None = None,
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
    named_universe: str | None = None,
    *,
    market_id: object = None,
    era_number: object = None,
    strategy_pool_id: str | None = None,
    metaparameters: Mapping[str, object] | None = None,
    include_correlation: bool = True,
    include_mi: bool = True,
    record: bool = True,
    return_series: bool = False,
    return_weights: bool = False,
    fail_fast: bool = True,
) -> SimulationHandle:
    """Evaluate a strategy expression graph. Returns SimulationHandle immediately."""

def effective_simulation_options(era_config: object) -> dict[str, Any]:
    """Per-era SDK simulation-options surface."""
