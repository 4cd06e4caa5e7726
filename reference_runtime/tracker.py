"""Search tracker: appends one JSON object per recorded evaluation to a JSON-lines file.

Each line is ``{"kind": "signal" | "strategy", "sequence": n, "payload": {...}}``
where ``n`` counts the records of this tracker from 1. Values that JSON cannot
hold are converted (see ``to_jsonable``).
"""
import dataclasses
import enum
import json
import math
import os
import threading

import numpy as np


def to_jsonable(value, _active=None):
    """A JSON-ready copy of ``value``.

    - None, bool, int, str: unchanged; floats: unchanged, NaN and infinities
      become None; NumPy scalars and arrays: their Python values (``tolist``)
    - mappings: dicts with ``str`` keys; lists, tuples: lists; sets: lists
      sorted by their JSON text
    - bytes: hexadecimal text; enums: their value; path-like: the path text
    - dataclass instances: dicts of their fields; other objects with a
      ``__dict__``: dicts of their public attributes; anything else: ``repr``
    - a container met again inside itself becomes the text "<cycle>"
    """
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, np.generic):
        return to_jsonable(value.item(), _active)
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).hex()
    if isinstance(value, enum.Enum):
        return to_jsonable(value.value, _active)
    if isinstance(value, os.PathLike):
        return os.fspath(value)
    active = _active if _active is not None else set()
    if id(value) in active:
        return "<cycle>"
    active.add(id(value))
    try:
        return _container(value, active)
    finally:
        active.discard(id(value))


def _container(value, active):
    if isinstance(value, np.ndarray):
        return to_jsonable(value.tolist(), active)
    if isinstance(value, dict):
        return {str(key): to_jsonable(item, active) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [to_jsonable(item, active) for item in value]
    if isinstance(value, (set, frozenset)):
        items = [to_jsonable(item, active) for item in value]
        return sorted(items, key=lambda item: json.dumps(item, sort_keys=True))
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return {f.name: to_jsonable(getattr(value, f.name), active)
                for f in dataclasses.fields(value)}
    attributes = getattr(value, "__dict__", None)
    if isinstance(attributes, dict) and not isinstance(value, type):
        return {key: to_jsonable(item, active) for key, item in attributes.items()
                if not key.startswith("_")}
    return repr(value)


class JsonlSearchTracker:
    """Appends evaluation records to ``path`` (directories are created)."""

    def __init__(self, path):
        self.path = os.fspath(path)
        self._lock = threading.Lock()  # guards _sequence and appends to the file
        self._sequence = 0

    def record_signal_evaluation(self, **payload):
        return self._append("signal", payload)

    def record_strategy_evaluation(self, **payload):
        return self._append("strategy", payload)

    def _append(self, kind, payload):
        with self._lock:
            self._sequence += 1
            record = {"kind": kind, "sequence": self._sequence, "payload": to_jsonable(payload)}
            line = json.dumps(record, allow_nan=False, ensure_ascii=False)
            os.makedirs(os.path.dirname(self.path) or ".", exist_ok=True)
            with open(self.path, "a", encoding="utf-8") as handle:
                handle.write(line + "\n")
        return record


def read_records(path):
    """The records of a tracking file, in order."""
    with open(path, encoding="utf-8") as handle:
        return [json.loads(line) for line in handle if line.strip()]
