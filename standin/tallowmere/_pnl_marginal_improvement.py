"""Stand-in: PnL marginal improvement."""


def empty_pool_pnl_mi():
    """MI score of a pool that holds no signals yet: any new signal improves it fully."""
    return 1.0
