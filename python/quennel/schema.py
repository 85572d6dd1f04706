"""The JSON Schemas of the scene language and of the render override object, and the
problems they find, told one line each: where (a JSON path), what was found, what is
allowed, and the nearest allowed name when one is close.

The scene library reads scenes leniently (a misspelt key or name falls back to its
default), so these checks are where such mistakes surface: as warnings through `logging`,
or as errors when asked to be strict.
"""

from __future__ import annotations

import difflib
import functools
import json
import logging
from collections.abc import Iterable
from dataclasses import dataclass
from importlib import resources
from typing import Any

import jsonschema

from .errors import SceneError

log = logging.getLogger("quennel")

SCENE_SCHEMA = "scene.schema.json"
OVERRIDES_SCHEMA = "overrides.schema.json"


@functools.cache
def schema(name: str) -> dict[str, Any]:
    """One of the schemas shipped in the package, parsed."""
    text = resources.files("quennel").joinpath("schemas", name).read_text(encoding="utf-8")
    loaded: dict[str, Any] = json.loads(text)
    return loaded


@dataclass(frozen=True)
class Problem:
    """One thing a schema does not allow."""

    path: str
    found: str
    allowed: str
    suggestion: str | None = None

    def __str__(self) -> str:
        hint = f"; did you mean {json.dumps(self.suggestion)}?" if self.suggestion else ""
        return f"{self.path}: found {self.found}; allowed: {self.allowed}{hint}"


def scene_problems(scene: str | dict[str, Any]) -> list[Problem]:
    """What the scene schema does not allow in scene text (or a parsed scene)."""
    return _problems(scene, schema(SCENE_SCHEMA))


def override_problems(overrides: str | dict[str, Any], n_sources: int | None = None) -> list[Problem]:
    """What the override schema does not allow in an override object; with n_sources
    (the plan's cached sources), also arrays of another length, which the plan ignores."""
    problems = _problems(overrides, schema(OVERRIDES_SCHEMA))
    value = _parsed(overrides)
    if n_sources is not None and isinstance(value, dict):
        for key in ("gains", "phases", "enable", "freq_offsets"):
            array = value.get(key)
            if isinstance(array, list) and len(array) != n_sources:
                problems.append(Problem(f"$.{key}", f"{len(array)} values",
                                        f"exactly {n_sources} (one per cached source)"))
    return problems


def check_scene(scene: str | dict[str, Any], name: str, strict: bool = False) -> None:
    """Logs a warning per problem of the scene; with strict, raises SceneError instead."""
    _report(scene_problems(scene), name, strict)


def check_overrides(overrides: str | dict[str, Any], n_sources: int | None, name: str = "overrides",
                    strict: bool = False) -> None:
    """Logs a warning per problem of the override object; with strict, raises SceneError instead."""
    _report(override_problems(overrides, n_sources), name, strict)


def require_scene(text: str) -> None:
    """Raises SceneError when the scene text has problems (for a strict kettara.Plan)."""
    check_scene(text, "scene", strict=True)


def require_overrides(text: str, n_sources: int) -> None:
    """Raises SceneError when the override text has problems (for a strict kettara.Plan)."""
    check_overrides(text, n_sources, strict=True)


def allowed_properties(subschema: dict[str, Any], instance: Any, root: dict[str, Any]) -> dict[str, Any]:
    """The keys a schema (with root for its references) gives a meaning to in instance,
    with their schemas: its properties, and those of every subschema that applies."""
    found = dict(subschema.get("properties", {}))
    if "$ref" in subschema:
        found.update(allowed_properties(_resolve(subschema["$ref"], root), instance, root))
    for part in subschema.get("allOf", []):
        found.update(allowed_properties(part, instance, root))
    if "if" in subschema:
        branch = "then" if _validator(subschema["if"], root).is_valid(instance) else "else"
        found.update(allowed_properties(subschema.get(branch, {}), instance, root))
    return found


def _report(problems: list[Problem], name: str, strict: bool) -> None:
    if strict and problems:
        raise SceneError(f"{name}: " + "; ".join(map(str, problems)))
    for problem in problems:
        log.warning("%s: %s", name, problem)


def _parsed(value: str | dict[str, Any]) -> Any:
    if isinstance(value, str):
        try:
            return json.loads(value)
        except ValueError:
            return None
    return value


