"""Holds the process-wide interrupt state.

Native modules (``tolvane``) adopt the state at import through the capsule
``_tq_pg_qn_interrupt_guard``, so that a signal handler installed by any of them, or a call
here, stops the blocking waits of all of them. The state is two 32-bit integers,
``interrupted`` (0 or 1) and ``latency_ms``, in memory that lives as long as the process.
"""

import ctypes

from .._native import InterruptState

CAPSULE_NAME = b"quennel.qn_interrupt_guard._tq_procglobal"
DEFAULT_LATENCY_MS = 100


def _process_lifetime_copy(data: bytes) -> int:
    """Address of a copy of data that is never freed (the capsule and its readers keep it)."""
    alloc = ctypes.pythonapi.PyMem_RawMalloc
    alloc.restype = ctypes.c_void_p
    alloc.argtypes = [ctypes.c_size_t]
    address = alloc(len(data))
    if not address:
        raise MemoryError("cannot allocate the interrupt state")
    ctypes.memmove(address, data, len(data))
    return int(address)


def _make_capsule() -> tuple[object, InterruptState]:
    state_address = _process_lifetime_copy(bytes(InterruptState(0, DEFAULT_LATENCY_MS)))
    name_address = _process_lifetime_copy(CAPSULE_NAME + b"\0")
    new_capsule = ctypes.pythonapi.PyCapsule_New
    new_capsule.restype = ctypes.py_object
    new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
    return new_capsule(state_address, name_address, None), InterruptState.from_address(state_address)


_tq_pg_qn_interrupt_guard, _state = _make_capsule()


def interrupt() -> None:
    """Raise the interrupt flag: blocking follow-reads of every module stop at their next poll."""
    _state.interrupted = 1


def resume() -> None:
    """Clear the interrupt flag."""
    _state.interrupted = 0


def interrupted() -> bool:
    """Whether the interrupt flag is raised (it stays raised until resume())."""
    return bool(_state.interrupted != 0)


def set_latency_ms(ms: int) -> None:
    """Set the poll latency requested of long waits; 0 selects the default of 100 ms."""
    _state.latency_ms = int(ms) if ms else DEFAULT_LATENCY_MS


def latency_ms() -> int:
    """The poll latency requested of long waits, in milliseconds."""
    return int(_state.latency_ms)
