"""Stand-in: the runtime function registry."""
from dataclasses import dataclass, field


@dataclass
class FunctionEntry:
    name: str
    arity: int = 1
    meta: dict = field(default_factory=dict)


class FunctionStore:
    """A registry of vocabulary functions by name."""

    def __init__(self, entries=()):
        self._entries = {e.name: e for e in entries}

    def get(self, name):
        return self._entries.get(name)

    def __contains__(self, name):
        return name in self._entries

    def __len__(self):
        return len(self._entries)

    def names(self):
        return list(self._entries)
