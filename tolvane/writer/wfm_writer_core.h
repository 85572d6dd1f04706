/* Capture writer: cf32 samples to raw, CSV, attached BLUE or SigMF files, with gain,
 * peak and clipping tracking, BLUE keywords and the SigMF metadata sidecar. */
#ifndef WFM_WRITER_CORE_H
#define WFM_WRITER_CORE_H

#include <stdio.h>

#include "qn_api.h"
#include "tolvane_core.h"
#include "wfm_spec.h"

QN_EXTERN_C_BEGIN

/* Null arguments follow the null rule of qn_api.h, except that closing a null writer gives
 * QN_OK and its peak in dBFS is minus infinity, as for a writer that stored only zeros. */

/* file_type is one of TOLVANE_FTYPE_*, sample_type one of the complex TOLVANE_STYPE_* (cf32 ..
 * cu16; BLUE has no cu8 or cu16). */
typedef struct Writer Writer;

/* Creates (truncating) the file at path and a writer on it. A SigMF path must end in
 * ".sigmf-data"; sigmf_sidecar also asks a raw or CSV capture for a ".sigmf-meta"
 * sidecar. atten_db attenuates: the gain becomes 10^(-atten_db/20). Null on failure. */
QN_API Writer *wfm_writer_create(const char *path, int32_t file_type, int32_t sample_type,
                                 int32_t big_endian, uint64_t num_samples, int32_t sigmf_sidecar,
                                 double fs, double fc, double atten_db, double t0);

/* A detached BLUE capture: the header file at header_path (HCB with detached 1 and
 * data_start 0, keyword area and extended header) and the samples in base + ".det"
 * beside it, base being header_path up to its last "." after the last "/". The close
 * patches data_size in the header file, as for an attached capture. Null on failure,
 * and when header_path itself names the ".det" payload. Both files are truncated only
 * once both could be opened: when either cannot be, existing files are left as they
 * were and no new one is left behind. */
QN_API Writer *wfm_writer_create_detached(const char *header_path, int32_t sample_type, int32_t big_endian,
                                          uint64_t num_samples, double fs, double fc, double atten_db,
                                          double t0);

/* A writer on the caller's open file, which it never closes. A BLUE header is written
 * (and flushed) at once, so the file must be positioned at its start. Null on failure. */
QN_API Writer *wfm_writer_open(FILE *file, int32_t file_type, int32_t sample_type, int32_t big_endian,
                               uint64_t num_samples, double fs, double fc, double t0);

/* Stores count samples; returns the number stored. After a failed write the writer
 * stores nothing more and its close reports QN_ERR_INVALID. */
QN_API uint64_t wfm_writer_write(Writer *writer, const cf32 *samples, uint64_t count);

/* Adds a typed keyword to a BLUE capture (written at close). QN_OK, or QN_ERR_INVALID. */
QN_API int wfm_writer_add_keyword(Writer *writer, const char *tag, char type, const void *values,
                                  uint64_t count);

QN_API int wfm_writer_flush(Writer *writer);
QN_API void wfm_writer_set_gain(Writer *writer, double gain);
QN_API void wfm_writer_track_clipping(Writer *writer, int32_t on);

/* Largest absolute component written (after the gain). */
QN_API double wfm_writer_peak(const Writer *writer);
QN_API double wfm_writer_get_peak_dbfs(const Writer *writer);
/* 1 when an integer capture saw a component beyond full scale. */
QN_API int32_t wfm_writer_get_clipped(const Writer *writer);
/* Clipped components over all components written (tracking must be on). */
QN_API double wfm_writer_clip_fraction(const Writer *writer);
QN_API double wfm_writer_get_clip_fraction(const Writer *writer);

/* Finishes the capture (BLUE: real data_size, keyword area, extended header; SigMF
 * sidecar) and frees the writer whatever the result. QN_OK, or QN_ERR_INVALID. */
QN_API int wfm_writer_close(Writer *writer);
QN_API int wfm_writer_destroy(Writer *writer);

/* SigMF metadata text for a capture, with one annotation per source occurrence of the
 * scene when segments are given (null and 0 for none). t0 in UNIX seconds, 0 for none.
 * The caller frees the result with free; null when it cannot be built. */
QN_API char *wfm_sigmf_meta_json(int32_t sample_type, int32_t big_endian, const SegmentSpec *segments,
                                 uint64_t segment_count, double fs, double fc, double t0);

QN_EXTERN_C_END

#endif
