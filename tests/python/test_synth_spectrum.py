"""Root-raised-cosine shaped QPSK from the synthesiser: unit power and a band-limited spectrum."""


import numpy as np
import pytest
from quennel._native import kettara_lib
from scipy import signal

QPSK = 4
MODE_FS = 1


@pytest.fixture(scope="module")
def lib():
    return kettara_lib()


def shaped_qpsk(lib, sps, span, beta, n):
    synth = lib.wfm_synth_create(QPSK, MODE_FS, 11, sps, 23, 0, 1.0, 0.0, 100.0, 0.0, 0)
    assert synth
    try:
        taps = np.zeros(2 * sps * span + 1, dtype=np.float32)
        lib.wfm_rrc_taps(sps, span, taps.ctypes.data, beta)
        assert lib.wfm_synth_set_rrc(synth, taps.ctypes.data, taps.size) == 0
        out = np.empty(n, dtype=np.complex64)
        lib.wfm_synth_steps(synth, out.ctypes.data, n)
        return out
    finally:
        lib.wfm_synth_destroy(synth)


@pytest.mark.parametrize("sps", [8, 6])  # polyphase interpolator and FIR
def test_rrc_qpsk_has_unit_power_and_stays_in_its_band(lib, sps):
    beta, nperseg = 0.35, 2048
    x = shaped_qpsk(lib, sps, 10, beta, 1 << 19)
    assert np.mean(np.abs(x.astype(np.complex128)) ** 2) == pytest.approx(1.0, abs=0.02)

    f, psd = signal.welch(x, nperseg=nperseg, return_onesided=False, detrend=False)
    edge = (1 + beta) / (2 * sps)
    out_of_band = np.abs(f) > edge + 4.0 / nperseg  # past the window's main lobe
    rel_db = 10 * np.log10(psd[out_of_band] / psd.max())
    assert rel_db.max() < -40.0
