import ctypes
import os
import signal
import subprocess
import sys

import quennel.interrupt.interrupt as shared
from quennel._native import tolvane_lib

import tolvane  # noqa: F401  (adopts the shared interrupt state)


def test_tolvane_adopts_the_shared_state():
    lib = tolvane_lib()
    capsule_address = ctypes.pythonapi.PyCapsule_GetPointer
    capsule_address.restype = ctypes.c_void_p
    capsule_address.argtypes = [ctypes.py_object, ctypes.c_char_p]
    assert lib.qn_interrupt_guard_state_ptr() == capsule_address(
        shared._tq_pg_qn_interrupt_guard, shared.CAPSULE_NAME)

    shared.resume()
    lib.qn_interrupt()
    assert shared.interrupted()
    shared.resume()
    assert lib.qn_interrupted() == 0
    shared.interrupt()
    assert lib.qn_interrupted() == 1
    shared.resume()

    shared.set_latency_ms(0)
    assert lib.qn_interrupt_latency_ms() == 100
    lib.qn_set_interrupt_latency_ms(250)
    assert shared.latency_ms() == 250
    shared.set_latency_ms(0)


def test_signal_through_native_handler_raises_the_python_visible_flag():
    lib = tolvane_lib()
    shared.resume()
    assert lib.qn_interrupt_on_signal(signal.SIGUSR1) == 0
    try:
        os.kill(os.getpid(), signal.SIGUSR1)
        assert shared.interrupted()
    finally:
        assert lib.qn_restore_signal(signal.SIGUSR1) == 0
        shared.resume()


def test_import_fails_without_the_interrupt_module():
    code = (
        "import sys\n"
        "sys.modules['quennel.interrupt.interrupt'] = None\n"
        "try:\n"
        "    import tolvane\n"
        "except ImportError:\n"
        "    print('refused')\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "refused"
