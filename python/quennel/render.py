"""Rendering a scene into a capture, with its recipe."""

import json
import logging
import math

import numpy as np

from ._native import kettara_lib
from ._progress import Progress
from .capture import (
    BYTES_PER_SAMPLE,
    STANDARD_OUTPUT,
    STANDARD_STREAM,
    Writer,
    capture_bytes,
    capture_companions,
    write_sigmf_meta,
)
from .errors import CaptureError, InputRefused, QuennelError, SceneError, UsageError
from .outputs import Outputs, check_space
from .recipe import blue_keywords, dumps, file_sha512, new_recipe, sigmf_global
from .scene import Composer, PlanStream
from .schema import check_overrides, check_scene

log = logging.getLogger("quennel")

BLOCK = 1 << 16


def render_capture(text: str, name: str, path: str, options: dict, recorded: bool = False,
                   recipe_file: str | None = None, force: bool = False, in_place: bool = False,
                   strict: bool = False) -> dict:
    """Writes the scene text as the capture at path the recipe options describe, with its
    recipe (and the recipe as JSON to recipe_file when given); returns the writer's summary.

    The capture and the recipe file appear under their names only once both are complete
    (in place, they are written under their names as they go, for readers that follow the
    capture). An existing file is replaced, and a capture of known size larger than the
    free space is written, only with force. A recorded scene (rendered again from a
    recipe) that cannot be composed is a damaged recipe. The problems quennel check finds in
    a scene the library composes, overrides the plan would ignore and a render of 0 samples
    are warned of (refused when strict)."""
    fmt = options["format"]
    recipe = new_recipe(text, options)
    detached = options["detached"] and fmt == "blue"
    to_stdout = path == STANDARD_STREAM
    with scene_composer(text, name, recorded) as composer, Outputs(force, in_place) as outputs:
        check_scene(text, name, strict)
        write_samples, count = scene_stream(composer, options, name, strict)
        if count == 0:
            _refuse_empty(name, strict)
        data_path = STANDARD_OUTPUT if to_stdout else outputs.add(path, capture_companions(fmt, detached))
        recipe_path = outputs.add(recipe_file) if recipe_file else None
        if count is not None and fmt != "csv" and not force and not to_stdout:
            check_space(path, capture_bytes(fmt, options["sample_type"], count))
        writer = scene_writer(data_path, fmt, composer, options, name=path)
        try:
            write_samples(writer)
            if fmt == "blue":
                _record_in_blue(writer, recipe)
            summary = writer.close()
        except BaseException:
            writer.abandon()
            raise
        if fmt != "blue" and not to_stdout:  # what went to standard output cannot be read back
            recipe["sha512"] = file_sha512(data_path)
        if fmt == "sigmf":
            segments, _records = composer.annotated_segments()  # the segments point into _records
            write_sigmf_meta(writer, segments, composer.n_segments, extra_global=sigmf_global(recipe))
        if recipe_path:
            _write_recipe_file(recipe_path, recipe_file, recipe)
    return summary


def scene_writer(path: str, fmt: str, composer: Composer, options: dict, name: str | None = None) -> Writer:
    """A writer for the scene's samples with the recorded options (the scene's headroom
    is added to the attenuation); messages call the capture name (default path)."""
    return Writer(path, fmt, options["sample_type"], options["endian"], fs=composer.sample_rate(),
                  fc=options["fc"], t0=options["t0"], atten_db=options["atten"] + _headroom(composer.text),
                  detached=options["detached"] and fmt == "blue", name=name)


def scene_stream(composer: Composer, options: dict, name: str, strict: bool = False):
    """(a function that writes the scene's samples into a writer as the options ask, the
    count it writes or None when unknown): composed, or rendered through a plan when there
    are overrides; at most options["samples"] of them. Refusals come here, before any file
    is created."""
    limit = options["samples"]
    if options["overrides"]:
        stream = plan_stream(composer.text, options["overrides"], name, strict)
        goal = stream.length() if limit is None else min(limit, stream.length())

        def write_overridden(writer: Writer) -> None:
            with stream:
                _stream(stream, writer, goal)
        return write_overridden, goal  # at most goal: ranged gaps may draw shorter
    if composer.repeats_forever and limit is None:
        raise UsageError(f"{name} repeats for ever: give --samples N")
    length = None if composer.repeats_forever else composer.pass_length()
    goal = length if limit is None else limit if length is None else min(limit, length)
    return (lambda writer: _stream(composer, writer, goal)), goal


def _refuse_empty(name: str, strict: bool) -> None:
    """A render of 0 samples is almost always a mistake (no "num_samples", --samples 0)."""
    message = f"{name}: the render yields 0 samples (each segment plays \"num_samples\", 0 when absent)"
    if strict:
        raise SceneError(message)
    log.warning("%s", message)


def scene_composer(text: str, name: str, recorded: bool) -> Composer:
    """The composer of scene text; a recorded scene that cannot be composed is a damaged recipe."""
    try:
        return Composer(text, name)
    except SceneError as error:
        if not recorded:
            raise
        raise InputRefused(f"the recorded scene cannot be rendered: {error}") from None


def plan_stream(text: str, overrides: dict, name: str = "overrides", strict: bool = False) -> PlanStream:
    """The scene rendered through a plan with the overrides, exactly as Plan.render, as a stream;
    the overrides the plan would ignore are warned of (refused when strict)."""
    try:
        stream = PlanStream(text, dumps(overrides))
    except SceneError as error:
        raise InputRefused(str(error)) from None
    try:
        check_overrides(overrides, stream.n_sources(), f"{name}: overrides", strict)
    except SceneError:
        stream.close()
        raise
    return stream


def _record_in_blue(writer: Writer, recipe: dict) -> None:
    """Adds the recipe's keywords, with the checksum of the payload written so far."""
    writer.flush()
    recipe["sha512"] = file_sha512(writer.data_file, writer.data_start,
                                   writer.samples * BYTES_PER_SAMPLE[writer.sample_type])
    for tag, letter, data, count in blue_keywords(recipe):
        if not writer.add_keyword(tag, letter, data, count):
            raise CaptureError(f"{writer.name}: the recipe keyword {tag} cannot be stored in BLUE "
                               f"({len(data)} bytes)")


def _write_recipe_file(path: str, name: str, recipe: dict) -> None:
    """Writes the recipe as JSON to path, which is to become the file name."""
    try:
        with open(path, "w", encoding="utf-8") as file:
            file.write(json.dumps(recipe, indent=2, allow_nan=False) + "\n")
    except OSError as error:
        raise QuennelError(f"{name}: cannot write the recipe: {error.strerror}") from None


def _stream(composer: Composer | PlanStream, writer: Writer, goal: int | None) -> None:
    """Writes goal samples of the scene, or all of it when goal is None."""
    progress = Progress("render", goal)
    block = np.empty(BLOCK if goal is None else min(BLOCK, max(goal, 1)), dtype=np.complex64)
    done = 0
    while goal is None or done < goal:
        produced = composer.read(block if goal is None else block[: min(BLOCK, goal - done)])
        if produced == 0:
            break
        writer.write(block[:produced])
        done += produced
        progress.update(done)
    progress.finish()


def _headroom(text: str) -> float:
    """The scene's "headroom" in dB (0 when absent or not a finite number)."""
    value = kettara_lib().wfm_spec_headroom(text.encode())
    return value if math.isfinite(value) else 0.0
