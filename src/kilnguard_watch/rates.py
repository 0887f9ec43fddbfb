"""A rate as a number, for what measures or draws rates (metrics, charts)."""

import math
import re

# A rate as the listing gives it: a plain decimal ("0", "0.97", "1e-05").
DECIMAL = re.compile(r"-?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?")


def rate_value(text):
    """A stored rate as a number, or None when it is not one (such rates are
    left out rather than shown as 0 or NaN)."""
    if not isinstance(text, str) or not DECIMAL.fullmatch(text):
        return None
    value = float(text)
    return value if math.isfinite(value) else None
