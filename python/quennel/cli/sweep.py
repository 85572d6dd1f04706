"""quennel sweep: a Monte-Carlo table of one scene over SNRs and trials."""

import csv
import importlib
import json
import os
import sys
import threading

import numpy as np

from ..errors import QuennelError, UsageError
from ..outputs import Outputs
from ..scene import plan_refusal
from ..schema import check_scene
from ..units import whole_count
from ._common import read_text
from .render import add_strict_option


def add_parser(subparsers) -> None:
    parser = subparsers.add_parser(
        "sweep", help="run a scene over SNRs and trials and tabulate a metric",
        description="Render every (snr, trial) realisation of a scene through its render plan "
                    "(trial t uses a noise seed derived from --seed and t alone, so the table "
                    "does not depend on where it ran) and write one row per realisation.")
    parser.add_argument("scene", metavar="SCENE.json", help="the scene ('-' reads standard input)")
    parser.add_argument("--snr", required=True, metavar="START:STOP:STEP",
                        help="SNRs in dB, STOP included, e.g. 0:10:2")
    parser.add_argument("--trials", type=whole_count, required=True, metavar="N", help="realisations per SNR")
    parser.add_argument("--seed", type=int, default=0, metavar="BASE", help="base of the trial seeds (default 0)")
    parser.add_argument("--metric", metavar="MODULE:FUNCTION",
                        help="function(samples, snr) returning a number or a dict of numbers "
                             "(default: mean power and peak in dB)")
    parser.add_argument("--threads", type=whole_count, metavar="N", help="local threads (default: all processors)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="run on a dask.distributed cluster at ADDRESS instead of local threads")
    parser.add_argument("-o", "--output", metavar="TABLE", help="write the table to TABLE (.csv or .json) "
                        "instead of printing CSV; it appears once complete")
    parser.add_argument("-f", "--force", action="store_true", help="replace an existing TABLE")
    add_strict_option(parser)
    parser.set_defaults(run=run)


_scratch = threading.local()


def _magnitude_buffers(n: int) -> np.ndarray:
    """This thread's two float32 rows of n values, reused from call to call: on a Dask worker,
    whose allocator hands freed memory back to the system, fresh temporaries would cost their
    page faults at every realisation."""
    buffers = getattr(_scratch, "magnitudes", None)
    if buffers is None or buffers.shape[1] != n:
        buffers = _scratch.magnitudes = np.empty((2, n), np.float32)
    return buffers


def power_and_peak(samples: np.ndarray, snr: float) -> dict:
    """The default metric: mean power and peak magnitude of the realisation, in dB."""
    if samples.dtype == np.complex64 and samples.size:
        magnitude, square = _magnitude_buffers(samples.size)
        np.abs(samples, out=magnitude)
        power = float(np.mean(np.square(magnitude, out=square)))
        peak = float(np.max(magnitude))
    else:
        power = float(np.mean(np.abs(samples) ** 2)) if samples.size else 0.0
        peak = float(np.max(np.abs(samples))) if samples.size else 0.0
    return {"power_db": 10 * np.log10(power) if power > 0 else -np.inf,
            "peak_db": 20 * np.log10(peak) if peak > 0 else -np.inf}


def snr_range(text: str) -> np.ndarray:
    try:
        start, stop, step = (float(part) for part in text.split(":"))
    except ValueError:
        raise UsageError(f"--snr takes START:STOP:STEP in dB, not {text!r}") from None
    if not step > 0 or not stop >= start:
        raise UsageError("--snr needs STEP > 0 and STOP >= START")
    count = int(np.floor((stop - start) / step + 1e-9)) + 1
    return start + step * np.arange(count)


def load_metric(spec: str | None):
    if spec is None:
        return power_and_peak
    module_name, _, function_name = spec.partition(":")
    if not module_name or not function_name:
        raise UsageError(f"--metric takes MODULE:FUNCTION, not {spec!r}")
    sys.path.insert(0, os.getcwd())
    try:
        return getattr(importlib.import_module(module_name), function_name)
    except (ImportError, AttributeError) as error:
        raise QuennelError(f"--metric {spec}: {error}") from None


def connect(address: str | None):
    if address is None:
        return None
    try:
        from distributed import Client
    except ImportError:
        raise QuennelError("--scheduler needs dask.distributed (pip install 'dask[distributed]')") from None
    try:
        return Client(address, timeout="10s")
    except (OSError, TimeoutError) as error:
        raise QuennelError(f"cannot reach the scheduler at {address}: {error}") from None


def write_table(table: np.ndarray, path: str | None, as_json: bool = False) -> None:
    """Writes the table to path as JSON or CSV; to standard output as CSV when path is None."""
    rows = [dict(zip(table.dtype.names, row.tolist())) for row in table]
    if path is not None and as_json:
        with open(path, "w", encoding="utf-8") as file:
            json.dump(rows, file, indent=1)
            file.write("\n")
        return
    file = sys.stdout if path is None else open(path, "w", newline="", encoding="utf-8")
    try:
        writer = csv.DictWriter(file, fieldnames=list(table.dtype.names))
        writer.writeheader()
        writer.writerows(rows)
    finally:
        if path is not None:
            file.close()


def run(args) -> None:
    import kettara

    from ..sweep import sweep

    if args.trials < 1:
        raise UsageError("--trials must be at least 1")
    snrs = snr_range(args.snr)
    metric = load_metric(args.metric)
    text = read_text(args.scene, "scene")
    try:
        plan = kettara.Plan(text)
    except RuntimeError as error:
        raise plan_refusal(error, args.scene) from None
    check_scene(text, args.scene, args.strict)
    with Outputs(args.force) as outputs:
        table_path = outputs.add(args.output) if args.output is not None else None
        client = connect(args.scheduler)
        try:
            table = sweep(plan, metric, snrs, args.trials, base_seed=args.seed, threads=args.threads, client=client)
        finally:
            if client is not None:
                client.close()
        try:
            write_table(table, table_path, args.output is not None and args.output.lower().endswith(".json"))
        except OSError as error:
            raise QuennelError(f"{args.output}: {error.strerror}") from None
