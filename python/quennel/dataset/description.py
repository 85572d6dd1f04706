"""The dataset description: what a dataset's examples are drawn from, checked before any
example is made. Its JSON Schema is ``dataset.schema.json`` beside this module.

A description::

    {"$schema": "...dataset.schema.json",
     "seed": 7, "examples": 10000, "length": 4096, "fs": 1.0,
     "classes": [
       {"name": "qpsk", "weight": 2, "symbols": [64, 400],
        "source": {"type": "qpsk", "sps": {"choice": [2, 4, 8]}, "freq": [-0.3, 0.3],
                   "snr": [0, 30], "pulse": "rrc"}},
       {"name": "tone", "source": {"type": "tone", "freq": [-0.4, 0.4], "snr": [0, 20]}}],
     "background": [{"type": "noise", "level": [-3, 3]}],
     "per_example": {"bursts": [1, 3], "overlap": false, "classes": ["qpsk", "tone"]}}

In a source template (the keys of one scene source) any value may be a range [lo, hi],
drawn per example (integers for the integer keys, below), or {"choice": [...]}, one of the
listed values; a class's burst lasts "samples" samples or "symbols" symbols (the whole
example when neither is given) and, with overlap allowed, starts at "start" (drawn
anywhere it fits when absent).
"""

from __future__ import annotations

import json
import math
from dataclasses import dataclass, field
from typing import Any

from ..errors import UsageError
from ..scene import TYPE_NAMES
from .templates import INTEGER_KEYS, Drawer, compile_template, is_range
from .templates import is_number as _is_number

CLASS_KEYS = frozenset({"name", "weight", "source", "samples", "symbols", "start"})
TOP_KEYS = frozenset({"$schema", "seed", "examples", "length", "fs", "classes", "background", "per_example"})
PER_EXAMPLE_KEYS = frozenset({"bursts", "overlap", "classes"})


class DatasetError(UsageError):
    """A dataset description that cannot be used; the message says where and why."""


@dataclass(frozen=True)
class DatasetClass:
    name: str
    weight: float
    source: dict[str, Any]
    samples: Any = None
    symbols: Any = None
    start: Any = None

    def __post_init__(self) -> None:
        drawers = {"draw_source": compile_template(self.source)}
        for key in ("samples", "symbols", "start"):
            value = getattr(self, key)
            drawers[f"draw_{key}"] = compile_template(value, "samples") if value is not None else _none
        for name, drawer in drawers.items():
            object.__setattr__(self, name, drawer)

    draw_source: Drawer = field(init=False, repr=False, compare=False)
    draw_samples: Drawer = field(init=False, repr=False, compare=False)
    draw_symbols: Drawer = field(init=False, repr=False, compare=False)
    draw_start: Drawer = field(init=False, repr=False, compare=False)


def _none(draws: Any, path: str) -> None:
    return None


@dataclass(frozen=True)
class Description:
    seed: int
    examples: int
    length: int
    fs: float
    classes: tuple[DatasetClass, ...]
    background: tuple[dict[str, Any], ...]
    bursts: Any = 1
    overlap: bool = False
    burst_classes: tuple[int, ...] = ()
    text: str = field(default="", compare=False)

    def __post_init__(self) -> None:
        object.__setattr__(self, "draw_bursts", compile_template(self.bursts, "bursts"))
        object.__setattr__(self, "draw_background", tuple(compile_template(s) for s in self.background))

    draw_bursts: Drawer = field(init=False, repr=False, compare=False)
    draw_background: tuple[Drawer, ...] = field(init=False, repr=False, compare=False)

    def to_json(self) -> dict[str, Any]:
        """The description as given (it is the dataset's recipe)."""
        value: dict[str, Any] = json.loads(self.text)
        return value


def load(description: Any) -> Description:
    """A checked description from JSON text, a parsed object or a file name."""
    if isinstance(description, Description):
        return description
    if isinstance(description, dict):
        text = json.dumps(description, allow_nan=False)
    elif isinstance(description, str) and description.lstrip().startswith("{"):
        text = description
    else:
        try:
            with open(description, encoding="utf-8") as file:
                text = file.read()
        except (OSError, UnicodeDecodeError, TypeError) as error:
            raise DatasetError(f"{description}: cannot read the dataset description ({error})") from None
    try:
        raw = json.loads(text, parse_constant=_reject_constant)
    except ValueError as error:
        raise DatasetError(f"not a dataset description: invalid JSON ({error})") from None
    return _checked(raw, text)


def _reject_constant(name: str) -> None:
    raise ValueError(f"{name} is not a number JSON allows")


def _checked(raw: Any, text: str) -> Description:
    if not isinstance(raw, dict):
        raise DatasetError("a dataset description is a JSON object")
    _no_unknown_keys(raw, TOP_KEYS, "the description")
    seed = _whole(raw.get("seed", 0), "seed", 0)
    examples = _whole(_required(raw, "examples"), "examples", 1)
    length = _whole(_required(raw, "length"), "length", 1)
    fs = raw.get("fs", 1.0)
    if not _is_number(fs) or not math.isfinite(fs) or fs <= 0:
        raise DatasetError(f"fs must be a number above 0 (got {json.dumps(fs)})")
    classes = _classes(_required(raw, "classes"))
    background = raw.get("background", [])
    if not isinstance(background, list):
        raise DatasetError("background must be a list of sources")
    for index, source in enumerate(background):
        _check_source(source, f"background[{index}]")
    per_example = raw.get("per_example", {})
    if not isinstance(per_example, dict):
        raise DatasetError("per_example must be an object")
    _no_unknown_keys(per_example, PER_EXAMPLE_KEYS, "per_example")
    bursts = per_example.get("bursts", 1)
    _check_value(bursts, "per_example.bursts", "bursts")
    if any(v < 0 for v in _numbers_in(bursts)):
        raise DatasetError("per_example.bursts must not be negative")
    overlap = per_example.get("overlap", False)
    if not isinstance(overlap, bool):
        raise DatasetError("per_example.overlap must be true or false")
    chosen = _burst_classes(per_example.get("classes"), classes)
    if not any(classes[k].weight > 0 for k in chosen):
        raise DatasetError("every class weight is 0: at least one class that bursts are drawn from "
                           "needs a weight above 0")
    return Description(seed, examples, length, float(fs), classes, tuple(background), bursts, overlap,
                       chosen, text)


