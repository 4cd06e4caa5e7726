"""Stand-in for the ``tallowmere`` SDK package, for tests and the demo only.

The real SDK is not installed here. This package carries the least of each
sibling module that ``tallowmere.simulate_signal`` imports, as plain Python.
It is never shipped in the extension's wheel.

``__path__`` is extended so that the compiled ``tallowmere.simulate_signal``,
installed as a portion of the ``tallowmere`` package elsewhere on ``sys.path``
(site-packages, or a development build directory), is found.
"""
from pkgutil import extend_path

__path__ = extend_path(__path__, __name__)
