/* Polyphase resampler of cf32 streams: a bank of P filter phases of T taps each, chosen by
 * the upper bits of a 32-bit phase accumulator. Block interpolation and decimation at a
 * fixed ratio, output-driven interpolation, and variable-ratio resampling one input at a time. */
#ifndef RESAMP_CORE_H
#define RESAMP_CORE_H

#include "qn_api.h"

QN_EXTERN_C_BEGIN

/* Null arguments follow the null rule of qn_api.h. */

typedef struct Resamp Resamp;

/* rate = output rate / input rate, with the built-in Kaiser-windowed sinc bank of 4,096
 * phases x 19 taps. Null when the rate is refused (below) or allocation fails. */
QN_API Resamp *resamp_create(double rate);
/* Copies the phase-major bank of P x T taps (phase p at entries p*T ... p*T + T - 1).
 * Null when P is not a power of two up to 2^32, T is 0, bank is null, the rate is not a
 * finite positive number whose accumulator step is usable (rate 1 exactly, or between 2^-32
 * and 2^32), or allocation fails; the caller's bank is never freed. */
QN_API Resamp *resamp_create_custom(size_t num_phases, size_t num_taps, const float *bank, double rate);
QN_API void resamp_destroy(Resamp *r);
/* Clears the history, accumulators and variable-ratio counters. */
QN_API void resamp_reset(Resamp *r);

QN_API double resamp_get_rate(const Resamp *r);
/* Changes the ratio keeping the history; a rate creation would refuse is ignored. */
QN_API void resamp_set_rate(Resamp *r, double rate);
QN_API size_t resamp_get_num_phases(const Resamp *r);
QN_API size_t resamp_get_num_taps(const Resamp *r);
/* Sum of the taps of phase 0, in double precision. */
QN_API double resamp_dc_gain(const Resamp *r);
/* The fractional phase of the variable-ratio mode, in [0, 1). */
QN_API double resamp_get_ctrl_acc(const Resamp *r);

/* Inputs that resamp_interp_fill consumes for n_out outputs from the current phase. */
QN_API size_t resamp_interp_inputs_needed(const Resamp *r, size_t n_out);
/* Writes n_out interpolated outputs, each computed before the input that completes its
 * step is pushed; consumes exactly resamp_interp_inputs_needed(n_out) inputs, returns that. */
QN_API size_t resamp_interp_fill(Resamp *r, const cf32 *in, cf32 *out, size_t n_out);
/* Resamples the block in (interpolation when rate >= 1, else decimation) until the inputs
 * run out or out holds out_cap samples; returns the outputs written. */
QN_API size_t resamp_execute(Resamp *r, const cf32 *in, size_t n_in, cf32 *out, size_t out_cap);
/* Pushes one input at the ratio rate + ctrl; returns the outputs written (outputs that did
 * not fit come with later pushes). */
QN_API size_t resamp_execute_ctrl_push(Resamp *r, cf32 *out, size_t out_cap, cf32 x, double ctrl);
/* resamp_execute_ctrl_push for each input in turn while there is room; returns the outputs. */
QN_API size_t resamp_execute_ctrl(Resamp *r, const cf32 *in, const double *ctrl, size_t n_in, cf32 *out,
                                  size_t out_cap);

/* Running state as an "RSMP" blob of 40 + 16 L + 8 T (+ 8 (T - 1) when T >= 2) bytes, L the
 * history ring length; set returns QN_OK, or QN_ERR_STATE and changes nothing when the
 * header, size or ring position does not fit this resampler. */
QN_API size_t resamp_state_bytes(const Resamp *r);
QN_API void resamp_get_state(const Resamp *r, void *out);
QN_API int resamp_set_state(Resamp *r, const void *blob);

QN_EXTERN_C_END

#endif
