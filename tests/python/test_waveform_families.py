"""The linear-modulation source types and bits mappings, checked by a receiver written from
their definitions: exact bits at high SNR, symbol error rates against theory, unit power,
the composition equal to plan renders and blobs, and refusals with their reasons."""

import json
import math
import re
import subprocess
import sys

import numpy as np
import pytest
from quennel._native import kettara_lib
from quennel.errors import FramingError
from quennel.scene import Composer
from scipy import integrate, optimize, special

import kettara

PSK = {"8psk": 8, "16psk": 16, "32psk": 32, "64psk": 64}
QAM = {"16qam": 16, "64qam": 64, "256qam": 256, "1024qam": 1024}
ASK = {"4ask": 4, "8ask": 8}
NEAREST = {"32qam": 32, "128qam": 128, "16apsk": 16, "32apsk": 32}  # decided by the nearest point
LINEAR = [*PSK, *QAM, "oqpsk", "pi4qpsk", "ook", *ASK, *NEAREST]
BITS_PER_SYMBOL = {**{n: int(math.log2(m)) for n, m in {**PSK, **QAM, **ASK, **NEAREST}.items()},
                   "oqpsk": 2, "pi4qpsk": 2, "ook": 1}
ODD_SPS = "oqpsk needs an even sps: its quadrature rail runs half a symbol (sps / 2 samples) late"


def compose(scene: dict, chunks=None) -> np.ndarray:
    """The whole stream of the scene's composer, read in the given chunk sizes (cycled)."""
    sizes = chunks or [4096]
    blocks = []
    with Composer(json.dumps(scene)) as composer:
        for k in range(1 << 30):
            block = np.empty(sizes[k % len(sizes)], np.complex64)
            n = composer.read(block)
            if n == 0:
                return np.concatenate(blocks)
            blocks.append(block[:n])


def one(source: dict, num_samples: int) -> dict:
    return {"segments": [{**source, "num_samples": num_samples}]}


# ---- the receiver, from the definitions --------------------------------------------------

def gray(i):
    return i ^ (i >> 1)


def pam_index(x, levels):
    """Index j of the nearest level 2j - (levels - 1) of a rail."""
    return np.clip(np.rint((x + levels - 1) / 2), 0, levels - 1).astype(np.int64)


