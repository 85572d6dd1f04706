/* Deterministic draws of ranged scene values and the spans of a scene's instances.
 *
 * A draw has no generator state: it is a pure function of a key naming exactly which
 * value is drawn (seed, pass over the scene, instance, segment, source, field), so the
 * composer, the render plan and the capture metadata agree on every drawn value.
 * Both kettara and tolvane carry this unit with identical behaviour. */
#ifndef WFM_DRAW_H
#define WFM_DRAW_H

#include "qn_api.h"
#include "wfm_spec.h"

QN_EXTERN_C_BEGIN

/* Null arguments follow the null rule of qn_api.h. */

/* Where one instance of one segment falls in the first pass of a scene. */
typedef struct ComposeSpan {
    uint64_t segment;  /* segment index */
    uint64_t instance; /* instance index within the segment */
    uint64_t start;    /* offset of the instance's first sample (its lead-in gap) */
    uint64_t delay;    /* lead-in gap length */
    uint64_t num;      /* on-part length */
    uint64_t off;      /* off-gap length */
} ComposeSpan;

/* A value in [lo, hi) (in (hi, lo] when hi < lo); field is the range-flag bit of the value. */
QN_API double wfm_draw_range(uint32_t seed, uint32_t pass, uint64_t instance, uint64_t segment,
                             uint64_t source, uint32_t field, double lo, double hi);

/* A sample count in [lo, hi]; lo and hi come up about half as often as an inner value. */
QN_API uint64_t wfm_draw_samples(int32_t seed, int32_t pass, uint64_t instance, uint64_t segment,
                                 int32_t field, uint64_t lo, uint64_t hi);

/* Lists every instance of the first pass of the scene into out (at most max_out records;
 * out may be null) and returns the total number of instances. Starts saturate at the
 * largest count instead of wrapping. */
QN_API uint64_t wfm_compose_spans(const SegmentSpec *segments, uint64_t n, ComposeSpan *out,
                                  uint64_t max_out);

/* The lengths of one instance: fixed, or drawn when ranged. */
typedef struct WfmInstanceLengths {
    uint64_t num;
    uint64_t off;
    uint64_t delay;
} WfmInstanceLengths;

/* Seed of a segment's draws: the seed of its first source, 1 when it has none. */
QN_API uint32_t wfm_draw_segment_seed(const SegmentSpec *segment);

/* Lengths of instance `instance` of segment `segment_index` in pass `pass`. */
QN_API WfmInstanceLengths wfm_draw_instance_lengths(const SegmentSpec *segment, uint32_t pass,
                                                    uint64_t instance, uint64_t segment_index);

/* The values of one source for one instance: fixed, or drawn when ranged. */
typedef struct WfmSourceValues {
    double freq;
    double snr;
    double level;
    double f_end;
} WfmSourceValues;

/* Values of source `source` of segment `segment_index` for instance `instance` of pass
 * `pass`, drawn with the source's own seed in the order freq, snr, level, f_end. */
QN_API WfmSourceValues wfm_draw_source_values(const SourceSpec *src, uint32_t pass,
                                              uint64_t instance, uint64_t segment_index,
                                              uint64_t source);

QN_EXTERN_C_END

#endif
