"""Stand-in: graph shape tests."""
from tallowmere._primitives_impl import has_filtration_node  # noqa: F401
