"""Stand-in: authentication errors."""


class AuthError(Exception):
    """Authentication failed."""
