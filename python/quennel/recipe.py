"""The recipe a capture carries: how its samples were made.

``quennel render`` records with every capture the scene text exactly as given, the
options that change its samples, the producing version and a SHA-512 checksum of the
data. Rendering is bit-exact on every x86-64 machine, so the recipe is enough to make
the same samples again (``quennel verify``) or the same signal with other options
(``quennel render --from``).

Where the recipe lives:

- SigMF: keys of the "quennel" namespace in the sidecar's "global" object, with
  "core:recorder" and "core:sha512";
- BLUE: keywords (the scene text in the extended header), "CREATOR" in the header's
  keyword area;
- raw and CSV: a JSON file beside the capture (``quennel render --recipe FILE``).

:func:`recipe` returns the recipe of a capture as a dict::

    {"recipe": 1, "producer": "quennel", "version": "0.1.0", "scene": "{...}",
     "options": {"format": "sigmf", "sample_type": "ci16", "endian": "le", "detached": False,
                 "samples": None, "atten": 0.0, "fc": 433.92e6, "t0": 0.0, "overrides": {"snr": 6}},
     "sha512": "9f86d0..."}

A recipe is untrusted input: every key is checked, and a damaged recipe, or one from a
newer quennel, raises :class:`RecipeError` with a one-line reason.
"""

import hashlib
import json
import math
import os

from . import __version__
from .capture import ENDIANS, FORMATS, WRITTEN_SAMPLE_TYPES, capture_keywords, detached_payload, keyword_value
from .errors import InputRefused

RECIPE_FORMAT = 1  # layout of the recorded keys; a reader refuses a larger number
PRODUCER = "quennel"
NAMESPACE = "quennel"
# Recipe and metadata files beyond this are refused before they are read.
MAX_RECIPE_BYTES = 256 << 20
SHA512_DIGITS = 128

# Option name -> default; every recorded option changes the samples or the capture's metadata.
OPTION_DEFAULTS = {"format": None, "sample_type": "cf32", "endian": "le", "detached": False, "samples": None,
                   "atten": 0.0, "fc": 0.0, "t0": 0.0, "overrides": {}}

_BLUE_TAGS = {"recipe": "QUENNEL_RECIPE", "producer": "QUENNEL_PRODUCER", "version": "QUENNEL_VERSION",
              "scene": "QUENNEL_SCENE", "options": "QUENNEL_OPTIONS", "sha512": "QUENNEL_SHA512"}


class RecipeError(InputRefused, ValueError):
    """A capture without a usable recipe; the message says why in one line."""


class NoRecipe(RecipeError):
    """A capture that carries no recipe at all."""


def new_recipe(scene: str, options: dict) -> dict:
    """A recipe of this quennel for scene text rendered with options; its checksum is
    filled in once the data is written."""
    return {"recipe": RECIPE_FORMAT, "producer": PRODUCER, "version": __version__, "scene": scene,
            "options": {**OPTION_DEFAULTS, **options}, "sha512": None}


def dumps(value) -> str:
    """Strict, compact JSON (the recorded options never hold NaN or infinities)."""
    return json.dumps(value, allow_nan=False, separators=(",", ":"))


def sigmf_global(recipe: dict) -> dict:
    """The members a recipe adds to a SigMF sidecar's "global" object."""
    keys = {"core:recorder": f"{recipe['producer']} {recipe['version']}"}
    if recipe.get("sha512"):
        keys["core:sha512"] = recipe["sha512"]
    keys.update({f"{NAMESPACE}:{name}": recipe[name] for name in ("recipe", "producer", "version", "scene",
                                                                   "options")})
    return keys


def blue_keywords(recipe: dict) -> list[tuple[str, str, bytes, int]]:
    """The BLUE keywords of a recipe: (tag, type letter, values, count)."""
    texts = {"producer": recipe["producer"], "version": recipe["version"], "scene": recipe["scene"],
             "options": dumps(recipe["options"])}
    if recipe.get("sha512"):
        texts["sha512"] = recipe["sha512"]
    keywords = [("CREATOR", "A", f"{recipe['producer']} {recipe['version']}".encode(), 0),
                (_BLUE_TAGS["recipe"], "L", int(recipe["recipe"]).to_bytes(4, "little", signed=True), 1)]
    keywords += [(_BLUE_TAGS[name], "A", text.encode(), 0) for name, text in texts.items()]
    return [(tag, letter, data, count or len(data)) for tag, letter, data, count in keywords]


def blue_recipe_tags() -> tuple[str, ...]:
    """The BLUE keyword tags that hold a recipe."""
    return tuple(_BLUE_TAGS.values())


