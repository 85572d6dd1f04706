/* Streaming composition of a scene: the segments are played in order, each instance a
 * lead-in gap, an on part summing every source of the segment, and an off gap; the
 * stream ends after the last segment or wraps around when the scene repeats. */
#ifndef WFM_COMPOSE_H
#define WFM_COMPOSE_H

#include "qn_api.h"
#include "wfm_spec.h"
#include "wfm_synth_core.h"

QN_EXTERN_C_BEGIN

/* Null arguments follow the null rule of qn_api.h. */

typedef struct Composer Composer;

/* A composer over deep copies of the segments (the caller keeps its own), with the first
 * instance started. Null when segments is null or n is 0, a source's framing options are
 * refused, noise resolution fails, or memory runs out. repeat or continuous nonzero:
 * the stream wraps around after the last segment. */
QN_API Composer *wfm_compose_create(const SegmentSpec *segments, uint64_t n, int32_t repeat,
                                    int32_t continuous);
/* Fills out with the next n samples; fewer than n only when the stream has ended. Block
 * sizes do not change the samples. A repeating scene whose pass can yield no sample ends. */
QN_API uint64_t wfm_compose_execute(Composer *c, cf32 *out, uint64_t n);
/* Destroys the composer and everything it owns. */
QN_API void wfm_compose_destroy(Composer *c);
/* The composer's own (noise-resolved) segments; each out pointer may be null. */
QN_API const SegmentSpec *wfm_compose_segments(const Composer *c, uint64_t *n_out,
                                               int32_t *repeat_out, int32_t *continuous_out);
/* How seeds move on between passes of a repeating scene: WFM_SEED_ADVANCE_NONE (every
 * pass repeats the first), _NOISE (fresh noise) or _ALL (fresh noise and data).
 * Ignored for an unknown mode. */
QN_API void wfm_compose_set_seed_advance(Composer *c, uint32_t mode);
QN_API uint32_t wfm_compose_seed_advance(const Composer *c);

/* The synthesiser of one source for one instance, exactly as the composer builds it:
 * chirp_span is the instance's on-part length; freq, snr and f_end the values drawn for
 * the instance. Null when the synthesiser cannot be created, an attachment refuses the
 * source, or its RRC taps cannot be sized or allocated. */
QN_API Synth *wfm_compose_build_synth(const SourceSpec *src, uint64_t chirp_span, uint32_t pass,
                                      int32_t seed_advance, uint64_t instance, double fs,
                                      double freq, double snr, double f_end);

QN_EXTERN_C_END

#endif
