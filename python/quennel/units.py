"""Numbers for people: values shown with SI prefixes, counts and frequencies read with them."""

import argparse
import re
from decimal import Decimal


def si(value: float, unit: str) -> str:
    """value with an SI prefix: 2400000 Hz -> '2.4 MHz'."""
    magnitude = abs(value)
    for factor, prefix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if magnitude >= factor:
            return f"{value / factor:.6g} {prefix}{unit}"
    return f"{value:.6g} {unit}"


_PREFIXES = {"": 0, "k": 3, "K": 3, "M": 6, "G": 9, "T": 12}
_NUMBER = re.compile(r"\s*([-+]?(?:\d[\d_]*\.?[\d_]*|\.\d[\d_]*)(?:[eE][-+]?\d+)?)\s*([kKMGT]?)\s*(?:Hz|hz)?\s*")


def _engineering(text: str) -> Decimal | None:
    """The exact value of a number with an optional engineering prefix (433.92M, 2.4G, 250k,
    1e4, 433.92MHz); None when text is no such number."""
    match = _NUMBER.fullmatch(text)
    if not match:
        return None
    return Decimal(match.group(1).replace("_", "")).scaleb(_PREFIXES[match.group(2)])


def whole_count(text: str) -> int:
    """A whole count as people write it: 10000, 1e4, 10k, 2M."""
    value = _engineering(text)
    if value is None or value != value.to_integral_value():
        raise argparse.ArgumentTypeError(f"not a whole count: {text!r} (e.g. 10000, 1e4, 10k)")
    return int(value)


def frequency(text: str) -> float:
    """A frequency or rate as people write it: 433.92e6, 433.92M, 2.4G, 250k, 1MHz."""
    value = _engineering(text)
    if value is None:
        raise argparse.ArgumentTypeError(f"not a frequency: {text!r} (e.g. 433.92M, 2.4G, 250k, 1e6)")
    return float(value)
