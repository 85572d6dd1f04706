/* Generic frames: up to eight fields laid end to end, acted on by up to six coding units;
 * the fixed public frame (acquisition, sync word, payload, optional CRC-16); assembly,
 * checking and the built-in CRC-16; framed DSSS chip streams.
 *
 * All lengths are counts of bits. A frame in memory holds one bit per byte, 0 or 1; input
 * bits are read by their lowest bit. */
#ifndef WFM_FRAME_H
#define WFM_FRAME_H

#include "qn_api.h"
#include "wfm_spec.h"

QN_EXTERN_C_BEGIN

/* Null arguments follow the null rule of qn_api.h; an operations table may be null. */

#define WFM_FRAME_MAX_FIELDS 8
#define WFM_FRAME_MAX_UNITS 6

/* Field kinds */
enum { WFM_FIELD_BITS = 0, WFM_FIELD_PN = 1, WFM_FIELD_GOLD = 2, WFM_FIELD_ALTERNATING = 3 };
/* Unit kinds: the CRC-16 is built in, the others exist only through an operations table. */
enum { WFM_UNIT_CRC16 = 0, WFM_UNIT_RS = 1, WFM_UNIT_RANDOMISER = 2, WFM_UNIT_CONV = 3 };
/* Results of the frame and CRC checks besides QN_ERR_INVALID. */
enum { WFM_CHECK_FAILED = 0, WFM_CHECK_PASSED = 1 };

/* One field slot. A zeroed slot is an empty field. */
typedef struct FrameField {
    uint32_t kind;          /* WFM_FIELD_* */
    uint64_t len;           /* bits of one repetition */
    const uint8_t *data;    /* kind 0: len bytes, borrowed, never freed by the frame code */
    uint64_t pn_poly;       /* kind 1: feedback mask; 0 selects the default for degree */
    uint64_t pn_seed;       /* kind 1: initial register state; 0 counts as 1 */
    uint32_t degree;        /* kinds 1 and 2: register length */
    uint32_t lfsr;          /* kind 1: 0 Galois, 1 Fibonacci */
    uint64_t gold_poly1;    /* kind 2 */
    uint64_t gold_seed1;    /* kind 2; 0 counts as 1 */
    uint64_t gold_poly2;    /* kind 2 */
    uint64_t gold_seed2;    /* kind 2; 0 counts as 1 */
    uint64_t reps;          /* repetitions of the len bits; 0 counts as 1 */
    uint64_t fixed_size;    /* size of a produced field (16 for a CRC-16 field) */
    uint32_t produced_by;   /* 0 a source field; k >= 1 written by unit k - 1 */
} FrameField;

/* One coding-unit slot, covering fields first ... first + count - 1. A unit either codes its
 * span in place or, when rate_num and rate_den are both set, expands the whole frame. */
typedef struct FrameUnit {
    uint32_t kind;      /* WFM_UNIT_* */
    uint32_t first;
    uint32_t count;     /* 0 makes the unit inactive */
    uint32_t param;     /* interleaving depth (kind 1); WFM_RANDOMISE_LEGACY or not (kind 2) */
    uint32_t rate_num;  /* expanding units only; never below rate_den */
    uint32_t rate_den;
} FrameUnit;

/* Built zero-initialised and filled in place. */
typedef struct FrameDesc {
    FrameField fields[WFM_FRAME_MAX_FIELDS];
    uint32_t nfields;
    FrameUnit units[WFM_FRAME_MAX_UNITS];
    uint32_t nunits;
} FrameDesc;

/* A run of bits in the raw frame. */
typedef struct FrameSpan {
    uint64_t offset;
    uint64_t len;
} FrameSpan;

typedef struct FrameLayout {
    uint64_t offset[WFM_FRAME_MAX_FIELDS]; /* of each field in the raw frame */
    uint64_t size[WFM_FRAME_MAX_FIELDS];
    uint32_t nfields;
    FrameSpan span[WFM_FRAME_MAX_UNITS];   /* (0, 0) for an inactive or empty unit */
    uint32_t nunits;
    uint64_t raw_bits;                     /* before the expanding unit */
    uint64_t coded_bits;                   /* after it; raw_bits when nothing expands */
} FrameLayout;

/* The acquisition field of a SimpleFrame: the FrameField members kind ... reps. */
typedef struct SimpleFrameAcq {
    uint32_t kind;
    uint64_t len;
    const uint8_t *data;
    uint64_t pn_poly;
    uint64_t pn_seed;
    uint32_t degree;
    uint32_t lfsr;
    uint64_t gold_poly1;
    uint64_t gold_seed1;
    uint64_t gold_poly2;
    uint64_t gold_seed2;
    uint64_t reps;          /* 0 leaves the acquisition field out */
} SimpleFrameAcq;

/* The sync and payload fields of a SimpleFrame: the FrameField members kind ... gold_seed2. */
typedef struct SimpleFrameField {
    uint32_t kind;
    uint64_t len;
    const uint8_t *data;
    uint64_t pn_poly;
    uint64_t pn_seed;
    uint32_t degree;
    uint32_t lfsr;
    uint64_t gold_poly1;
    uint64_t gold_seed1;
    uint64_t gold_poly2;
    uint64_t gold_seed2;
} SimpleFrameField;

/* Acquisition, sync word, payload and an optional CRC-16 over the payload. */
typedef struct SimpleFrame {
    SimpleFrameAcq acq;
    SimpleFrameField sync;
    SimpleFrameField payload;
    uint32_t crc;           /* WFM_CRC_NONE or WFM_CRC_16 */
} SimpleFrame;

typedef struct FrameFieldBounds {
    FrameSpan acq;
    FrameSpan sync;
    FrameSpan payload;
    FrameSpan crc;
    uint64_t total_bits;
} FrameFieldBounds;