# ---- data checksum ----

def data_extent(path: str) -> tuple[str, int, int | None]:
    """(file, offset, length or None for "to the end") of a capture's sample data: the
    payload of a BLUE capture, the data file of SigMF, the whole file otherwise."""
    import tolvane

    with tolvane.Reader(path) as reader:
        if reader.file_type != "blue":
            return path, 0, None
        header = reader.header
    if header.get("detached"):
        payload = path if path.endswith(".det") else detached_payload(path)
        return payload, 0, max(int(header.get("data_size", 0)), 0)
    return path, int(header.get("data_start", 0)), max(int(header.get("data_size", 0)), 0)


def file_sha512(path: str, offset: int = 0, length: int | None = None) -> str:
    """SHA-512 (hex) of length bytes of a file from offset (to its end when None)."""
    digest = hashlib.sha512()
    with open(path, "rb") as file:
        file.seek(offset)
        left = length
        while left is None or left > 0:
            chunk = file.read(1 << 20 if left is None else min(1 << 20, left))
            if not chunk:
                break
            digest.update(chunk)
            if left is not None:
                left -= len(chunk)
    return digest.hexdigest()


def data_sha512(path: str) -> str:
    """SHA-512 of a capture's sample data (see data_extent)."""
    return file_sha512(*data_extent(path))


# ---- reading ----

def recipe(path, recipe_file=None) -> dict:
    """The recipe recorded with the capture at path, as a dict.

    Parameters
    ----------
    path : str or os.PathLike
        The capture: a SigMF recording (either file), a BLUE file, or a raw or CSV file.
    recipe_file : str or os.PathLike, optional
        The JSON recipe file written beside a raw or CSV capture (``--recipe FILE``);
        when given it is read instead of the capture's own metadata.

    Returns
    -------
    dict
        "recipe" (format number), "producer", "version", "scene" (the scene text exactly
        as rendered), "options" (format, sample_type, endian, detached, samples, atten,
        fc, t0, overrides) and "sha512" (hex digest of the sample data, or None).

    Raises
    ------
    RecipeError
        The capture carries no recipe, the recipe is damaged (wrong types, invalid
        UTF-8, a checksum that is not 128 hexadecimal digits), or it was written by a
        newer quennel than this one.
    """
    if recipe_file is not None:
        return checked(_load_json(os.fspath(recipe_file), "recipe file"))
    path = os.fspath(path)
    import tolvane

    base, extension = os.path.splitext(path)
    if extension.lower() in (".sigmf-meta", ".sigmf"):
        path = base + ".sigmf-data"
    try:
        with tolvane.Reader(path) as reader:
            file_type = reader.file_type
    except ValueError as error:  # file system errors stay what they are
        raise RecipeError(f"{path}: {error}") from None
    if file_type == "sigmf":
        return _sigmf_recipe(os.path.splitext(path)[0] + ".sigmf-meta")
    if file_type == "blue":
        return _blue_recipe(path)
    raise NoRecipe(f"{path}: a {file_type} capture carries no recipe; give the recipe file written "
                      "beside it (--recipe FILE)")


def _reject_constant(name: str):
    raise ValueError(f"{name} is not a JSON number")


def _load_json(path: str, what: str):
    try:
        size = os.path.getsize(path)
        if size > MAX_RECIPE_BYTES:
            raise RecipeError(f"{path}: the {what} is {size} bytes, more than a recipe may hold "
                              f"({MAX_RECIPE_BYTES})")
        with open(path, "rb") as file:
            data = file.read()
    except OSError as error:
        raise RecipeError(f"{path}: cannot read the {what}: {error.strerror}") from None
    return _parse_json(data, f"{path}: the {what}")


def _parse_json(data: bytes, what: str):
    text = _utf8(data, what)
    try:
        return json.loads(text, parse_constant=_reject_constant)
    except (ValueError, RecursionError) as error:
        raise RecipeError(f"{what} is not valid JSON ({str(error).splitlines()[0][:80]})") from None


def _sigmf_recipe(meta_path: str) -> dict:
    document = _load_json(meta_path, "SigMF metadata")
    glob = document.get("global") if isinstance(document, dict) else None
    if not isinstance(glob, dict):
        raise RecipeError(f"{meta_path}: the SigMF metadata has no \"global\" object")
    prefix = f"{NAMESPACE}:"
    if f"{prefix}recipe" not in glob:
        raise NoRecipe(f"{meta_path}: no recipe (the capture was not written by quennel render)")
    raw = {key[len(prefix):]: value for key, value in glob.items() if key.startswith(prefix)}
    raw["sha512"] = glob.get("core:sha512")
    return checked(raw, meta_path)


