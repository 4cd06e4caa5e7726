"""The portfolio engine: from weights and forward returns to PnL and statistics.

For weights ``W`` and forward returns ``R`` (dates x instruments; NaN weights
count as 0) and a cost of ``cost_bps`` basis points per unit traded:

- ``turnover_t = sum_i |W[t,i] - W[t-1,i]|`` with ``W[-1] = 0``
- ``pnl_gross_t = sum_i W[t,i] * R[t,i]``
- ``pnl_net_t = pnl_gross_t - cost_bps / 10_000 * turnover_t``

Statistics of the weights (``BacktestStats``):

- ``avg_turnover`` (also ``turnover``): mean of ``turnover_t`` over t >= 1 (the
  first date's build-up is charged but not counted); 0 for a single date
- ``delta_exposure``: mean over dates of ``|sum_i W[t,i]|`` (net exposure)
- ``abs_weight_sum_mean``: mean over dates of ``sum_i |W[t,i]|`` (gross exposure)
- ``max_weight``: largest ``|W[t,i]|``
- ``correlation``: Pearson correlation of ``pnl_net`` with the equal-weighted
  market return (0 when either is constant)
- ``liquidity_metrics``: ``illiquid_weight_share`` (mean over dates with a
  position of the gross weight outside the liquid set over the gross weight)
  and ``max_daily_turnover``
- ``custom_stats``: ``long_count_mean``, ``short_count_mean`` (positions per
  date) and ``active_dates`` (dates with a position)

Statistics of each PnL column ``c`` (``per_column_stats``), for a series ``x``
of daily PnL with ``P = 252`` periods per year:

- ``c_returns = P * mean(x)``
- ``c_volatility = sqrt(P) * std(x)`` (ddof 0)
- ``c_sharpe = c_returns / c_volatility`` (0 when the volatility is 0)
- ``c_drawdown``: largest fall of the cumulative PnL from its running peak
  (the peak starts at 0)
- ``c_quality_score = c_returns / c_drawdown`` (0 when there is no drawdown)
- ``c_hit_rate``: share of dates with ``x > 0``

A weights matrix of the wrong shape, or with infinite entries, or without any
position, is *structurally failed*: the result says so and is computed on the
usable part (infinities as 0; zeros for a wrong shape).
"""
from dataclasses import dataclass, field

import numpy as np

from .market import PERIODS_PER_YEAR

PNL_COLUMNS = ("pnl_net", "pnl_gross")
DEFAULT_COST_BPS = 5.0


@dataclass
class BacktestStats:
    avg_turnover: float
    turnover: float
    delta_exposure: float
    abs_weight_sum_mean: float
    max_weight: float
    correlation: object
    liquidity_metrics: dict = field(default_factory=dict)
    custom_stats: dict = field(default_factory=dict)


@dataclass(eq=False)
class BacktestResult:
    stats: BacktestStats
    per_column_stats: dict
    pnl_matrix: np.ndarray
    pnl_columns: tuple
    row_count: int
    structural_failed: bool
    portfolio_returns: object = None
    processed_weights: object = None

    def column(self, name):
        """The PnL series of column ``name``."""
        if name not in self.pnl_columns:
            raise KeyError(f"no PnL column {name!r}; columns: {list(self.pnl_columns)}")
        return self.pnl_matrix[:, self.pnl_columns.index(name)]


def series_stats(prefix, pnl):
    """The per-column statistics of one daily PnL series, keyed ``prefix + "_" + name``."""
    pnl = np.asarray(pnl, dtype=float)
    annual_return = PERIODS_PER_YEAR * pnl.mean() if len(pnl) else 0.0
    volatility = np.sqrt(PERIODS_PER_YEAR) * pnl.std() if len(pnl) else 0.0
    drawdown = max_drawdown(pnl)
    stats = {
        "returns": annual_return,
        "volatility": volatility,
        "sharpe": annual_return / volatility if volatility > 0 else 0.0,
        "drawdown": drawdown,
        "quality_score": annual_return / drawdown if drawdown > 0 else 0.0,
        "hit_rate": float((pnl > 0).mean()) if len(pnl) else 0.0,
    }
    return {f"{prefix}_{name}": float(value) for name, value in stats.items()}


