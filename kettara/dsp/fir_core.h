/* Streaming direct-form FIR filter on cf32 samples with complex or real taps; a stream
 * filtered in pieces equals the stream filtered at once. */
#ifndef FIR_CORE_H
#define FIR_CORE_H

#include "qn_api.h"

QN_EXTERN_C_BEGIN

/* Null arguments follow the null rule of qn_api.h. */

typedef struct Fir Fir;

/* Copies the n taps; null when taps is null, n is 0 or allocation fails. */
QN_API Fir *fir_create(const cf32 *taps, size_t n);
QN_API Fir *fir_create_real(const float *taps, size_t n);
QN_API void fir_destroy(Fir *f);
/* Clears the history. */
QN_API void fir_reset(Fir *f);

QN_API size_t fir_get_num_taps(const Fir *f);
/* 1 for real taps, else 0. */
QN_API int fir_get_is_real(const Fir *f);
/* Sum of the (real parts of the) taps, in double precision. */
QN_API double fir_dc_gain(const Fir *f);

/* 0: no fixed bound, fir_execute writes as many samples as it reads. */
QN_API size_t fir_execute_max_out(void);
/* Filters n samples into out (which may be in itself); returns n, or 0 with nothing changed
 * when a pointer is null, n is 0 or the scratch buffer cannot grow. */
QN_API size_t fir_execute(Fir *f, const cf32 *in, size_t n, cf32 *out);

/* History as a "FIR_" blob of 8 * num_taps + 8 bytes (16 for one tap); set returns QN_OK, or
 * QN_ERR_STATE and changes nothing when the header or size does not fit this filter. */
QN_API size_t fir_state_bytes(const Fir *f);
QN_API void fir_get_state(const Fir *f, void *out);
QN_API int fir_set_state(Fir *f, const void *blob);

QN_EXTERN_C_END

#endif
