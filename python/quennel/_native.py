"""ctypes access to the plain C interface that the extension modules export."""

import ctypes
import functools


@functools.cache
def kettara_lib() -> ctypes.CDLL:
    """The kettara library (the extension module's own file, which exports the C interface)."""
    import kettara

    return ctypes.CDLL(kettara.__file__)


@functools.cache
def tolvane_lib() -> ctypes.CDLL:
    """The tolvane library (the extension module's own file, which exports the C interface)."""
    import tolvane

    return ctypes.CDLL(tolvane.__file__)
