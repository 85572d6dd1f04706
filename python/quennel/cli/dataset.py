"""quennel dataset: store a labelled dataset, or show the scene of one of its examples."""

import argparse
import sys
from typing import Any

from ..errors import UsageError
from .sweep import connect


def add_parser(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "dataset", help="write a labelled dataset, or explain one of its examples",
        description="Write the dataset that the description SPEC (JSON) draws into the folder OUT: the "
                    "samples as a Zarr array (examples x length, complex64), the labels as Parquet "
                    "(examples.parquet, bursts.parquet) and the description with the producing version "
                    "(dataset.json); or, with --format sigmf, one SigMF recording per example and a "
                    "collection. Example i depends on the seed and i alone, so every thread count, "
                    "cluster and rerun writes the same bytes; a rerun into the same folder skips the "
                    "chunks already finished. 'quennel dataset explain SPEC --example I' prints the scene "
                    "of example I, which 'quennel render' renders to the same samples.",
        epilog="examples: quennel dataset classes.json -o train --threads 2; "
               "quennel dataset explain classes.json --example 17 > ex17.json")
    parser.add_argument("words", nargs="+", metavar="SPEC", help="the description, or 'explain' SPEC")
    parser.add_argument("-o", "--output", metavar="OUT", help="the dataset's folder (new, empty, or this "
                        "dataset's unfinished folder)")
    parser.add_argument("--format", choices=("zarr", "sigmf"), default="zarr", help="storage (default zarr)")
    parser.add_argument("--threads", type=int, default=1, metavar="N", help="local threads (default 1)")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="make the examples on the dask.distributed "
                        "cluster at ADDRESS")
    parser.add_argument("--chunk", type=int, metavar="N", help="examples per stored chunk (default: 8 MB "
                        "of samples)")
    parser.add_argument("--example", type=int, metavar="I", help="explain: the example to show")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> None:
    from ..dataset import Dataset

    if args.words[0] == "explain":
        if len(args.words) != 2 or args.example is None:
            raise UsageError("explain takes SPEC and --example I")
        ds = Dataset(args.words[1])
        if not 0 <= args.example < len(ds):
            raise UsageError(f"--example {args.example} is outside 0..{len(ds) - 1}")
        sys.stdout.write(ds.scene_text(args.example))
        return
    if len(args.words) != 1:
        raise UsageError("give one SPEC (or 'explain' SPEC --example I)")
    if not args.output:
        raise UsageError("give the dataset's folder with -o OUT")
    if args.threads < 1 or (args.chunk is not None and args.chunk < 1):
        raise UsageError("--threads and --chunk take numbers of at least 1")
    _write(args, Dataset(args.words[0]))


def _write(args: argparse.Namespace, ds: Any) -> None:
    from ..dataset import store

    try:
        if args.format == "zarr":
            import pyarrow  # type: ignore[import-untyped]  # noqa: F401
            import zarr  # noqa: F401
    except ImportError as error:
        raise UsageError(f"storing datasets needs the extra quennel[dataset] ({error.name} is missing)") from None
    if args.scheduler is None:
        store.write(ds.description, args.output, args.format, threads=args.threads, chunk=args.chunk)
        return
    with connect(args.scheduler) as client:
        store.write(ds.description, args.output, args.format, client=client, chunk=args.chunk)
