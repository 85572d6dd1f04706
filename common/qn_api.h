/* Shared definitions of the public C interface of kettara and tolvane. */
#ifndef QN_API_H
#define QN_API_H

#include <stddef.h>
#include <stdint.h>

/* Every public function and table carries QN_API; everything else stays hidden. */
#define QN_API __attribute__((visibility("default")))

#ifdef __cplusplus
#define QN_EXTERN_C_BEGIN extern "C" {
#define QN_EXTERN_C_END }
#else
#define QN_EXTERN_C_BEGIN
#define QN_EXTERN_C_END
#endif

QN_EXTERN_C_BEGIN

/* One complex sample: two IEEE 32-bit floats, real then imaginary. */
typedef struct cf32 {
    float re;
    float im;
} cf32;

QN_EXTERN_C_END

#endif
