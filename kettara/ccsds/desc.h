/* The CCSDS telemetry frame as coding units of the generic frame machinery: an operations
 * table for the Reed-Solomon (kind 1), randomiser (kind 2) and convolutional (kind 3) units,
 * and a builder of the descriptor that, assembled with that table, yields the same bits as
 * ccsds_tm_frame_encode. */
#ifndef KETTARA_DESC_H
#define KETTARA_DESC_H

#include "frame.h"
#include "qn_api.h"
#include "wfm_frame.h"

QN_EXTERN_C_BEGIN

/* Null arguments follow the null rule of qn_api.h. */

/* Fills `table` with the three CCSDS entries and `context`; nothing when `table` is null.
 * The Reed-Solomon unit's `param` is the interleaving depth I and its span must be 2040 * I
 * bits; the randomiser's `param` WFM_RANDOMISE_LEGACY selects the legacy randomiser, any other the 17-stage
 * one; the convolutional unit keeps its encoder state (a uint32_t) in `context` when one is
 * given, else every frame starts from the all-zero register. */
QN_API void ccsds_tm_frame_ops(UnitOpsTable *table, void *context);

/* Fields: marker (32 bits or empty), payload (8 * payload_octets bits borrowed from
 * `payload_bits`, one per byte), parity (produced by the Reed-Solomon unit). QN_OK, or
 * QN_ERR_INVALID for a configuration whose layout is 0. */
QN_API int ccsds_tm_frame_describe(const TmFrameConfig *cfg, size_t payload_octets, const uint8_t *payload_bits,
                                   FrameDesc *out);

QN_EXTERN_C_END

#endif
