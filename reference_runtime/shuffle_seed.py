"""The era's shuffle seed file, "shuffle_seed.enc": exactly 60 bytes.

Layout:

- bytes  0-3:  magic ``b"SSE1"``
- bytes  4-7:  market id, unsigned big-endian
- bytes  8-11: era number, unsigned big-endian
- bytes 12-43: the 32-byte shuffle key XOR ``SHA-256(wallet_secret || bytes 0-11)``
- bytes 44-59: ``HMAC-SHA-256(wallet_secret, bytes 0-11 || shuffle key)``, first 16 bytes

Only a holder of the wallet secret recovers the key, and a wrong secret or a
damaged file fails the tag check. The key seeds the permutation in which the
synced feature files store their instrument columns; feature reconstruction
undoes it.
"""
import hashlib
import hmac
import struct

import numpy as np

MAGIC = b"SSE1"
BLOB_SIZE = 60
KEY_SIZE = 32
_HEADER = struct.Struct(">4sII")


def wallet_secret_for(seed):
    """The reference wallet secret of a seeded runtime (32 bytes)."""
    return hashlib.sha256(f"reference-wallet:{seed}".encode()).digest()


def shuffle_key_for(seed, market_id, era_number):
    """The era's shuffle key (32 bytes)."""
    return hashlib.sha256(f"reference-shuffle:{seed}:{market_id}:{era_number}".encode()).digest()


def encode_shuffle_seed(shuffle_key, wallet_secret, market_id, era_number):
    """The 60-byte file content for ``shuffle_key``."""
    if len(shuffle_key) != KEY_SIZE:
        raise ValueError(f"shuffle key must be {KEY_SIZE} bytes")
    header = _HEADER.pack(MAGIC, market_id, era_number)
    masked = bytes(k ^ m for k, m in zip(shuffle_key, _mask(wallet_secret, header)))
    return header + masked + _tag(wallet_secret, header, shuffle_key)


def decode_shuffle_seed(blob, wallet_secret):
    """(market_id, era_number, shuffle_key) from the file content; ValueError if it does not verify."""
    blob = bytes(blob)
    if len(blob) != BLOB_SIZE:
        raise ValueError(f"shuffle seed must be {BLOB_SIZE} bytes, got {len(blob)}")
    header, masked, tag = blob[:12], blob[12:44], blob[44:]
    magic, market_id, era_number = _HEADER.unpack(header)
    if magic != MAGIC:
        raise ValueError("not a shuffle seed file (bad magic)")
    key = bytes(k ^ m for k, m in zip(masked, _mask(wallet_secret, header)))
    if not hmac.compare_digest(tag, _tag(wallet_secret, header, key)):
        raise ValueError("shuffle seed does not verify with this wallet secret")
    return market_id, era_number, key


def column_permutation(shuffle_key, n_columns):
    """The permutation ``p``: stored column ``j`` holds instrument ``p[j]``."""
    return np.random.default_rng(int.from_bytes(shuffle_key, "big")).permutation(n_columns)


def _secret_bytes(wallet_secret):
    if isinstance(wallet_secret, str):
        return wallet_secret.encode()
    return bytes(wallet_secret)


def _mask(wallet_secret, header):
    return hashlib.sha256(_secret_bytes(wallet_secret) + header).digest()


def _tag(wallet_secret, header, key):
    return hmac.new(_secret_bytes(wallet_secret), header + key, hashlib.sha256).digest()[:16]
