"""PN and Gold bit generation, frame assembly and framed DSSS chips.

NumPy has no LFSR, so the reference is a plain NumPy implementation of the same registers:
their output obeys s[t + d] = XOR of the tapped s[t + i], and the bits up to the highest
tap's distance from d depend only on bits already known, so each NumPy step computes that
many bits at once (28 per step for the default degree-31 mask in Fibonacci form, 3 in Galois
form, whose output obeys s[t + d] = XOR of s[t + d - 1 - j] over the mask's bits j).
"""


import numpy as np

from _common import Table, best_seconds, kettara_lib, ptr

N = 1 << 20
DEGREE = 31
SEED = 0x1234567
# Two degree-31 registers whose recurrences s[t + 31] = s[t] ^ s[t + 3] and s[t] ^ s[t + 13]
# let the NumPy reference take blocks of 28 and 18 bits.
GOLD = (0x48000000, 0x1234567, 0x40020000, 0x7654321, DEGREE)


def numpy_recurrence(offsets, first, n):
    """n bits of s[t + d] = XOR of s[t + i] for i in offsets, from the first d bits, in blocks
    of the bits that depend only on bits already known."""
    degree = len(first)
    block = degree - max(offsets)
    s = np.empty(n + degree + block, dtype=np.uint8)
    s[:degree] = first
    for t in range(0, n, block):
        new = s[t + offsets[0]:t + offsets[0] + block].copy()
        for i in offsets[1:]:
            new ^= s[t + i:t + i + block]
        s[t + degree:t + degree + block] = new
    return s[:n]


def set_bits(value, degree):
    return [i for i in range(degree) if (value >> i) & 1]


def numpy_pn_fibonacci(poly, seed, degree, n):
    """PnGen's Fibonacci form: read at bit 0, so the state holds the next degree bits."""
    first = (seed >> np.arange(degree, dtype=np.uint64)) & 1
    return numpy_recurrence(set_bits(1 | (poly << 1), degree), first, n)


def numpy_pn_galois(poly, seed, degree, n):
    """PnGen's Galois form: its first degree bits by stepping the register, then the recurrence."""
    first, state = [], seed
    for _ in range(degree):
        first.append(state & 1)
        state = (state >> 1) ^ (poly if state & 1 else 0)
    return numpy_recurrence([degree - 1 - j for j in set_bits(poly, degree)], first, n)


def numpy_gold(poly1, seed1, poly2, seed2, degree, n):
    """GoldGen: both registers read at their top bit, so state bit j is the bit degree - 1 - j ahead."""
    def register(poly, seed):
        first = (seed >> np.arange(degree - 1, -1, -1, dtype=np.uint64)) & 1
        return numpy_recurrence([degree - 1 - j for j in set_bits(poly, degree)], first, n)
    return register(poly1, seed1) ^ register(poly2, seed2)


def main():
    lib = kettara_lib()
    poly = lib.pn_default_poly(DEGREE)
    out = np.empty(N, dtype=np.uint8)

    fib = lib.pn_create(poly, SEED, DEGREE, 1)
    galois = lib.pn_create(poly, SEED, DEGREE, 0)
    gold = lib.gold_create(*GOLD)

    def fibonacci_reference():
        return numpy_pn_fibonacci(poly, SEED, DEGREE, N)

    def galois_reference():
        return numpy_pn_galois(poly, SEED, DEGREE, N)

    def gold_reference():
        return numpy_gold(*GOLD, N)

    for gen, reference in ((fib, fibonacci_reference), (galois, galois_reference)):
        lib.pn_generate(gen, N, ptr(out), N)
        assert np.array_equal(out, reference()), "PN reference disagrees"
        lib.pn_reset(gen)
    lib.gold_generate(gold, N, ptr(out), N)
    assert np.array_equal(out, gold_reference()), "Gold reference disagrees"

    table = Table("PN and Gold generators (1 Mbit per call), degree 31", "Msamples/s")
    for name, gen, fn, reference in (("pn_generate fibonacci", fib, lib.pn_generate, fibonacci_reference),
                                     ("pn_generate galois", galois, lib.pn_generate, galois_reference),
                                     ("gold_generate", gold, lib.gold_generate, gold_reference)):
        ours = N / best_seconds(lambda: fn(gen, N, ptr(out), N)) / 1e6
        table.row(name, ours, N / best_seconds(reference) / 1e6, "NumPy block recurrence")
    lib.pn_destroy(fib)
    lib.pn_destroy(galois)
    lib.gold_destroy(gold)

    # Framed DSSS: 64-chip acquisition code 4 times, 1000-bit payload with CRC, 31-chip code.
    rng = np.random.default_rng(1)
    acq, code = rng.integers(0, 2, 64, dtype=np.uint8), rng.integers(0, 2, 31, dtype=np.uint8)
    sync, payload = rng.integers(0, 2, 32, dtype=np.uint8), rng.integers(0, 2, 1000, dtype=np.uint8)
    chips = np.empty(4 * 64 + 31 * 1048, dtype=np.uint8)

    def ours_dsss():
        return lib.wfm_frame_dsss_chips(ptr(acq), 64, 4, ptr(code), 31, ptr(sync), 32,
                                        ptr(payload), 1000, 1, ptr(chips))

    assert ours_dsss() == chips.size
    bits = chips[256::31] ^ code[0]  # the frame bits, recovered from the first chip of each

    def numpy_dsss():
        return np.concatenate([np.tile(acq, 4), (bits[:, None] ^ code[None, :]).ravel()])

    assert np.array_equal(numpy_dsss(), chips)
    table = Table("Framed DSSS chips (33 kchips per frame)", "Mchips/s")
    table.row("wfm_frame_dsss_chips", chips.size / best_seconds(ours_dsss) / 1e6,
              chips.size / best_seconds(numpy_dsss) / 1e6, "NumPy tile + outer XOR (bits given)")


if __name__ == "__main__":
    main()
