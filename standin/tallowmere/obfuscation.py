"""Stand-in: vocabulary artifacts on disk."""
import json
import os


def load_vocabulary(data_dir, named_universe):
    """Read ``<data_dir>/<named_universe>/vocabulary.json`` (else ``<data_dir>/vocabulary.json``)."""
    for path in (os.path.join(data_dir, named_universe, "vocabulary.json"),
                 os.path.join(data_dir, "vocabulary.json")):
        if os.path.exists(path):
            with open(path, encoding="utf-8") as handle:
                return json.load(handle)
    raise FileNotFoundError(os.path.join(data_dir, "vocabulary.json"))
