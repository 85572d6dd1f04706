/* The CCSDS inner code: K = 7, rate 1/2, generators 171 and 133 (octal), second output inverted. */
#ifndef KETTARA_CONV_H
#define KETTARA_CONV_H

#include "conv_core.h"
#include "qn_api.h"

QN_EXTERN_C_BEGIN

/* Null arguments follow the null rule of qn_api.h. */

/* K 7, n 2, polys 0x79 and 0x5B, invert 2. */
QN_API extern const ConvSpec CCSDS_TM_CONV;

QN_EXTERN_C_END

#endif