def _problems(value: str | dict[str, Any], root: dict[str, Any]) -> list[Problem]:
    instance = _parsed(value)
    if instance is None and isinstance(value, str):
        return [Problem("$", "text that is not JSON", "a JSON object")]
    errors = sorted(_validator(root, root).iter_errors(instance), key=lambda e: list(map(str, e.absolute_path)))
    return [problem for error in errors for problem in _explain(error, root)]


def _validator(subschema: dict[str, Any], root: dict[str, Any]) -> jsonschema.protocols.Validator:
    """A validator of subschema whose references resolve in root."""
    if subschema is not root and "$defs" in root:
        subschema = {**subschema, "$defs": root["$defs"]}
    return jsonschema.Draft202012Validator(subschema)


def _resolve(ref: str, root: dict[str, Any]) -> dict[str, Any]:
    if not ref.startswith("#/$defs/"):
        raise ValueError(f"only local references are used: {ref}")
    resolved: dict[str, Any] = root["$defs"][ref.removeprefix("#/$defs/")]
    return resolved


def _path(parts: Iterable[str | int]) -> str:
    text = "$"
    for part in parts:
        if isinstance(part, int):
            text += f"[{part}]"
        else:
            text += f".{part}" if part.isidentifier() else f"[{json.dumps(part)}]"
    return text


def _closest(word: str, candidates: Iterable[Any]) -> str | None:
    names = [n for n in candidates if isinstance(n, str)]
    folded = {n.lower(): n for n in names}
    if word.lower() in folded:
        return folded[word.lower()]
    matches = difflib.get_close_matches(word, names, n=1, cutoff=0.75)
    return matches[0] if matches else None


def _show(value: Any) -> str:
    text = json.dumps(value)
    return text if len(text) <= 40 else text[:37] + "..."


_KINDS = {"number": "a number", "integer": "a whole number", "string": "a string", "boolean": "true or false",
          "array": "an array", "object": "an object", "null": "null"}


def _kind(value: Any) -> str:
    if isinstance(value, bool):
        return "boolean"
    if isinstance(value, (int, float)):
        return "number"
    if isinstance(value, str):
        return "string"
    return "array" if isinstance(value, list) else "object" if isinstance(value, dict) else "null"


def _names(values: Iterable[Any]) -> str:
    return "one of " + ", ".join(json.dumps(v) for v in values)


def _explain(error: jsonschema.ValidationError, root: dict[str, Any]) -> list[Problem]:
    path = list(error.absolute_path)
    value: Any = error.instance
    keyword: Any = error.validator
    limit: Any = error.validator_value
    here: Any = error.schema
    where = _path(path)
    described = here.get("description") if isinstance(here, dict) else None
    if keyword in ("unevaluatedProperties", "additionalProperties"):
        allowed = allowed_properties(here, value, root)
        return [Problem(_path([*path, key]), f"the key {json.dumps(key)}",
                        "the keys " + ", ".join(json.dumps(k) for k in sorted(allowed)), _closest(key, allowed))
                for key in value if key not in allowed]
    if keyword in ("enum", "const"):
        names = limit if keyword == "enum" else [limit]
        guess = _closest(value, names) if isinstance(value, str) else None
        return [Problem(where, _show(value), _names(names), guess)]
    if keyword == "required":
        missing = [key for key in limit if key not in value]
        return [Problem(where, "no " + ", ".join(json.dumps(k) for k in missing), _required_text(missing, here))]
    found = f"{_kind(value)} {_show(value)}"
    if keyword in ("minItems", "maxItems"):
        found = f"{len(value)} items"
    if described:
        return [Problem(where, found, described)]
    if keyword == "type":
        types = limit if isinstance(limit, list) else [limit]
        return [Problem(where, found, " or ".join(_KINDS[t] for t in types))]
    bounds = {"minimum": "at least", "maximum": "at most", "exclusiveMinimum": "more than",
              "exclusiveMaximum": "less than", "minItems": "at least", "maxItems": "at most"}
    unit = " items" if keyword in ("minItems", "maxItems") else ""
    return [Problem(where, found, f"{bounds.get(keyword, keyword)} {limit}{unit}")]


def _required_text(missing: list[str], subschema: dict[str, Any]) -> str:
    parts = []
    for key in missing:
        names = subschema.get("properties", {}).get(key, {}).get("enum")
        parts.append(f"the key {json.dumps(key)}" + (f", {_names(names)}" if names else ""))
    return "; ".join(parts)
