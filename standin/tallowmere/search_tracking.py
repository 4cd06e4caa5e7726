"""Stand-in: search tracking record types."""


class BacktestStats:
    """Keyword-built tracking statistics record."""

    def __init__(self, **fields):
        self.__dict__.update(fields)

    def __eq__(self, other):
        return type(other) is type(self) and other.__dict__ == self.__dict__

    def __repr__(self):
        inner = ", ".join(f"{k}={v!r}" for k, v in self.__dict__.items())
        return f"BacktestStats({inner})"
