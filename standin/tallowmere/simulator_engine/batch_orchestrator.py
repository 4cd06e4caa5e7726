"""Stand-in: batch orchestrator."""
from tallowmere.functions._typed_shapes import FunctionGraphNode, StageData  # noqa: F401


class BatchOrchestrator:
    """Evaluates expressions in batches through an evaluator callable."""

    def __init__(self, search_plan=None, feature_dir=None, signal_dir=None, manifest=None,
                 backtester=None, named_universe=None, evaluator=None):
        self.search_plan = search_plan
        self.feature_dir = feature_dir
        self.signal_dir = signal_dir
        self.manifest = manifest
        self.backtester = backtester
        self.named_universe = named_universe
        self.evaluator = evaluator

    def evaluate(self, **kwargs):
        if self.evaluator is None:
            raise RuntimeError("no evaluator configured")
        return self.evaluator(**kwargs)