def cross_qam(m: int) -> np.ndarray:
    """The rectangular Gray grid (first bits in-phase) with its outer columns folded onto
    the rows beyond it, at unit average power."""
    qbits = (int(math.log2(m)) - 1) // 2
    li, lq = 2 ** (qbits + 1), 2 ** qbits
    v = np.arange(m)
    i = 2.0 * gray_index(v >> qbits) - (li - 1)
    q = 2.0 * gray_index(v & (lq - 1)) - (lq - 1)
    outer = np.abs(i) > li - 1 - lq // 2
    i, q = np.where(outer, np.copysign(np.abs(q), i), i), np.where(outer, np.copysign(np.abs(i) - lq // 2, q), q)
    points = i + 1j * q
    return points / np.sqrt(np.mean(np.abs(points) ** 2))


APSK_PLACES = {16: [(1, 45), (1, 15), (1, 75), (0, 45)],
               32: [(2, 11.25), (2, 33.75), (2, 78.75), (2, 56.25), (1, 15), (1, 45), (0, 45), (1, 75)]}


def apsk(m: int, rings: list[float]) -> np.ndarray:
    """Quadrant by the Gray label of the last two bits, place in it by the leading bits,
    odd quadrants mirrored; radii 1 and the ring ratios, at unit average power."""
    radius = [1.0, *rings]
    points = []
    for v in range(m):
        ring, degrees = APSK_PLACES[m][v >> 2]
        quadrant = gray_index(v & 3)
        degrees = 90 * quadrant + (90 - degrees if quadrant % 2 else degrees)
        points.append(radius[ring] * np.exp(1j * np.radians(degrees)))
    points = np.array(points)
    return points / np.sqrt(np.mean(np.abs(points) ** 2))


def gray_index(v):
    """The index whose Gray label is v."""
    k = np.zeros_like(v)
    while np.any(v):
        k ^= v
        v = v >> 1
    return k


REFERENCE = {"32qam": cross_qam(32), "128qam": cross_qam(128), "16apsk": apsk(16, [3.15]),
             "32apsk": apsk(32, [2.84, 5.27])}


def labels(name: str, y: np.ndarray) -> np.ndarray:
    """The label of each received symbol (y at one sample per symbol)."""
    if name in PSK:
        m = PSK[name]
        return gray(np.rint(np.angle(y) * m / (2 * np.pi)).astype(np.int64) % m)
    if name in QAM:
        m = QAM[name]
        levels, half = math.isqrt(m), int(math.log2(m)) // 2
        s = y * math.sqrt(2 * (m - 1) / 3)
        return (gray(pam_index(s.real, levels)) << half) | gray(pam_index(s.imag, levels))
    if name in ASK:
        m = ASK[name]
        return gray(pam_index(y.real * math.sqrt((m * m - 1) / 3), m))
    if name == "ook":
        return (y.real > math.sqrt(2) / 2).astype(np.int64)
    if name in NEAREST:
        return np.argmin(np.abs(y[:, None] - REFERENCE[name][None, :]), axis=1)
    if name == "pi4qpsk":
        steps = np.rint(np.angle(y * np.conj(np.concatenate([[1], y[:-1]]))) * 4 / np.pi).astype(np.int64) % 8
        return np.select([steps == 1, steps == 3, steps == 5, steps == 7], [0b00, 0b01, 0b11, 0b10], -1)
    raise AssertionError(name)


def symbols_of(name: str, x: np.ndarray, sps: int) -> np.ndarray:
    """Integrate-and-dump over each rectangular symbol; offset QPSK's quadrature rail a half
    symbol later."""
    x = x.astype(np.complex128)
    if name != "oqpsk":
        return x[: len(x) // sps * sps].reshape(-1, sps).mean(axis=1)
    half = sps // 2
    n = (len(x) - half) // sps
    i = x.real[: n * sps].reshape(-1, sps).mean(axis=1)
    q = x.imag[half: half + n * sps].reshape(-1, sps).mean(axis=1)
    return i + 1j * q


def demodulate(name: str, x: np.ndarray, sps: int) -> np.ndarray:
    y = symbols_of(name, x, sps)
    if name == "oqpsk":
        return np.stack([(y.real < 0), (y.imag < 0)], axis=1).astype(np.uint8).ravel()
    k = BITS_PER_SYMBOL[name]
    v = labels(name, y)
    return ((v[:, None] >> np.arange(k - 1, -1, -1)) & 1).astype(np.uint8).ravel()


def pn_bits(seed: int, length: int, n: int) -> np.ndarray:
    lib = kettara_lib()
    gen = lib.pn_create(lib.pn_default_poly(length), seed, length, 0)
    try:
        out = np.empty(n, np.uint8)
        assert lib.pn_generate(gen, n, out.ctypes.data, n) == n
        return out
    finally:
        lib.pn_destroy(gen)


# ---- recovery and error rates ------------------------------------------------------------

@pytest.mark.parametrize("name", LINEAR)
def test_a_bits_source_recovers_its_bits_at_30_db(name):
    k, sps, n_symbols = BITS_PER_SYMBOL[name], 16, 3000
    bits = np.random.default_rng(5).integers(0, 2, k * n_symbols, dtype=np.uint8)
    source = {"type": "bits", "modulation": name, "pattern": "".join(map(str, bits)), "sps": sps,
              "snr": 30, "snr_mode": "fs", "seed": 3}
    x = compose(one(source, n_symbols * sps))
    got = demodulate(name, x, sps)
    assert np.array_equal(got, bits[: got.size]) and got.size >= bits.size - 2 * k


@pytest.mark.parametrize("name", LINEAR)
def test_a_type_plays_its_pn_bits_as_a_bits_source_would(name):
    k, sps, n_symbols = BITS_PER_SYMBOL[name], 4, 1500
    shaping = {"sps": sps, "pulse": "rrc", "rrc_beta": 0.25, "rrc_span": 6, "freq": 0.01}
    bits = pn_bits(9, 23, k * n_symbols)
    by_type = compose(one({"type": name, "seed": 9, "pn_length": 23, **shaping}, n_symbols * sps))
    by_bits = compose(one({"type": "bits", "modulation": name, "pattern": "".join(map(str, bits)), **shaping},
                          n_symbols * sps))
    assert by_type.tobytes() == by_bits.tobytes()


def psk_ser(m: int, esno: float) -> float:
    """Exact symbol error rate of M-PSK in complex Gaussian noise."""
    g = esno * math.sin(math.pi / m) ** 2
    value, _ = integrate.quad(lambda t: math.exp(-g / math.sin(t) ** 2), 0, (m - 1) * math.pi / m)
    return value / math.pi


def qam_ser(m: int, esno: float) -> float:
    """Exact symbol error rate of square M-QAM: one minus both rails right."""
    levels = math.isqrt(m)
    rail = 2 * (1 - 1 / levels) * 0.5 * special.erfc(math.sqrt(3 * esno / (m - 1) / 2))
    return 1 - (1 - rail) ** 2


@pytest.mark.parametrize("name", [*PSK, *QAM])
def test_symbol_error_rate_at_one_in_a_hundred_matches_theory(name):
    theory = (lambda e: psk_ser(PSK[name], e)) if name in PSK else (lambda e: qam_ser(QAM[name], e))
    esno = optimize.brentq(lambda e: theory(e) - 1e-2, 1.0, 1e5)
    n = 200_000
    source = {"type": name, "sps": 1, "snr_mode": "esno", "pn_length": 31, "seed": 17}
    sent = labels(name, compose(one(source, n)).astype(np.complex128))
    received = labels(name, compose(one({**source, "snr": 10 * math.log10(esno)}, n)).astype(np.complex128))
    assert np.mean(sent != received) == pytest.approx(1e-2, rel=0.15)


@pytest.mark.parametrize("name", LINEAR)
@pytest.mark.parametrize("shaping", [{"sps": 2}, {"sps": 8, "pulse": "rrc"}], ids=["rect", "rrc"])
def test_unit_average_power(name, shaping):
    x = compose(one({"type": name, "pn_length": 23, "seed": 4, **shaping}, 1 << 18)).astype(np.complex128)
    assert 10 * math.log10(np.mean(np.abs(x) ** 2)) == pytest.approx(0.0, abs=0.05)


@pytest.mark.parametrize("name, mode, per_sample", [
    ("16qam", "auto", 10 - 10 * math.log10(4)),
    ("64psk", "ebno", 10 + 10 * math.log10(6) - 10 * math.log10(4)),
    ("8ask", "fs", 10.0),
])
def test_snr_modes_refer_to_the_symbol_rate(name, mode, per_sample):
    source = {"type": name, "sps": 4, "snr": 10, "snr_mode": mode, "pn_length": 23}
    clean = compose(one(source | {"snr": 100}, 1 << 17)).astype(np.complex128)
    noisy = compose(one(source, 1 << 17)).astype(np.complex128)
    measured = 10 * math.log10(1 / np.mean(np.abs(noisy - clean) ** 2))
    assert measured == pytest.approx(per_sample, abs=0.05)


def test_apsk_rings_set_the_radius_ratio():
    x = compose(one({"type": "16apsk", "sps": 1, "apsk_rings": [2.5], "pn_length": 23}, 4096))
    radii = np.unique(np.round(np.abs(x.astype(np.complex128)), 6))
    assert radii.size == 2 and radii[1] / radii[0] == pytest.approx(2.5, rel=1e-5)
    assert np.mean(np.abs(x.astype(np.complex128)) ** 2) == pytest.approx(1.0, abs=0.05)


# ---- one stream everywhere, and refusals -------------------------------------------------

def framed(name: str) -> dict:
    return {"type": "bits", "modulation": name, "pattern": "1011001110001111" * 4, "sync": "1110101110010000",
            "conv": True, "randomise": "ccsds", "sps": 4, "snr": 20}


@pytest.mark.parametrize("source", [
    *({"type": name, "sps": 4, "snr": 15, "pulse": "rrc", "freq": -0.02} for name in LINEAR),
    *(framed(name) for name in ("16qam", "oqpsk", "pi4qpsk", "1024qam", "128qam", "32apsk")),
    {"type": "bits", "modulation": "32apsk", "apsk_rings": [2.0, 3.0], "pattern": "10110", "sps": 2},
], ids=lambda s: s.get("modulation", s["type"]) + ("_framed" if "sync" in s else ""))
def test_composition_plan_and_blob_give_the_same_bits(source):
    scene = {"segments": [{**source, "num_samples": 5000, "off_samples": 300, "repeats": 2}]}
    chunks = list(np.random.default_rng(len(json.dumps(source))).integers(1, 3000, 17))
    composed = compose(scene, chunks)
    plan = kettara.Plan(json.dumps(scene))
    assert plan.render("").tobytes() == composed.tobytes()
    assert kettara.PlanFromBlob(plan.save()).render("").tobytes() == composed.tobytes()


@pytest.mark.parametrize("source", [{"type": "oqpsk", "sps": 7}, {"type": "bits", "modulation": "oqpsk",
                                                                   "pattern": "1100", "sps": 5}])
def test_odd_sps_offset_qpsk_is_refused_with_its_reason(source):
    text = json.dumps(one(source, 1000))
    with pytest.raises(FramingError, match=re.escape(ODD_SPS)):
        Composer(text)
    with pytest.raises(RuntimeError) as refused:
        kettara.Plan(text)
    assert ODD_SPS in refused.value.__notes__[0]


def test_gen_refuses_odd_sps_offset_qpsk_with_exit_status_2():
    done = subprocess.run([sys.executable, "-m", "quennel", "gen", "--type", "oqpsk", "--sps", "7", "-o", "-"],
                          capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stderr) == (2, ODD_SPS + "\n")
