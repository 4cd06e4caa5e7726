"""Stand-in: pool identity."""


def resolve_pool_config(era_cfg, pool_id, kind="signal"):
    """The pool config with ``pool_id`` among the era's pools of ``kind``.

    Pools are listed under ``"<kind>_pools"`` as a list of dicts with an
    ``"id"`` (or a dict keyed by id). Raises ``KeyError`` for an unknown id.
    """
    pools = (era_cfg or {}).get(f"{kind}_pools") or []
    if isinstance(pools, dict):
        if pool_id in pools:
            return pools[pool_id]
        raise KeyError(pool_id)
    for pool in pools:
        if isinstance(pool, dict) and pool.get("id") == pool_id:
            return pool
    raise KeyError(pool_id)
