"""Stand-in: vault initialisation helpers."""


def vault_already_initialized_is_ready(vault, exc):
    """True when ``exc`` only says the vault was initialised before and it is ready."""
    if "already initialized" not in str(exc).lower():
        return False
    ready = getattr(vault, "is_ready", None)
    return bool(ready()) if callable(ready) else True
