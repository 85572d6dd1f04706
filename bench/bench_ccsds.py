"""CCSDS telemetry coding: Reed-Solomon decoding, convolutional encoding, full frame encoding."""

import ctypes

import numpy as np

from _common import Table, best_seconds, kettara_lib, ptr

from quennel._native import ConvSpec, TmFrameConfig

N, K = 255, 223
DEPTH = 8  # codewords per decode call
CONV_BITS = 1 << 20


def corrupted_codeblock(lib, rng, errors):
    block = rng.integers(0, 256, N * DEPTH, dtype=np.uint8)
    assert lib.ccsds_tm_rs_encode_block(ptr(block, ctypes.c_uint8), DEPTH, ptr(block, ctypes.c_uint8)) == N * DEPTH
    for i in range(DEPTH):
        rows = rng.choice(N, errors, replace=False)
        block[i + rows * DEPTH] ^= rng.integers(1, 256, errors, dtype=np.uint8)
    return block


def bench_rs(lib, table):
    rng = np.random.default_rng(1)
    for errors, name in ((0, "RS(255,223) decode, clean codewords"), (16, "RS(255,223) decode, 16 errors per codeword")):
        pristine = corrupted_codeblock(lib, rng, errors)
        work = pristine.copy()
        p = ptr(work, ctypes.c_uint8)

        def run():
            np.copyto(work, pristine)
            lib.ccsds_tm_rs_decode_block(p, DEPTH, None)

        table.row(name, DEPTH / best_seconds(run) / 1e3)


def bench_conv(lib, table):
    spec = ConvSpec.in_dll(lib, "CCSDS_TM_CONV")
    bits = np.random.default_rng(2).integers(0, 2, CONV_BITS, dtype=np.uint8)
    out = np.empty(2 * CONV_BITS, dtype=np.uint8)
    state = ctypes.c_uint32(0)

    def ours():
        lib.conv_encode(ctypes.byref(state), ctypes.byref(spec), ptr(bits, ctypes.c_uint8), CONV_BITS,
                        ptr(out, ctypes.c_uint8), out.size)

    taps = [np.array([(p >> (6 - k)) & 1 for k in range(7)], dtype=np.uint8) for p in (0x79, 0x5B)]

    def reference():
        ref = np.empty(2 * CONV_BITS, dtype=np.uint8)
        ref[0::2] = np.convolve(bits, taps[0])[:CONV_BITS] & 1
        ref[1::2] = (np.convolve(bits, taps[1])[:CONV_BITS] & 1) ^ 1
        return ref

    state.value = 0
    ours()
    assert np.array_equal(out, reference())
    table.row("K=7 rate 1/2 encode, input bits", CONV_BITS / best_seconds(ours) / 1e6,
              CONV_BITS / best_seconds(reference) / 1e6, "np.convolve")


def bench_frame(lib, table):
    cfg = TmFrameConfig(5, 1, 1, 1)
    payload = np.random.default_rng(3).integers(0, 256, K * 5, dtype=np.uint8)
    out = np.empty(2 * (N * 5 * 8 + 32), dtype=np.uint8)
    state = ctypes.c_uint32(0)

    def run():
        n = lib.ccsds_tm_frame_encode(ctypes.byref(cfg), ctypes.byref(state), ptr(payload, ctypes.c_uint8),
                                      payload.size, ptr(out, ctypes.c_uint8), out.size)
        assert n == out.size

    table.row("frame encode, depth 5, marker+randomiser+conv", 1 / best_seconds(run) / 1e3)


def main():
    lib = kettara_lib()
    bench_rs(lib, Table("CCSDS Reed-Solomon decoding", "thousand codewords/s"))
    bench_conv(lib, Table("CCSDS convolutional encoding", "Mbit/s"))
    bench_frame(lib, Table("CCSDS telemetry frame encoding", "thousand frames/s"))


if __name__ == "__main__":
    main()
