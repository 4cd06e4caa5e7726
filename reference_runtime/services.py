"""Authentication manager, era data vault and era watcher of the reference runtime."""
import threading

from .shuffle_seed import decode_shuffle_seed


class AuthManager:
    """Holds the agent's wallet secret (there is no login here)."""

    def __init__(self, wallet_secret):
        self._wallet_secret = wallet_secret

    def get_wallet_secret(self):
        return self._wallet_secret


class VaultAlreadyInitializedError(RuntimeError):
    """``initialize`` was called again for the era the vault already holds."""


class EraVault:
    """Holds the era's shuffle key once the shuffle seed has been opened.

    ``initialize(shuffle_blob, wallet_secret, era_number)`` verifies the seed
    with the secret and checks it belongs to ``era_number``; a second call for
    the same era raises ``VaultAlreadyInitializedError`` ("vault already
    initialized for era N") while ``is_ready()`` stays true.
    ``init_if_needed(era_number)`` checks that the vault holds that era and
    raises ``RuntimeError`` if not (the seed is needed to open it).
    """

    def __init__(self):
        self._lock = threading.Lock()  # guards _era_number, _market_id, _shuffle_key
        self._era_number = None
        self._market_id = None
        self._shuffle_key = None

    def initialize(self, shuffle_blob, wallet_secret, era_number):
        market_id, seed_era, key = decode_shuffle_seed(shuffle_blob, wallet_secret)
        if seed_era != era_number:
            raise ValueError(f"shuffle seed is for era {seed_era}, not era {era_number}")
        with self._lock:
            if self._era_number == era_number and self._shuffle_key is not None:
                raise VaultAlreadyInitializedError(
                    f"vault already initialized for era {era_number}")
            self._era_number, self._market_id, self._shuffle_key = era_number, market_id, key

    def init_if_needed(self, era_number):
        with self._lock:
            if self._era_number != era_number or self._shuffle_key is None:
                raise RuntimeError(f"vault is not initialized for era {era_number}; "
                                   "initialize it with the era's shuffle seed first")

    def is_ready(self):
        with self._lock:
            return self._shuffle_key is not None

    @property
    def era_number(self):
        with self._lock:
            return self._era_number


class EraThread:
    """Tells which era is current. Here the era moves only when ``advance`` is called;
    no background thread runs."""

    def __init__(self, era_number):
        self._lock = threading.Lock()  # guards _era_number
        self._era_number = era_number

    def get_current_era_number(self):
        with self._lock:
            return self._era_number

    def advance(self, era_number=None):
        """Move to ``era_number`` (default: the next era); returns the new era."""
        with self._lock:
            self._era_number = self._era_number + 1 if era_number is None else era_number
            return self._era_number
