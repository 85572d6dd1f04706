/* Numerically controlled oscillator: a 32-bit phase accumulator whose upper 16 bits index
 * a shared table of 65,536 sine values; one unit-magnitude cf32 sample per step. */
#ifndef LO_CORE_H
#define LO_CORE_H

#include "qn_api.h"

QN_EXTERN_C_BEGIN

/* Null arguments follow the null rule of qn_api.h. */

/* The oscillator record; callers may embed one and set it up with lo_init. */
typedef struct Lo {
    uint32_t phase;     /* current phase in units of 2^-32 turn */
    uint32_t phase_inc; /* per-sample increment in units of 2^-32 turn */
    double norm_freq;   /* the frequency in cycles per sample exactly as last given */
} Lo;

/* Entry i is the single-precision sine of (float)i * (float)(2 pi / 65536); filled on the
 * first lo_init or lo_create of the process (all zeros before), read-only afterwards.
 * Cosine is the entry a quarter turn (16,384 entries) ahead. */
QN_API extern float lo_sin_lut[65536];

/* A new oscillator at norm_freq; null when allocation fails. */
QN_API Lo *lo_create(double norm_freq);
/* Fills the table if needed, phase 0, increment from norm_freq (wrapped into [0, 1)). */
QN_API void lo_init(Lo *lo, double norm_freq);
QN_API void lo_destroy(Lo *lo);
/* Phase back to 0; the frequency is kept. */
QN_API void lo_reset(Lo *lo);

QN_API double lo_get_norm_freq(const Lo *lo);
/* Recomputes the increment; the phase is left unchanged. */
QN_API void lo_set_norm_freq(Lo *lo, double norm_freq);
QN_API uint32_t lo_get_phase(const Lo *lo);
QN_API void lo_set_phase(Lo *lo, uint32_t phase);
QN_API uint32_t lo_get_phase_inc(const Lo *lo);

/* Advisory chunk size (65,536); the step functions do not enforce it. */
QN_API size_t lo_steps_max_out(void);
QN_API size_t lo_steps_ctrl_max_out(void);

/* Writes min(n, out_cap) samples and returns that count. */
QN_API size_t lo_steps(Lo *lo, size_t n, cf32 *out, size_t out_cap);
/* As lo_steps, with ctrl[k] an extra frequency (cycles per sample) added to the phase after
 * sample k; the configured frequency is not changed. */
QN_API size_t lo_steps_ctrl(Lo *lo, const double *ctrl, size_t n, cf32 *out, size_t out_cap);

/* Running state (the phase) as a 20-byte "LO__" blob; set returns QN_OK, or QN_ERR_STATE and
 * changes nothing when the header does not match. */
QN_API size_t lo_state_bytes(const Lo *lo);
QN_API void lo_get_state(const Lo *lo, void *out);
QN_API int lo_set_state(Lo *lo, const void *blob);

QN_EXTERN_C_END

#endif
