"""GNU Radio blocks: scenes as a signal source, captures in and out of flowgraphs.

- ``scene_source(scene, snr=None, seed=None, strict=False)``: a scene's samples, with a tag at every burst;
- ``capture_source(path, follow=False, sample_type="cf32", endian="le")``: a capture's samples,
  with the rate, frequency, start time and SigMF annotations it declares as tags;
- ``capture_sink(path, sample_type="cf32", samp_rate=0, center_freq=0, ...)``: writes a capture.

The blocks are written on GNU Radio's Python block API; GNU Radio is imported on first use of
one of them, so that this package imports without it (and a block asked for without it
raises ImportError with NEEDS_GNU_RADIO).
"""

BLOCKS = ("scene_source", "capture_source", "capture_sink")
NEEDS_GNU_RADIO = "quennel.gnuradio needs GNU Radio's Python modules (Debian: python3-gnuradio)"

__all__ = list(BLOCKS)


def __getattr__(name: str) -> object:
    if name in BLOCKS:
        try:
            from . import _blocks
        except ModuleNotFoundError as error:
            if (error.name or "").split(".")[0] in ("gnuradio", "pmt"):
                raise ImportError(NEEDS_GNU_RADIO, name=error.name) from None
            raise
        return getattr(_blocks, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
