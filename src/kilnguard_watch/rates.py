"""A rate as a number, for what measures or draws rates (metrics, charts)."""

import math
import re

# A rate as the listing gives it: a plain decimal ("0", "0.97", "1e-05").
DECIMAL = re.compile(r"-?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?")
# Decimals one a line: many rates checked in one pass of the expression.
_DECIMAL_LINES = re.compile(rf"(?:{DECIMAL.pattern}\n)*{DECIMAL.pattern}")


def rate_value(text):
    """A stored rate as a number, or None when it is not one (such rates are
    left out rather than shown as 0 or NaN)."""
    if not isinstance(text, str) or not DECIMAL.fullmatch(text):
        return None
    value = float(text)
    return value if math.isfinite(value) else None


def rate_values(texts):
    """rate_value of each text; for a year of rates (a chart's) a tenth of
    the cost of one call each when, as usual, every one is a plain decimal."""
    texts = list(texts)
    if texts and all(isinstance(text, str) and "\n" not in text for text in texts) \
            and _DECIMAL_LINES.fullmatch("\n".join(texts)):
        return [value if math.isfinite(value) else None for value in map(float, texts)]
    return [rate_value(text) for text in texts]
