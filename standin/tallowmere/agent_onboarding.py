"""Stand-in: the agent's onboarding configuration."""

_config = {}
