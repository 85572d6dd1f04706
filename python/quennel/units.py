"""Numbers for people: values with SI prefixes."""


def si(value: float, unit: str) -> str:
    """value with an SI prefix: 2400000 Hz -> '2.4 MHz'."""
    magnitude = abs(value)
    for factor, prefix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if magnitude >= factor:
            return f"{value / factor:.6g} {prefix}{unit}"
    return f"{value:.6g} {unit}"
