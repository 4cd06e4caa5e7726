"""Stand-in: the older flat home of the simulation primitives."""
from tallowmere._primitives_impl import (  # noqa: F401
    canonicalize, has_filtration_node, resolve_metaparameters, resolve_metaparameters_per_pool)
