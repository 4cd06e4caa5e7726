"""Stand-in: simulation primitives."""
