/* Scene text: the lenient parser that turns a JSON scene into a composer, and the writer
 * that turns scene records back into JSON.
 *
 * Scene numbers come from users and are converted without ever overflowing:
 * - counts (num_samples, off_samples, delay_samples, repeats, acq_reps, pn_poly) are
 *   truncated toward zero; negative and NaN values give 0, values beyond the largest
 *   count give the largest count;
 * - 32-bit fields (sps, pn_length, rs_depth, rrc_span) are truncated and clamp to the
 *   32-bit signed range, NaN giving 0;
 * - a seed is truncated to a 64-bit signed integer (clamping, NaN giving 0) and reduced
 *   modulo 2^32: -1 gives 4294967295, 4294967297 gives 1. Render overrides read seeds
 *   the same way;
 * - symbol components beyond the float range become infinities.
 * Unrecognised names map to fixed defaults; keys with a value of the wrong JSON type
 * count as absent. */
#ifndef WFM_JSON_H
#define WFM_JSON_H

#include "qn_api.h"
#include "wfm_compose.h"
#include "wfm_spec.h"

QN_EXTERN_C_BEGIN

/* Null arguments follow the null rule of qn_api.h. */

/* A composer for the scene text; null when the text is not a scene or composition fails. */
QN_API Composer *wfm_compose_from_json(const char *json);
/* As wfm_compose_from_json, for the text of a file. */
QN_API Composer *wfm_compose_from_file(const char *path);

/* Scene JSON for the segments (formatted by cJSON; free it with cJSON_free). Null only
 * when memory runs out. Parsing the text gives the same records back, except fields the
 * writer leaves out for the source's type, which return at their parse defaults. */
QN_API char *wfm_spec_to_json(const SegmentSpec *segments, uint64_t n, int32_t repeat,
                              int32_t continuous, int32_t seed_advance, double headroom);
/* An example scene (tone; QPSK bits with RRC shaping; BPSK plus tone), as text to free
 * with cJSON_free. */
QN_API char *wfm_spec_template_json(void);
/* The refusal message (the text of wfm_source_error: framing, or a parameter the type does
 * not support) of the first source of the scene text that is refused; null when every
 * source is valid or the text is not a scene. */
QN_API const char *wfm_spec_frame_error(const char *json);
/* Scene text parsed by the rules above and written back as wfm_spec_to_json writes it (the
 * sources as the scene states them, before noise resolution); null when the text is not a
 * scene. Free it with cJSON_free. */
QN_API char *wfm_spec_normalise(const char *json);
/* The top-level "headroom" number of scene text; 0 when absent, not a number or unparsable. */
QN_API double wfm_spec_headroom(const char *json);

QN_EXTERN_C_END

#endif