def _blue_recipe(path: str) -> dict:
    keywords = {tag: (letter, data, count) for tag, letter, data, count in capture_keywords(path)}
    if _BLUE_TAGS["recipe"] not in keywords:
        raise NoRecipe(f"{path}: no recipe (the capture was not written by quennel render)")
    raw = {}
    for name, tag in _BLUE_TAGS.items():
        if tag not in keywords:
            continue
        letter, data, count = keywords[tag]
        if name == "recipe":
            raw[name] = data if letter == "A" else keyword_value(letter, data, count)  # checked below
            continue
        if letter != "A":
            raise RecipeError(f"{path}: the keyword {tag} is not text")
        what = f"{path}: the keyword {tag}"
        raw[name] = _parse_json(data, what) if name == "options" else _utf8(data, what)
    return checked(raw, path)


def _utf8(data: bytes, what: str) -> str:
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise RecipeError(f"{what} is not UTF-8 text (byte {error.start})") from None


def _is_number(value) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _version_tuple(text: str) -> tuple:
    parts = []
    for part in text.split("."):
        digits = "".join(c for c in part if c.isdigit()) if part[:1].isdigit() else ""
        parts.append(int(digits[:18]) if digits else 0)
    return tuple(parts)


def checked(raw, where: str = "the recipe") -> dict:
    """The recipe in raw (parsed JSON) with every key checked; RecipeError saying what is wrong."""
    def fail(reason: str):
        raise RecipeError(f"{where}: {reason}")

    if not isinstance(raw, dict):
        fail("the recipe is not a JSON object")
    form = raw.get("recipe")
    if not isinstance(form, int) or isinstance(form, bool) or form < 1:
        fail("\"recipe\" must be the recipe format number")
    if form > RECIPE_FORMAT:
        fail(f"the recipe is of format {form}, newer than this quennel reads ({RECIPE_FORMAT}); update quennel")
    for key in ("producer", "version", "scene"):
        if not isinstance(raw.get(key), str):
            fail(f"\"{key}\" must be text")
    if raw["producer"] != PRODUCER:
        fail(f"the recipe was written by {raw['producer'][:40]!r}, not by {PRODUCER}")
    if _version_tuple(raw["version"]) > _version_tuple(__version__):
        fail(f"the recipe was written by quennel {raw['version'][:40]}, newer than this one ({__version__}); "
             "update quennel")
    scene = raw["scene"]
    if not scene.strip():
        fail("the recorded scene is empty")
    if "\0" in scene:
        fail("the recorded scene holds a NUL character")
    try:
        scene.encode("utf-8")
    except UnicodeEncodeError:
        fail("the recorded scene is not valid UTF-8 (it holds an unpaired surrogate)")
    sha512 = raw.get("sha512")
    if sha512 is not None:
        if not isinstance(sha512, str):
            fail("\"sha512\" must be text")
        if len(sha512) != SHA512_DIGITS or any(c not in "0123456789abcdefABCDEF" for c in sha512):
            fail(f"the checksum is {len(sha512)} characters, not {SHA512_DIGITS} hexadecimal digits")
        sha512 = sha512.lower()
    return {"recipe": form, "producer": raw["producer"], "version": raw["version"], "scene": scene,
            "options": _checked_options(raw.get("options"), fail), "sha512": sha512}


def _checked_options(options, fail) -> dict:
    if not isinstance(options, dict):
        fail("\"options\" must be a JSON object")
    result = {**OPTION_DEFAULTS}
    for name, allowed in (("format", FORMATS), ("sample_type", WRITTEN_SAMPLE_TYPES), ("endian", ENDIANS)):
        value = options.get(name, result[name])
        if value not in allowed:
            fail(f"option \"{name}\" must be one of {', '.join(allowed)}")
        result[name] = value
    detached = options.get("detached", False)
    if not isinstance(detached, bool):
        fail("option \"detached\" must be true or false")
    result["detached"] = detached and result["format"] == "blue"
    samples = options.get("samples")
    if samples is not None and (not isinstance(samples, int) or isinstance(samples, bool) or samples < 0):
        fail("option \"samples\" must be a count of samples or null")
    result["samples"] = samples
    for name in ("atten", "fc", "t0"):
        value = options.get(name, result[name])
        if not _is_number(value) or not math.isfinite(value):
            fail(f"option \"{name}\" must be a finite number")
        result[name] = float(value)
    overrides = options.get("overrides", {})
    if not isinstance(overrides, dict):
        fail("option \"overrides\" must be a JSON object")
    result["overrides"] = overrides
    return result
