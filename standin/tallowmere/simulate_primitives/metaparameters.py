"""Stand-in: metaparameter resolution."""
from tallowmere._primitives_impl import (  # noqa: F401
    canonicalize, resolve_metaparameters, resolve_metaparameters_per_pool)
