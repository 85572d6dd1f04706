/* Render plans: a scene prepared once for fast repeated rendering.
 *
 * Building a plan synthesises every signal source of every segment once into its own
 * cache (background sources folded into one cache per segment); the noise floor is kept
 * as a description. A render adds the caches with their gains, phases and enables and
 * regenerates the noise from a seed, in the composer's exact float order, so a render
 * without overrides equals the composition of the scene bit for bit.
 *
 * A finished plan is immutable: any number of threads may render it at once into
 * different buffers. A plan can be saved to a self-contained "PLN0" blob (native byte
 * order, embedding the scene text and every cache) and restored without synthesis. */
#ifndef KETTARA_H
#define KETTARA_H

#include "qn_api.h"

QN_EXTERN_C_BEGIN

/* Null arguments follow the null rule of qn_api.h; null override text means no overrides. */

typedef struct Plan Plan;

/* Builds the plan of a scene, or returns null when the text does not parse, the scene
 * cannot be planned (repeating, ranged on-part lengths or source values, mixed sample
 * rates, misplaced background or noise sources, no signal source) or memory runs out. */
QN_API Plan *kettara_prepare(const char *spec_json);
/* Why kettara_prepare refuses the scene, as text that names the rule, the segment and
 * source (counted from 1) and what to do instead, from the checks the build runs before
 * it synthesises anything. Writes at most out_cap - 1 characters and a NUL into out and
 * returns the length of the whole text; 0 when those checks pass (a build can then still
 * fail for want of memory). A null out (or out_cap 0) only asks for the length. */
QN_API size_t kettara_refusal(const char *spec_json, char *out, size_t out_cap);
/* Frees the plan and everything it owns. */
QN_API void kettara_destroy(Plan *plan);
/* Worst-case output length in samples (every ranged gap at its upper bound). */
QN_API uint64_t kettara_len(const Plan *plan);
/* Number of caches, the length of the per-source override arrays. */
QN_API uint64_t kettara_n_sources(const Plan *plan);

/* Renders the plan into out, which must hold kettara_len(plan) samples (all of them are
 * set first). overrides_json is null or an object with the optional keys
 *   "gains"  [dB per cache]     replaces each cache's gain,
 *   "phases" [rad per cache]    rotates each cache,
 *   "enable" [value per cache]  true or a nonzero number keeps a cache, anything else mutes it,
 *   "snr"    dB                 moves the noise floor (or a lone source's own noise),
 *   "seed"   number             replaces every noise seed, and moves every timing-draw seed
 *                               (a segment's first source seed) by seed - kettara_anchor_seed,
 *                               so that the anchor seed keeps the scene's own gaps,
 *   "fading_seed" number        fades every fading source afresh, source k from this seed
 *                               plus its seed less the first fading source's (so that seed
 *                               itself renders the scene's own fading),
 *   "freq_offsets" [per cache]  turns each cache by exp(j 2 pi df n / fs) over its on part;
 * arrays of the wrong length or type are ignored, as is text that does not parse.
 * Returns the number of samples rendered (at most kettara_len). */
QN_API uint64_t kettara_render(const Plan *plan, const char *overrides_json, cf32 *out);
/* The fast path of a sweep: kettara_render with only "snr" and "seed" (low 32 bits of seed). */
QN_API uint64_t kettara_at(const Plan *plan, uint64_t seed, cf32 *out, double snr);
/* The seed that, passed to kettara_at with the scene's own snr, reproduces the composition
 * of a single-segment scene, ranged gaps included: the floor seed of the first segment with
 * noise; 0 when none. */
QN_API uint64_t kettara_anchor_seed(const Plan *plan);

/* A render that streams: the samples kettara_render(plan, overrides_json) gives for the
 * scene's plan, in successive reads of any size, with each source synthesised as the render
 * reaches it instead of cached, so that memory does not grow with the length of the scene.
 * The scenes it takes are those kettara_prepare takes, whatever their length. */
typedef struct KettaraStream KettaraStream;

/* The stream of the scene with the overrides (null: none); null when a plan of the scene is
 * refused for another reason than the memory of its caches (kettara_stream_refusal says why),
 * a source's synthesiser cannot be built, or memory runs out. */
QN_API KettaraStream *kettara_stream_create(const char *spec_json, const char *overrides_json);
/* As kettara_refusal, for a stream: the memory its caches would need is no reason. */
QN_API size_t kettara_stream_refusal(const char *spec_json, char *out, size_t out_cap);
/* Writes the next samples, at most n, into out; fewer than n only at the end of the render,
 * or when memory for a synthesiser ran out on the way (kettara_stream_failed then says 1). */
QN_API uint64_t kettara_stream_read(KettaraStream *stream, cf32 *out, uint64_t n);
/* 1 when the stream stopped early for want of memory, else 0. */
QN_API int32_t kettara_stream_failed(const KettaraStream *stream);
/* The render's worst-case length, kettara_len of the scene's plan. */
QN_API uint64_t kettara_stream_len(const KettaraStream *stream);
/* The cached sources of the scene's plan, kettara_n_sources: the length of the override arrays. */
QN_API uint64_t kettara_stream_n_sources(const KettaraStream *stream);
QN_API void kettara_stream_destroy(KettaraStream *stream);

/* Size of the plan's blob in bytes. */
QN_API uint64_t kettara_save_bytes(const Plan *plan);
/* Writes the blob into out (kettara_save_bytes bytes); returns that size. */
QN_API uint64_t kettara_save(const Plan *plan, void *out);
/* Restores a plan from a blob. A wrong header or a blob too short for its scene text gives
 * null; damaged or unlicensed caches are synthesised again from the scene text. */
QN_API Plan *kettara_restore(const void *blob, uint64_t size);
/* Writes the blob to a file: QN_OK, or QN_ERR_INVALID on any failure. */
QN_API int32_t kettara_dump(const Plan *plan, const char *path);
/* Restores a plan from a file written by kettara_dump; null on failure. */
QN_API Plan *kettara_load(const char *path);

QN_EXTERN_C_END

#endif
