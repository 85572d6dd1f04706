"""Template values: numbers, ranges [lo, hi] drawn per example, {"choice": [...]} and
objects of them, compiled once into functions that draw them for an example."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from .draws import Draws

# Keys whose values are whole numbers: their ranges draw integers.
INTEGER_KEYS = frozenset({"seed", "sps", "pn_length", "pn_poly", "rs_depth", "rrc_span", "acq_reps",
                          "samples", "symbols", "start", "bursts"})
# Keys whose arrays are values in their own right, never ranges.
LITERAL_KEYS = frozenset({"symbols"})

Drawer = Callable[[Draws, str], Any]


def is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def is_range(value: Any, key: str) -> bool:
    return (isinstance(value, list) and len(value) == 2 and key not in LITERAL_KEYS
            and all(is_number(v) for v in value))


def compile_template(template: Any, key: str = "") -> Drawer:
    """A function of (draws, path) giving the template's value for an example, every
    value drawn under the path of its place in the template."""
    if isinstance(template, dict) and "choice" in template:
        options = [compile_template(option, key) for option in template["choice"]]

        def choose(draws: Draws, path: str) -> Any:
            pick = draws.index(path + "/choice", len(options))
            return options[pick](draws, f"{path}/{pick}")
        return choose
    if is_range(template, key):
        lo, hi = template
        if key in INTEGER_KEYS:
            return lambda draws, path: draws.integer(path, int(lo), int(hi))
        return lambda draws, path: draws.real(path, float(lo), float(hi))
    if isinstance(template, dict):
        fixed = {k: v for k, v in template.items() if _is_fixed(v, k)}
        drawn = [(k, "/" + k, compile_template(v, k)) for k, v in template.items() if k not in fixed]
        order = list(template)

        def draw_object(draws: Draws, path: str) -> dict[str, Any]:
            values = {**fixed, **{k: draw(draws, path + suffix) for k, suffix, draw in drawn}}
            return {k: values[k] for k in order}
        return draw_object
    return lambda draws, path: template


def _is_fixed(value: Any, key: str) -> bool:
    """A value with nothing to draw in it."""
    if isinstance(value, dict):
        return "choice" not in value and all(_is_fixed(v, k) for k, v in value.items())
    return not is_range(value, key)
