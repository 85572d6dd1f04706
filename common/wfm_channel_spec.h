/* Parsed impairments: the "channel" of a source (its transmitter and path) and the
 * "frontend" of a segment (the receiver). Both records are flat, so a copy is one memcpy;
 * a source or segment without them holds a null pointer and renders as before. */
#ifndef WFM_CHANNEL_SPEC_H
#define WFM_CHANNEL_SPEC_H

#include "qn_api.h"

QN_EXTERN_C_BEGIN

/* A number or a range [lo, hi] drawn per instance like the other ranged scene values. */
typedef struct WfmChannelValue {
    double lo;
    double hi;
    uint32_t ranged;
} WfmChannelValue;

enum { WFM_PA_NONE = 0, WFM_PA_RAPP, WFM_PA_SALEH, WFM_PA_CUBIC };
enum { WFM_FADING_NONE = 0, WFM_FADING_RAYLEIGH, WFM_FADING_RICIAN };
enum { WFM_CHANNEL_MAX_PATHS = 16, WFM_CHANNEL_MAX_PROFILE = 64 };

/* The draw fields of the ranged channel keys (distinct from the range-flag bits of the
 * source's own values, which stay below them). */
enum {
    WFM_DRAW_FREQ_DRIFT = 0x80,
    WFM_DRAW_CLOCK_PPM,
    WFM_DRAW_TIMING_OFFSET,
    WFM_DRAW_DOPPLER,
    WFM_DRAW_K_DB,
    WFM_DRAW_DBC_HZ,
    WFM_DRAW_DRIVE_DB,
    WFM_DRAW_IQ_GAIN_DB,
    WFM_DRAW_IQ_PHASE_DEG
};

typedef struct WfmChannelSpec {
    /* amplifier */
    uint32_t pa_model;
    double pa_smoothness;
    double pa_saturation;
    double saleh_alpha_a, saleh_beta_a, saleh_alpha_p, saleh_beta_p;
    double pa_iip3_db;
    WfmChannelValue pa_drive_db;
    /* phase noise */
    uint32_t has_phase_noise;
    WfmChannelValue pn_dbc_hz;
    double pn_offset;
    uint32_t pn_has_floor;
    double pn_floor_dbc_hz;
    /* frequency: drift and a piecewise-linear profile of (time s, offset), in the unit of fs */
    WfmChannelValue freq_drift;
    uint64_t n_profile;
    double profile_t[WFM_CHANNEL_MAX_PROFILE];
    double profile_df[WFM_CHANNEL_MAX_PROFILE];
    /* timing */
    WfmChannelValue clock_ppm;
    WfmChannelValue timing_offset;
    /* static taps: delays in samples, gains in dB, phases in radians */
    uint64_t n_delays, n_gains, n_phases;
    double path_delay[WFM_CHANNEL_MAX_PATHS];
    double path_gain_db[WFM_CHANNEL_MAX_PATHS];
    double path_phase[WFM_CHANNEL_MAX_PATHS];
    uint32_t normalise;
    /* fading */
    uint32_t fading_model;
    WfmChannelValue doppler;
    WfmChannelValue k_db;
    uint32_t sinusoids;
    /* Why the parser could not take the object as written (static text), or null. */
    const char *refusal;
} WfmChannelSpec;

typedef struct WfmFrontendSpec {
    uint32_t has_iq_imbalance;
    WfmChannelValue iq_gain_db;
    WfmChannelValue iq_phase_deg;
    uint32_t has_dc_offset;
    double dc_re, dc_im;
    const char *refusal;
} WfmFrontendSpec;

QN_EXTERN_C_END

#endif
