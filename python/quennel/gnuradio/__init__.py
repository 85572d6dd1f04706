"""GNU Radio blocks: scenes as a signal source, captures in and out of flowgraphs.

- ``scene_source(scene, snr=None, seed=None, strict=False)``: a scene's samples, with a tag at every burst;
- ``capture_source(path, follow=False, sample_type="cf32", endian="le")``: a capture's samples,
  with the rate, frequency, start time and SigMF annotations it declares as tags;
- ``capture_sink(path, sample_type="cf32", samp_rate=0, center_freq=0, ...)``: writes a capture.

The blocks are written on GNU Radio's Python block API; GNU Radio is imported on first use of
one of them, so that this package imports without it.
"""

BLOCKS = ("scene_source", "capture_source", "capture_sink")

__all__ = list(BLOCKS)


def __getattr__(name: str):
    if name in BLOCKS:
        from . import _blocks

        return getattr(_blocks, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
