"""Stand-in: backtest timing extraction and recording."""

RECORDS = []


def extract_backtest_row_count(bt_result, weights=None):
    """Number of backtest rows (dates): from the result, else from the weights."""
    count = getattr(bt_result, "row_count", None)
    if count is not None:
        return int(count)
    try:
        return len(weights) if weights is not None else 0
    except TypeError:
        return 0


def extract_max_row_elapsed_seconds(bt_result):
    """The slowest row's time in seconds, or None when the result has none."""
    value = getattr(bt_result, "max_row_elapsed_seconds", None)
    return None if value is None else float(value)


def record_backtest_timing(graph=None, frequency=None, row_count=None, elapsed_seconds=None,
                           max_row_elapsed_seconds=None):
    """Append one timing record (kept in memory)."""
    RECORDS.append(dict(frequency=frequency, row_count=row_count,
                        elapsed_seconds=elapsed_seconds,
                        max_row_elapsed_seconds=max_row_elapsed_seconds))
    return None
