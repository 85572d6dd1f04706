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

/* Statuses. A function that returns a status gives QN_OK or one of these negative values
 * (its comment says which); the values are fixed, so callers in any language may compare
 * them by number. */
enum {
    QN_OK = 0,
    QN_ERR_INVALID = -1, /* invalid argument (a null object included), or the operation failed */
    QN_ERR_STATE = -4,   /* a state blob does not fit its receiver; nothing was changed */
    QN_ERR_SIGNAL = -4,  /* a signal handler could not be installed or put back */
    QN_ERR_NOMEM = -6    /* memory for the one-shot noise generator could not be allocated */
};

/* The null rule, followed by every exported function of both libraries: a null object
 * (the handle or record a function works on), or a null buffer with a non-zero count,
 * makes the call do nothing and give the neutral result: 0 (or a zeroed record) for
 * counts, sizes and values, null for handles and texts, QN_ERR_INVALID where a status
 * is returned. Destroy functions accept null. Each header names only its exceptions,
 * the arguments for which null has a meaning of its own. */

/* One complex sample: two IEEE 32-bit floats, real then imaginary. */
typedef struct cf32 {
    float re;
    float im;
} cf32;

QN_EXTERN_C_END

#endif
