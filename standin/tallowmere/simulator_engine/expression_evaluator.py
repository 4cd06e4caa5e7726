"""Stand-in: expression evaluator."""
from tallowmere.functions._typed_shapes import FunctionGraphNode, StageData  # noqa: F401
