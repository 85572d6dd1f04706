/* Writing the 512-byte BLUE header control block. */
#ifndef TOLVANE_WRITE_BLUE_HEADER_H
#define TOLVANE_WRITE_BLUE_HEADER_H

#include <stdio.h>

#include "qn_api.h"
#include "tolvane_core.h"

QN_EXTERN_C_BEGIN

/* Null arguments follow the null rule of qn_api.h. */

/* Writes one header control block at the stream's current position: sample type
 * stype one of TOLVANE_STYPE_* (written as "CF" .. "CB"), big-endian or
 * little-endian fields, data_size = num_samples x bytes per sample, the detached
 * flag, 1/fs as xdelta, "FREQ=" of fc in the keyword area when fc is not 0,
 * data_start as given and t0 (UNIX seconds, 0 = not set) as the 1950-based timecode.
 * Returns QN_OK when all 512 bytes were written, QN_ERR_INVALID on a refused argument or a
 * short write. */
QN_API int wfm_blue_write_hcb(FILE *file, int32_t stype, int big_endian, uint64_t num_samples,
                              int detached, double fs, double fc, double data_start, double t0);

/* Creates (truncates) the file at path and writes one header control block to it,
 * typically the header file beside a detached ".det" payload. QN_OK, or QN_ERR_INVALID. */
QN_API int write_blue_header(const char *path, int32_t stype, int big_endian, uint64_t num_samples,
                             int detached, double fs, double fc, double data_start, double t0);

QN_EXTERN_C_END

#endif
