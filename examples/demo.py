"""Demo: import the module on the stand-in runtime and show what it offers."""
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "standin"))

import tallowmere.simulate_signal as ss  # noqa: E402

print(ss.__doc__)
print("public:", ", ".join(n for n in vars(ss) if not n.startswith("_") and callable(getattr(ss, n))))
