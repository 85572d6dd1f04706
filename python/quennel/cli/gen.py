"""quennel gen: a one-source scene from options, printed or rendered."""

import argparse

from ..errors import QuennelError, UsageError
from ..scene import CRC_NAMES, MODE_NAMES, MODULATIONS, RANDOMISE_NAMES, TYPE_NAMES, one_source_scene_json
from ..units import frequency, whole_count
from . import render
from ._common import read_text


def _bits(text: str) -> str:
    """A bit string option: 0 and 1, spaces and underscores allowed; @FILE reads a file."""
    if text.startswith("@"):
        try:
            text = read_text(text[1:], "bit string file")
        except QuennelError as error:
            raise argparse.ArgumentTypeError(str(error)) from None
    bits = "".join(text.split()).replace("_", "")
    if not bits or set(bits) - {"0", "1"}:
        raise argparse.ArgumentTypeError(f"not a bit string of 0 and 1: {text[:40]!r}")
    return bits


def _symbols(text: str) -> list[float]:
    try:
        values = [float(v) for v in text.replace(",", " ").split()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a list of numbers: {text!r}") from None
    if len(values) < 2 or len(values) % 2:
        raise argparse.ArgumentTypeError("symbols are pairs re,im: give an even count of numbers")
    return values


def _numbers(count_from: int, count_to: int, what: str):
    """An option of count_from to count_to comma-separated numbers."""

    def parse(text: str) -> list[float]:
        try:
            values = [float(v) for v in text.split(",")]
        except ValueError:
            raise argparse.ArgumentTypeError(f"not {what}: {text!r}") from None
        if not count_from <= len(values) <= count_to:
            raise argparse.ArgumentTypeError(f"give {what}: {text!r}")
        return values

    return parse


def _fading(text: str) -> dict:
    """MODEL,DOPPLER[,K_DB]: rayleigh or rician fading."""
    model, _, rest = text.partition(",")
    if model not in ("rayleigh", "rician") or not rest:
        raise argparse.ArgumentTypeError(f"give rayleigh,DOPPLER or rician,DOPPLER,K_DB: {text!r}")
    values = _numbers(1, 2, "DOPPLER[,K_DB]")(rest)
    fading = {"model": model, "doppler": values[0]}
    if len(values) == 2:
        fading["k_db"] = values[1]
    return fading


def add_parser(subparsers) -> None:
    parser = subparsers.add_parser(
        "gen", help="build a one-source scene from options",
        description="Build a scene of one segment playing one source and print it as JSON, or "
                    "render it with -o. Bit strings may be read from a file with @FILE.",
        epilog="example: quennel gen --type bits --bits 1100101011110000 --sync 1110101110010000 "
               "--modulation qpsk --snr 8 --pulse rrc -o burst.sigmf-data")
    source = parser.add_argument_group("source")
    source.add_argument("--type", choices=TYPE_NAMES, default="tone", help="source type (default tone)")
    source.add_argument("--freq", metavar="F", type=frequency, help="carrier (chirp: start) frequency, in the unit of --fs")
    source.add_argument("--f-end", metavar="F", type=frequency, help="end frequency of a chirp")
    source.add_argument("--level", metavar="DB", type=float, help="gain in dB (default 0)")
    source.add_argument("--snr", metavar="DB", type=float, help="signal-to-noise ratio in dB (default 100: no noise)")
    source.add_argument("--snr-mode", choices=MODE_NAMES, help="what --snr refers to (default auto)")
    source.add_argument("--seed", metavar="N", type=int, help="seed of noise and data (default 1)")
    source.add_argument("--sps", metavar="N", type=whole_count, help="samples per symbol or chip (default 8)")
    source.add_argument("--pn-length", metavar="N", type=whole_count, help="PN register length (default 7)")
    source.add_argument("--pulse", choices=("rect", "rrc"), help="pulse shape (default rect)")
    source.add_argument("--rrc-beta", metavar="BETA", type=float, help="RRC roll-off (default 0.35)")
    source.add_argument("--rrc-span", metavar="N", type=whole_count, help="RRC half-length in symbols (default 8)")
    source.add_argument("--symbols", metavar="RE,IM,...", type=_symbols, help="symbols source: re,im pairs, e.g. 1,0,0,1,-1,0")
    frame = parser.add_argument_group("bits, frames and spreading")
    frame.add_argument("--bits", metavar="BITS", type=_bits, help="payload bits (bits and dsss sources)")
    frame.add_argument("--modulation", choices=MODULATIONS, help="bits source mapping (default bpsk)")
    frame.add_argument("--acq-code", metavar="BITS", type=_bits, help="acquisition code bits")
    frame.add_argument("--acq-reps", metavar="N", type=whole_count, help="repetitions of the acquisition code (default 1)")
    frame.add_argument("--sync", metavar="BITS", type=_bits, help="sync word bits")
    frame.add_argument("--crc", choices=CRC_NAMES, help="CRC-16 after the payload (default crc16)")
    frame.add_argument("--rs-depth", metavar="DEPTH", type=int, help="CCSDS Reed-Solomon interleave depth: 1-5 or 8")
    frame.add_argument("--randomise", choices=RANDOMISE_NAMES,
                       help="CCSDS pseudo-randomiser (default off): legacy is the 255-bit sequence most deployed "
                            "telemetry receivers expect; ccsds is the 2^17-1 sequence, for a receiver that expects that one")
    frame.add_argument("--asm", action="store_true", help="attach the CCSDS sync marker")
    frame.add_argument("--conv", action="store_true", help="rate-1/2 convolutional code")
    frame.add_argument("--data-code", metavar="CHIPS", type=_bits, help="dsss spreading code chips")
    frame.add_argument("--symbol-rate", metavar="RATE", type=frequency, help="dsss data rate (continuous spreading)")
    channel = parser.add_argument_group("impairments (in the unit of --fs, as --freq)")
    channel.add_argument("--freq-drift", metavar="RATE", type=frequency, help="carrier drift per second")
    channel.add_argument("--clock-ppm", metavar="PPM", type=float, help="the emitter's sample clock runs fast by PPM")
    channel.add_argument("--phase-noise", metavar="DBC_HZ,OFFSET", type=_numbers(2, 2, "DBC_HZ,OFFSET"),
                         help="Wiener phase noise of DBC_HZ dBc/Hz at OFFSET, falling 20 dB per decade "
                              "(negative values need the = form: --phase-noise=-80,1000)")
    channel.add_argument("--fading", metavar="MODEL,DOPPLER[,K_DB]", type=_fading,
                         help="rayleigh or rician fading of that Doppler (and K factor)")
    channel.add_argument("--iq-imbalance", metavar="GAIN_DB,PHASE_DEG", type=_numbers(2, 2, "GAIN_DB,PHASE_DEG"),
                         help="the receiver's IQ gain and phase imbalance")
    segment = parser.add_argument_group("segment")
    segment.add_argument("--fs", metavar="FS", type=frequency, default=1e6, help="sample rate (default 1e6)")
    segment.add_argument("--samples", metavar="N", type=whole_count, default=10000, help="samples of the on part (default 10000)")
    segment.add_argument("--off", metavar="N", type=whole_count, default=0, help="samples of the gap after it")
    segment.add_argument("--delay", metavar="N", type=whole_count, default=0, help="samples of the gap before it")
    segment.add_argument("--repeats", metavar="N", type=whole_count, default=1, help="instances of the segment")
    output = parser.add_argument_group("rendering (with -o)")
    render.add_output_options(output, required=False)
    parser.set_defaults(run=run)


_SOURCE_KEYS = ("freq", "f_end", "level", "snr", "snr_mode", "seed", "sps", "pn_length", "rrc_beta", "rrc_span",
                "modulation", "acq_code", "acq_reps", "sync", "crc", "rs_depth", "randomise", "data_code",
                "symbol_rate", "symbols")


def source_keys(args) -> dict:
    """The scene keys of the source the options describe (unset options keep their defaults)."""
    source = {"type": args.type}
    source.update({key: getattr(args, key) for key in _SOURCE_KEYS if getattr(args, key) is not None})
    if args.bits is not None:
        source["payload" if args.type == "dsss" else "pattern"] = args.bits
    if args.pulse == "rrc":
        source["pulse"] = "rrc"
    if args.asm:
        source["asm"] = True
    if args.conv:
        source["conv"] = True
    channel = {}
    if args.freq_drift is not None:
        channel["freq_drift"] = args.freq_drift
    if args.clock_ppm is not None:
        channel["clock_ppm"] = args.clock_ppm
    if args.phase_noise is not None:
        channel["phase_noise"] = {"dbc_hz": args.phase_noise[0], "offset": args.phase_noise[1]}
    if args.fading is not None:
        channel["fading"] = args.fading
    if channel:
        source["channel"] = channel
    if args.iq_imbalance is not None:
        source["frontend"] = {"iq_imbalance": {"gain_db": args.iq_imbalance[0], "phase_deg": args.iq_imbalance[1]}}
    return source


def run(args) -> int | None:
    for name in ("samples", "off", "delay", "repeats"):
        if getattr(args, name) < 0:
            raise UsageError(f"--{name} must not be negative")
    text = one_source_scene_json(source_keys(args), args.fs, args.samples, args.off, args.delay, args.repeats)
    if args.output is None:
        print(text)
        return None
    return render.render_scene(text, "generated scene", args)
