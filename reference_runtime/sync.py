"""Data sync: lays the era's published artifacts out in a local data directory.

The "server" here is a fixed mapping from relative path to bytes, made from
the seed when the runtime is built. Syncing writes each artifact whose bytes
are not on disk yet (atomically: a temporary file, then a rename) and writes
``manifest.json`` with the market, the era and the SHA-256 of every file.

Progress: ``total_bytes`` is the size of all published artifacts,
``bytes_downloaded`` the size of those present on disk with the published
content (a data directory synced before counts from the start).
"""
import hashlib
import json
import os
import threading
from types import SimpleNamespace

MANIFEST = "manifest.json"


def sha256_hex(content):
    return hashlib.sha256(content).hexdigest()


class SyncManager:
    """Sync lifecycle for one era: hold (acquire/release), sync, manifest."""

    def __init__(self, data_dir, artifacts, *, market_id, era_number):
        self._data_dir = os.fspath(data_dir)
        self.market_id = market_id
        self.era_number = era_number
        # _lock guards _published, _synced, _holds, bytes_downloaded, total_bytes
        # and every write into the data directory.
        self._lock = threading.Lock()
        self._published = {path: bytes(content) for path, content in artifacts.items()}
        self._synced = {}
        self._holds = 0
        self.bytes_downloaded = 0
        self.total_bytes = 0
        self.runtime_freshness_guard = FreshnessGuard(self)
        with self._lock:
            self._scan_existing()

    @property
    def data_dir(self):
        return self._data_dir

    def path(self, relative):
        return os.path.join(self._data_dir, *relative.split("/"))

    # -- hold -------------------------------------------------------------
    def acquire(self):
        with self._lock:
            self._holds += 1

    def release(self):
        with self._lock:
            if self._holds == 0:
                raise RuntimeError("release() without a matching acquire()")
            self._holds -= 1

    @property
    def holds(self):
        with self._lock:
            return self._holds

    # -- sync -------------------------------------------------------------
    def request_feature_files_for_sync(self, names, expression_type=None, named_universe=None):
        """Sync the feature files of ``names`` first; names the era does not publish
        are left for the graph validator to refuse. Returns the synced paths."""
        wanted = [f"features/{name}.npy" for name in names]
        with self._lock:
            present = [rel for rel in wanted if rel in self._published]
            for rel in present:
                self._fetch_if_stale(rel)
        return [self.path(rel) for rel in present]

    def request_for_sync(self):
        """Sync every artifact and write the manifest; returns all synced paths."""
        with self._lock:
            for rel in sorted(self._published):
                self._fetch_if_stale(rel)
            self._write_manifest()
            return [self.path(rel) for rel in sorted(self._published)]

    def get_manifest(self):
        """The manifest of the last sync (a dict), or None before the first sync."""
        try:
            with open(self.path(MANIFEST), encoding="utf-8") as handle:
                return json.load(handle)
        except FileNotFoundError:
            return None

    def publish(self, relative, content):
        """Replace (or add) an artifact on the server side; it is pending until synced."""
        with self._lock:
            self._published[relative] = bytes(content)
            self._count_progress()

    def sync_pending(self):
        """Sync the artifacts whose published content is not on disk; returns how many."""
        with self._lock:
            stale = [rel for rel in sorted(self._published) if self._is_stale(rel)]
            for rel in stale:
                self._fetch_if_stale(rel)
            if stale:
                self._write_manifest()
            return len(stale)

    def artifact_shas(self):
        """(pending, loaded): path -> SHA-256 of published artifacts not yet synced, and
        of the synced ones, both keyed by absolute path."""
        with self._lock:
            pending = {self.path(rel): sha256_hex(content)
                       for rel, content in self._published.items() if self._is_stale(rel)}
            loaded = {self.path(rel): sha for rel, sha in self._synced.items()}
        return pending, loaded

    # -- under _lock ------------------------------------------------------
    def _is_stale(self, rel):
        return self._synced.get(rel) != sha256_hex(self._published[rel])

    def _fetch_if_stale(self, rel):
        if not self._is_stale(rel):
            return
        content = self._published[rel]
        _write_atomically(self.path(rel), content)
        self._synced[rel] = sha256_hex(content)
        self._count_progress()

    def _scan_existing(self):
        for rel, content in self._published.items():
            try:
                with open(self.path(rel), "rb") as handle:
                    on_disk = handle.read()
            except OSError:
                continue
            if on_disk == content:
                self._synced[rel] = sha256_hex(content)
        self._count_progress()

    def _count_progress(self):
        self.total_bytes = sum(len(content) for content in self._published.values())
        self.bytes_downloaded = sum(len(content) for rel, content in self._published.items()
                                    if not self._is_stale(rel))

    def _write_manifest(self):
        manifest = {"market_id": self.market_id, "era_number": self.era_number,
                    "files": {rel: self._synced[rel] for rel in sorted(self._synced)}}
        _write_atomically(self.path(MANIFEST),
                          json.dumps(manifest, indent=1, sort_keys=True).encode())


class FreshnessGuard:
    """Keeps the synced artifacts equal to the published ones between runs.

    ``snapshot`` exposes ``pending_data_artifact_shas`` (published, not yet
    synced) and ``loaded_data_artifact_shas`` (synced), path -> SHA-256. The
    two ``ensure_fresh_*`` hooks sync whatever is pending and return how many
    artifacts they refreshed (0 when all was fresh).
    """

    def __init__(self, sync_manager):
        self._sync_manager = sync_manager
        self.consumers = {}

    @property
    def snapshot(self):
        pending, loaded = self._sync_manager.artifact_shas()
        return SimpleNamespace(pending_data_artifact_shas=pending,
                               loaded_data_artifact_shas=loaded)

    def register_module_consumer(self, name, consumer, attribute):
        """Remember a module that holds runtime state in ``consumer.<attribute>``."""
        self.consumers[name] = (consumer, attribute)

    def ensure_fresh_before_evaluation(self):
        return self._sync_manager.sync_pending()

    def ensure_fresh_before_backtest(self):
        return self._sync_manager.sync_pending()


def _write_atomically(path, content):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    temporary = f"{path}.{os.getpid()}.{threading.get_ident()}.tmp"
    with open(temporary, "wb") as handle:
        handle.write(content)
    os.replace(temporary, path)
