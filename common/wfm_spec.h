/* Parsed scene records: one SourceSpec per summed source, one SegmentSpec per segment,
 * the name tables of their coded fields and the range-flag bits of ranged values. */
#ifndef WFM_SPEC_H
#define WFM_SPEC_H

#include "qn_api.h"
#include "wfm_channel_spec.h"

QN_EXTERN_C_BEGIN

/* The name tables are exported by kettara; tolvane keeps its own hidden copy. */
#if defined(QUENNEL_BUILDING_TOLVANE)
#define WFM_NAMES_API
#else
#define WFM_NAMES_API QN_API
#endif

enum {
    WFM_TYPE_TONE = 0, WFM_TYPE_NOISE, WFM_TYPE_PN, WFM_TYPE_BPSK, WFM_TYPE_QPSK,
    WFM_TYPE_CHIRP, WFM_TYPE_BITS, WFM_TYPE_SYMBOLS, WFM_TYPE_DSSS,
    /* Linear modulations whose data comes from the PN generator. */
    WFM_TYPE_8PSK, WFM_TYPE_16PSK, WFM_TYPE_32PSK, WFM_TYPE_64PSK,
    WFM_TYPE_16QAM, WFM_TYPE_64QAM, WFM_TYPE_256QAM, WFM_TYPE_1024QAM,
    WFM_TYPE_OQPSK, WFM_TYPE_PI4QPSK, WFM_TYPE_OOK, WFM_TYPE_4ASK, WFM_TYPE_8ASK,
    WFM_TYPE_32QAM, WFM_TYPE_128QAM, WFM_TYPE_16APSK, WFM_TYPE_32APSK,
    WFM_TYPE_COUNT
};
enum { WFM_MODE_AUTO = 0, WFM_MODE_FS, WFM_MODE_EBNO, WFM_MODE_ESNO, WFM_MODE_COUNT };
enum { WFM_LFSR_GALOIS = 0, WFM_LFSR_FIBONACCI, WFM_LFSR_COUNT };
/* Mappings of a bits source: on-off keying at amplitude 1, then the linear modulations of
 * the types of the same names. */
enum {
    WFM_BITMOD_NONE = 0, WFM_BITMOD_BPSK, WFM_BITMOD_QPSK,
    WFM_BITMOD_8PSK, WFM_BITMOD_16PSK, WFM_BITMOD_32PSK, WFM_BITMOD_64PSK,
    WFM_BITMOD_16QAM, WFM_BITMOD_64QAM, WFM_BITMOD_256QAM, WFM_BITMOD_1024QAM,
    WFM_BITMOD_OQPSK, WFM_BITMOD_PI4QPSK, WFM_BITMOD_OOK, WFM_BITMOD_4ASK, WFM_BITMOD_8ASK,
    WFM_BITMOD_32QAM, WFM_BITMOD_128QAM, WFM_BITMOD_16APSK, WFM_BITMOD_32APSK,
    WFM_BITMOD_COUNT
};
enum { WFM_CRC_NONE = 0, WFM_CRC_16, WFM_CRC_COUNT };
enum { WFM_SEED_ADVANCE_NONE = 0, WFM_SEED_ADVANCE_NOISE, WFM_SEED_ADVANCE_ALL, WFM_SEED_ADVANCE_COUNT };
enum { WFM_RANDOMISE_OFF = 0, WFM_RANDOMISE_CCSDS, WFM_RANDOMISE_LEGACY };

WFM_NAMES_API extern const char *const TYPE_NAMES[WFM_TYPE_COUNT];
WFM_NAMES_API extern const char *const MODE_NAMES[WFM_MODE_COUNT];
WFM_NAMES_API extern const char *const LFSR_NAMES[WFM_LFSR_COUNT];
WFM_NAMES_API extern const char *const BITMOD_NAMES[WFM_BITMOD_COUNT];
WFM_NAMES_API extern const char *const CRC_NAMES[WFM_CRC_COUNT];
WFM_NAMES_API extern const char *const SEED_ADVANCE_NAMES[WFM_SEED_ADVANCE_COUNT];

/* Range flags: which values were given as [lo, hi]; also the field selectors of the draws. */
enum {
    WFM_RANGE_FREQ = 0x01,
    WFM_RANGE_SNR = 0x02,
    WFM_RANGE_LEVEL = 0x04,
    WFM_RANGE_F_END = 0x08,
    WFM_RANGE_NUM_SAMPLES = 0x10,
    WFM_RANGE_OFF_SAMPLES = 0x20,
    WFM_RANGE_DELAY_SAMPLES = 0x40
};

/* One source. Bit arrays hold one bit per byte and are owned by the record. */
typedef struct SourceSpec {
    uint32_t type;
    double freq;
    double snr;
    uint32_t snr_mode;
    uint32_t seed;
    int32_t sps;
    int32_t pn_length;
    uint64_t pn_poly;
    uint32_t lfsr;
    double level;
    uint32_t background;
    double f_end;
    uint8_t *pattern;
    uint64_t pattern_len;
    uint32_t modulation;
    cf32 *symbols;
    uint64_t n_symbols;
    uint32_t pulse_rrc;
    double rrc_beta;
    int32_t rrc_span;
    uint32_t range_flags;
    double freq_hi;
    double snr_hi;
    double level_hi;
    double f_end_hi;
    uint8_t *acq_code;
    uint64_t acq_code_len;
    uint64_t acq_reps;
    uint8_t *data_code;
    uint64_t data_code_len;
    uint8_t *sync;
    uint64_t sync_len;
    uint32_t crc;
    double symbol_rate;
    uint32_t data_none;
    int32_t rs_depth;
    uint32_t randomise;
    uint32_t asm_; /* "asm": attach the CCSDS sync marker (asm is a C++ keyword) */
    uint32_t conv;
    WfmChannelSpec *channel; /* owned; null: no impairments */
    /* "apsk_rings": ring radius ratios to the inner ring of 16apsk (one) and 32apsk (two);
     * n_apsk_rings is the count given (0: the type's defaults), at most two are kept. */
    double apsk_rings[2];
    uint32_t n_apsk_rings;
} SourceSpec;

/* One segment: its summed sources (owned) and its timing. */
typedef struct SegmentSpec {
    SourceSpec *sources;
    uint64_t n_sources;
    double fs;
    uint64_t num_samples;
    uint64_t off_samples;
    uint32_t range_flags;
    uint64_t num_samples_hi;
    uint64_t off_samples_hi;
    uint64_t repeats;
    uint64_t delay_samples;
    uint64_t delay_samples_hi;
    uint32_t gap_noise_off;
    WfmFrontendSpec *frontend; /* owned; null: an ideal receiver */
} SegmentSpec;

QN_EXTERN_C_END

#endif
