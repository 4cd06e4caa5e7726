"""Stand-in: SDK error types."""


class SdkRuntimeNotReadyError(Exception):
    """The SDK runtime is not configured (no era config, no sync, ...)."""
