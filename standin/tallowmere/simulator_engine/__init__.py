"""Stand-in: simulator engine."""
