"""A small synthetic equity market, made with NumPy from a seed.

Model (daily, ``t`` indexes dates, ``i`` instruments):

- market factor      ``m_t ~ N(0.0003, 0.009)``
- betas              ``beta_i ~ U(0.6, 1.4)``
- idiosyncratic vol  ``sigma_i ~ U(0.012, 0.030)``
- latent alpha       ``a_{t,i}``: AR(1) with persistence 0.97 and unit variance
- returns            ``r_{t+1,i} = beta_i * m_{t+1} + ALPHA_STRENGTH * sigma_i * a_{t,i}
  + sigma_i * e_{t+1,i}``, ``e ~ N(0, 1)``

so the alpha known at the close of date ``t`` predicts the return earned from
``t`` to ``t + 1``. Only the ``value`` feature sees that alpha (through noise);
the other features are ordinary price and volume statistics with no planted
edge, which makes them honest controls.

Features, each a (dates x instruments) matrix known at the close of each date,
NaN while their look-back window is not full:

- ``value``:         ``a_{t,i}`` plus N(0, VALUE_NOISE^2) measurement noise
- ``momentum_20``:   sum of the last 20 daily returns
- ``reversal_5``:    minus the sum of the last 5 daily returns
- ``volatility_20``: standard deviation (ddof 0) of the last 20 daily returns
- ``log_volume``:    log of the day's traded dollar volume
- ``size``:          log of price times a fixed share count

Named universes: ``synth_broad`` holds every instrument, ``synth_liquid`` the
half with the highest mean dollar volume.
"""
from dataclasses import dataclass, field

import numpy as np

PERIODS_PER_YEAR = 252
ALPHA_STRENGTH = 0.04
ALPHA_PERSISTENCE = 0.97
VALUE_NOISE = 1.0
FIRST_DATE = "2021-01-04"
FEATURE_NAMES = ("value", "momentum_20", "reversal_5", "volatility_20", "log_volume", "size")
BROAD_UNIVERSE = "synth_broad"
LIQUID_UNIVERSE = "synth_liquid"


@dataclass(frozen=True, eq=False)
class SyntheticMarket:
    """Dates, instruments, returns and features of one seeded market.

    ``returns`` has one more row than there are dates: ``returns[t]`` is the
    return realised from date ``t - 1`` to date ``t`` (row 0 leads into the
    first date), so ``forward_returns[t] = returns[t + 1]`` is what a position
    held at the close of date ``t`` earns.
    """

    seed: int
    dates: tuple
    instruments: tuple
    returns: np.ndarray
    dollar_volume: np.ndarray
    features: dict = field(repr=False)
    universes: dict = field(repr=False)

    @property
    def n_dates(self):
        return len(self.dates)

    @property
    def n_instruments(self):
        return len(self.instruments)

    @property
    def forward_returns(self):
        return self.returns[1:]

    @property
    def market_returns(self):
        """Equal-weighted forward return of all instruments, per date."""
        return self.forward_returns.mean(axis=1)


def make_market(seed=0, n_dates=300, n_instruments=40):
    """Build the market for ``seed``; the same arguments always give the same market."""
    if n_dates < 2 or n_instruments < 2:
        raise ValueError("a market needs at least 2 dates and 2 instruments")
    rng = np.random.default_rng(seed)
    periods = n_dates + 1
    beta = rng.uniform(0.6, 1.4, n_instruments)
    sigma = rng.uniform(0.012, 0.030, n_instruments)
    market = rng.normal(0.0003, 0.009, periods)
    alpha = _latent_alpha(rng, n_dates, n_instruments)
    noise = rng.normal(0.0, 1.0, (periods, n_instruments))
    returns = beta * market[:, None] + sigma * noise
    returns[1:] += ALPHA_STRENGTH * sigma * alpha
    liquidity = rng.lognormal(mean=16.0, sigma=1.0, size=n_instruments)
    dollar_volume = liquidity * rng.lognormal(0.0, 0.3, (n_dates, n_instruments))
    shares = rng.lognormal(mean=18.0, sigma=0.8, size=n_instruments)
    past = returns[:-1]  # row t: the return realised up to date t
    prices = 100.0 * np.cumprod(1.0 + past, axis=0)
    features = {
        "value": alpha + rng.normal(0.0, VALUE_NOISE, alpha.shape),
        "momentum_20": _trailing(past, 20, np.sum),
        "reversal_5": -_trailing(past, 5, np.sum),
        "volatility_20": _trailing(past, 20, np.std),
        "log_volume": np.log(dollar_volume),
        "size": np.log(prices * shares),
    }
    liquid = np.zeros(n_instruments, dtype=bool)
    liquid[np.argsort(-dollar_volume.mean(axis=0))[: n_instruments // 2]] = True
    universes = {BROAD_UNIVERSE: np.ones(n_instruments, dtype=bool), LIQUID_UNIVERSE: liquid}
    dates = np.busday_offset(FIRST_DATE, np.arange(n_dates), roll="forward").astype(str)
    return SyntheticMarket(
        seed=seed,
        dates=tuple(dates.tolist()),
        instruments=tuple(f"SYN{i:03d}" for i in range(n_instruments)),
        returns=returns,
        dollar_volume=dollar_volume,
        features=features,
        universes=universes,
    )


def _latent_alpha(rng, n_dates, n_instruments):
    """Unit-variance AR(1) paths, started from their stationary distribution."""
    innovation_scale = np.sqrt(1.0 - ALPHA_PERSISTENCE ** 2)
    alpha = np.empty((n_dates, n_instruments))
    alpha[0] = rng.normal(0.0, 1.0, n_instruments)
    for t in range(1, n_dates):
        alpha[t] = ALPHA_PERSISTENCE * alpha[t - 1] + rng.normal(0.0, innovation_scale,
                                                                 n_instruments)
    return alpha


def _trailing(matrix, window, reduce):
    """``reduce`` over the last ``window`` rows, per column; NaN for the first window-1 rows."""
    out = np.full(matrix.shape, np.nan)
    if len(matrix) >= window:
        windows = np.lib.stride_tricks.sliding_window_view(matrix, window, axis=0)
        out[window - 1:] = reduce(windows, axis=-1)
    return out