/* Result of one unit's check. */
typedef struct UnitCheck {
    uint32_t examined;          /* units of work examined (1, or the interleaving depth) */
    uint32_t ok;                /* how many of them passed */
    uint32_t corrected_units;   /* codewords that needed correction */
    uint32_t corrected_symbols;
    uint32_t valid;             /* 1 when the record was written */
} UnitCheck;

typedef struct FrameCheckReport {
    UnitCheck units[WFM_FRAME_MAX_UNITS]; /* one per unit slot */
    uint32_t nunits;
    uint32_t nchecked;                    /* units whose undo ran */
} FrameCheckReport;

/* Codes a unit's span in place; QN_OK on success. */
typedef int (*FrameUnitInFn)(const FrameUnit *unit, uint8_t *bits, size_t n, void *context);

/* Writes the whole coded frame from the start of out and returns the bits written, which must
 * equal the layout's coded_bits.
 *
 * Contract: assembly builds the raw frame right-aligned inside the output buffer, so raw ==
 * out + (coded_bits - raw_bits). An emit must read every input bit before it writes the output
 * positions that overlap it; an encoder that writes k >= 1 output bits per input bit in input
 * order does so naturally. */
typedef size_t (*FrameUnitEmitFn)(const FrameUnit *unit, const uint8_t *raw, size_t raw_bits,
                                  uint8_t *out, size_t out_cap, void *context);

/* Checks (and where it can, corrects) a unit's span in place and fills the result; QN_OK on
 * success, whether or not the span passed. */
typedef int (*FrameUnitUndoFn)(const FrameUnit *unit, uint8_t *bits, size_t n,
                               UnitCheck *result, void *context);

/* One operations-table entry. For assembly exactly one of in_unit and emit is present; an
 * emit entry must serve an expanding unit and an expanding unit must have an emit entry. */
typedef struct UnitOps {
    uint32_t kind;
    FrameUnitInFn in_unit;
    FrameUnitEmitFn emit;
    FrameUnitUndoFn undo;
} UnitOps;

/* The first entry whose kind matches a unit serves it. context is handed unchanged to every
 * operation (the convolutional unit keeps its encoder state there). */
typedef struct UnitOpsTable {
    const UnitOps *entries;
    uint32_t count;
    void *context;
} UnitOpsTable;

/* Layout. QN_OK, or QN_ERR_INVALID on an invalid descriptor (a failed layout may leave the
 * output partly filled). */
QN_API int wfm_frame_desc_layout(const FrameDesc *desc, FrameLayout *out);
QN_API int wfm_frame_describe(const SimpleFrame *frame, FrameDesc *out);
QN_API int wfm_frame_layout(const SimpleFrame *frame, FrameFieldBounds *out);
QN_API uint64_t wfm_frame_nbits(const SimpleFrame *frame); /* raw bits; 0 on failure */

/* Assembly: the coded frame's bits, or 0 on any failure (the buffer may be partly written).
 * table may be null: then only the built-in CRC-16 is available. */
QN_API size_t wfm_frame_assemble(const FrameDesc *desc, const UnitOpsTable *table,
                                 uint8_t *out, size_t capacity);
QN_API size_t wfm_frame_bits(const SimpleFrame *frame, uint8_t *out, size_t capacity);

/* Runs the units' undo operations from the last to the first, in place on the raw frame.
 * WFM_CHECK_PASSED every examined unit passed, WFM_CHECK_FAILED a unit failed, QN_ERR_INVALID
 * error or no unit examined. The report,
 * when given, is written only when every undo ran. */
QN_API int wfm_frame_check(const FrameDesc *desc, const UnitOpsTable *table, uint8_t *bits,
                           FrameCheckReport *report);
/* Checks the first CRC-16 unit without modifying the frame: WFM_CHECK_PASSED match,
 * WFM_CHECK_FAILED mismatch, QN_ERR_INVALID no CRC unit or error. */
QN_API int wfm_frame_desc_crc_ok(const FrameDesc *desc, const uint8_t *bits);
QN_API int wfm_frame_crc_ok(const SimpleFrame *frame, const uint8_t *bits);

/* The built-in CRC-16 unit (CRC-16/CCITT-FALSE: polynomial 0x1021, initial 0xFFFF, no
 * reflection, no final XOR) over the first n - 16 bits of the span, written most significant
 * bit first into its last 16 bits. Both return QN_OK, or QN_ERR_INVALID when the span is 16
 * bits or shorter. */
QN_API int crc16_in_unit(const FrameUnit *unit, uint8_t *bits, size_t n, void *context);
QN_API int crc16_undo(const FrameUnit *unit, uint8_t *bits, size_t n, UnitCheck *result,
                      void *context);

/* Framed DSSS: the acquisition code acq_reps times, then every bit of the frame (explicit
 * sync and payload bits, CRC-16 over the payload when crc is set) spread by the data code,
 * a 1 bit sending the code's complement. The count is 0 when the frame has bits but
 * code_len is 0, or when it does not fit a size_t. */
QN_API size_t wfm_frame_dsss_nchips(size_t acq_len, size_t acq_reps, size_t code_len,
                                    size_t sync_len, size_t payload_len, uint32_t crc);
/* Writes exactly wfm_frame_dsss_nchips(...) chips into out; 0 on failure. */
QN_API size_t wfm_frame_dsss_chips(const uint8_t *acq_code, size_t acq_len, size_t acq_reps,
                                   const uint8_t *data_code, size_t code_len,
                                   const uint8_t *sync, size_t sync_len,
                                   const uint8_t *payload, size_t payload_len, uint32_t crc,
                                   uint8_t *out);

QN_EXTERN_C_END

#endif