def max_drawdown(pnl):
    """Largest fall of the cumulative PnL below its running peak (which starts at 0)."""
    cumulative = np.concatenate(([0.0], np.cumsum(pnl)))
    return float((np.maximum.accumulate(cumulative) - cumulative).max())


def sharpe_ratio(pnl):
    return series_stats("x", pnl)["x_sharpe"]


def pearson(a, b):
    """Pearson correlation of two equally long series; 0 when either is constant."""
    a, b = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
    if len(a) != len(b):
        raise ValueError(f"series lengths differ: {len(a)} and {len(b)}")
    a, b = a - a.mean(), b - b.mean()
    scale = np.sqrt((a * a).sum() * (b * b).sum())
    return float((a * b).sum() / scale) if scale > 0 else 0.0


class RawBacktester:
    """Backtests weights against fixed forward returns (formulas in the module doc)."""

    def __init__(self, forward_returns, *, cost_bps=DEFAULT_COST_BPS, liquid_mask=None):
        self.forward_returns = np.asarray(forward_returns, dtype=float)
        self.cost_bps = float(cost_bps)
        n_instruments = self.forward_returns.shape[1]
        self.liquid_mask = (np.ones(n_instruments, dtype=bool) if liquid_mask is None
                            else np.asarray(liquid_mask, dtype=bool))

    def run(self, weights, *, return_series=False, return_weights=False):
        weights, structural_failed = self._usable_weights(weights)
        turnover = np.abs(np.diff(weights, axis=0, prepend=0.0)).sum(axis=1)
        gross = (weights * self.forward_returns).sum(axis=1)
        net = gross - self.cost_bps / 10_000 * turnover
        per_column = {}
        for name, series in zip(PNL_COLUMNS, (net, gross)):
            per_column.update(series_stats(name, series))
        return BacktestResult(
            stats=self._weight_stats(weights, turnover, net),
            per_column_stats=per_column,
            pnl_matrix=np.column_stack((net, gross)),
            pnl_columns=PNL_COLUMNS,
            row_count=len(weights),
            structural_failed=structural_failed,
            portfolio_returns=net.copy() if return_series else None,
            processed_weights=weights if return_weights else None,
        )

    def _usable_weights(self, weights):
        try:
            weights = np.array(weights, dtype=float)
        except (TypeError, ValueError):
            return np.zeros(self.forward_returns.shape), True
        if weights.shape != self.forward_returns.shape:
            return np.zeros(self.forward_returns.shape), True
        infinite = bool(np.isinf(weights).any())
        weights = np.nan_to_num(weights, nan=0.0, posinf=0.0, neginf=0.0)
        return weights, infinite or not weights.any()

    def _weight_stats(self, weights, turnover, net):
        gross_weight = np.abs(weights).sum(axis=1)
        active = gross_weight > 0
        illiquid = np.abs(weights[:, ~self.liquid_mask]).sum(axis=1)
        avg_turnover = float(turnover[1:].mean()) if len(turnover) > 1 else 0.0
        return BacktestStats(
            avg_turnover=avg_turnover,
            turnover=avg_turnover,
            delta_exposure=float(np.abs(weights.sum(axis=1)).mean()),
            abs_weight_sum_mean=float(gross_weight.mean()),
            max_weight=float(np.abs(weights).max()),
            correlation=pearson(net, self.forward_returns.mean(axis=1)),
            liquidity_metrics={
                "illiquid_weight_share": (float((illiquid[active] / gross_weight[active]).mean())
                                          if active.any() else 0.0),
                "max_daily_turnover": float(turnover.max()),
            },
            custom_stats={
                "long_count_mean": float((weights > 0).sum(axis=1).mean()),
                "short_count_mean": float((weights < 0).sum(axis=1).mean()),
                "active_dates": int(active.sum()),
            },
        )