def _classes(raw: Any) -> tuple[DatasetClass, ...]:
    if not isinstance(raw, list) or not raw:
        raise DatasetError("classes must be a non-empty list")
    classes: list[DatasetClass] = []
    for index, entry in enumerate(raw):
        where = f"classes[{index}]"
        if not isinstance(entry, dict):
            raise DatasetError(f"{where} must be an object")
        _no_unknown_keys(entry, CLASS_KEYS, where)
        name = entry.get("name")
        if not isinstance(name, str) or not name:
            raise DatasetError(f"{where} needs a \"name\"")
        if any(c.name == name for c in classes):
            raise DatasetError(f"{where}: the class name \"{name}\" is given twice")
        weight = entry.get("weight", 1)
        if not _is_number(weight) or not math.isfinite(weight) or weight < 0:
            raise DatasetError(f"{where}.weight must be a number of at least 0")
        _check_source(_required(entry, "source", where), f"{where}.source")
        if "samples" in entry and "symbols" in entry:
            raise DatasetError(f"{where} gives both \"samples\" and \"symbols\"")
        for key in ("samples", "symbols", "start"):
            if key in entry:
                _check_value(entry[key], f"{where}.{key}", "samples")  # whole numbers, maybe ranged
                if any(v < 0 for v in _numbers_in(entry[key])):
                    raise DatasetError(f"{where}.{key} must not be negative")
        classes.append(DatasetClass(name, float(weight), entry["source"], entry.get("samples"),
                                    entry.get("symbols"), entry.get("start")))
    return tuple(classes)


def _burst_classes(names: Any, classes: tuple[DatasetClass, ...]) -> tuple[int, ...]:
    if names is None:
        return tuple(range(len(classes)))
    if not isinstance(names, list) or not names or not all(isinstance(n, str) for n in names):
        raise DatasetError("per_example.classes must be a non-empty list of class names")
    known = [c.name for c in classes]
    for name in names:
        if name not in known:
            raise DatasetError(f"per_example.classes: unknown class name \"{name}\" (the classes are "
                               + ", ".join(known) + ")")
    return tuple(known.index(name) for name in names)


def _check_source(source: Any, where: str) -> None:
    if not isinstance(source, dict):
        raise DatasetError(f"{where} must be a source object")
    if "type" not in source:
        raise DatasetError(f"{where} needs a \"type\", one of " + ", ".join(TYPE_NAMES))
    for key, value in source.items():
        _check_value(value, f"{where}.{key}", key)
    for name in _choices_of(source["type"]):
        if name not in TYPE_NAMES:
            raise DatasetError(f"{where}.type: unknown source type {json.dumps(name)} (one of "
                               + ", ".join(TYPE_NAMES) + ")")


def _check_value(value: Any, where: str, key: str) -> None:
    """Ranges must run upwards, choices must list something; nested values likewise."""
    if isinstance(value, dict) and "choice" in value:
        options = value["choice"]
        if set(value) != {"choice"} or not isinstance(options, list) or not options:
            raise DatasetError(f"{where}: a choice is {{\"choice\": [values...]}} with at least one value")
        for k, option in enumerate(options):
            _check_value(option, f"{where}.choice[{k}]", key)
    elif is_range(value, key):
        lo, hi = value
        if not (math.isfinite(lo) and math.isfinite(hi)):
            raise DatasetError(f"{where}: a range takes finite numbers")
        if lo > hi:
            raise DatasetError(f"{where}: the range [{lo}, {hi}] has lo > hi")
        if key in INTEGER_KEYS and not (float(lo).is_integer() and float(hi).is_integer()):
            raise DatasetError(f"{where}: {key} takes whole numbers")


def _choices_of(value: Any) -> list[Any]:
    if isinstance(value, dict) and "choice" in value:
        return [v for option in value["choice"] for v in _choices_of(option)]
    return [value]


def _numbers_in(value: Any) -> list[float]:
    if isinstance(value, dict) and "choice" in value:
        return [v for option in value["choice"] for v in _numbers_in(option)]
    if isinstance(value, list):
        return [v for v in value if _is_number(v)]
    return [value] if _is_number(value) else []


def _whole(value: Any, name: str, least: int) -> int:
    if not _is_number(value) or not float(value).is_integer() or value < least:
        raise DatasetError(f"{name} must be a whole number of at least {least} (got {json.dumps(value)})")
    return int(value)


def _required(obj: dict[str, Any], key: str, where: str = "the description") -> Any:
    if key not in obj:
        raise DatasetError(f"{where} needs \"{key}\"")
    return obj[key]


def _no_unknown_keys(obj: dict[str, Any], known: frozenset[str], where: str) -> None:
    unknown = sorted(set(obj) - known)
    if unknown:
        raise DatasetError(f"{where}: unknown key \"{unknown[0]}\" (known: " + ", ".join(sorted(known)) + ")")


