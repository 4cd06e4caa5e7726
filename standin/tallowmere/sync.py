"""Stand-in: data-sync error types."""


class SyncError(Exception):
    """A data sync failed."""


class DiskSpaceError(SyncError):
    """Not enough disk space for the sync."""


class IntegrityError(SyncError):
    """A synced file failed its integrity check."""


class EraError(Exception):
    """Era or market mismatch."""
