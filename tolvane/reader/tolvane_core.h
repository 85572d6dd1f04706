/* The capture reader: opens raw I/Q, CSV, BLUE (attached or detached) and SigMF
 * captures, detected by content, and streams their samples as cf32 at unit scale.
 * Follow mode reads a capture that another process is still writing. */
#ifndef TOLVANE_CORE_H
#define TOLVANE_CORE_H

#include "qn_api.h"
#include "wfm_keywords.h"

QN_EXTERN_C_BEGIN

/* Null arguments follow the null rule of qn_api.h; a null stop function means none. */

/* Captures: file types, wire sample types, sample modes, byte orders, where fs, fc and t0
 * came from, and how the last follow-read ended. */
enum { TOLVANE_FTYPE_RAW = 0, TOLVANE_FTYPE_CSV, TOLVANE_FTYPE_BLUE, TOLVANE_FTYPE_SIGMF };
/* Sample types: complex, then real (read with imaginary part 0). cu8 and cu16 are offset
 * binary, as RTL-SDR receivers write them: code c reads as (c - 2^(n-1) + 0.5) / (2^(n-1) - 0.5),
 * so 0 and 2^n - 1 are -1 and +1 and no code is 0; writing rounds v (2^(n-1) - 0.5) + 2^(n-1) - 0.5
 * to the nearest code (halves up) and clips to 0 .. 2^n - 1. */
enum {
    TOLVANE_STYPE_CF32 = 0, TOLVANE_STYPE_CF64, TOLVANE_STYPE_CI32, TOLVANE_STYPE_CI16, TOLVANE_STYPE_CI8,
    TOLVANE_STYPE_CU8, TOLVANE_STYPE_CU16,
    TOLVANE_STYPE_RF32, TOLVANE_STYPE_RF64, TOLVANE_STYPE_RI32, TOLVANE_STYPE_RI16, TOLVANE_STYPE_RI8,
    TOLVANE_STYPE_RU8, TOLVANE_STYPE_RU16
};
enum { TOLVANE_MODE_COMPLEX = 0, TOLVANE_MODE_SCALAR };
enum { TOLVANE_ENDIAN_LE = 0, TOLVANE_ENDIAN_BE };
enum { TOLVANE_FS_NONE = 0, TOLVANE_FS_XDELTA, TOLVANE_FS_SIGMF };
enum {
    TOLVANE_FC_NONE = 0, TOLVANE_FC_FREQ, TOLVANE_FC_RF_FREQ, TOLVANE_FC_CENTER_FREQ, TOLVANE_FC_F_C,
    TOLVANE_FC_SIGMF
};
enum { TOLVANE_T0_NONE = 0, TOLVANE_T0_TIMECODE };
enum { TOLVANE_END_NONE = 0, TOLVANE_END_EOF, TOLVANE_END_TIMEOUT, TOLVANE_END_INTERRUPTED, TOLVANE_END_TRUNCATED };

/* Value names of the enumerations above, indexed by value. */
QN_API extern const char *const _enum_Reader_ftype[4];
QN_API extern const char *const _enum_Reader_stype[14];
QN_API extern const char *const _enum_Reader_sample_mode[2];
QN_API extern const char *const _enum_Reader_endian[2];
QN_API extern const char *const _enum_Reader_fs_source[3];
QN_API extern const char *const _enum_Reader_fc_source[6];
QN_API extern const char *const _enum_Reader_t0_source[2];
QN_API extern const char *const _enum_Reader_follow_end[5];

typedef struct Reader Reader;

typedef struct ReaderInfo {
    int32_t file_type;
    int32_t sample_type;
    int32_t mode;
    int32_t endian;
    double fs;
    double fc;
    uint64_t num_samples;
    int32_t fc_source;
    uint64_t trailing_bytes;
    int32_t fs_source;
    double t0;
    int32_t t0_source;
} ReaderInfo;

/* One segment of a capture: where it starts and what it was tuned to. A SigMF recording has
 * one per "captures" entry (a retune starts a new one); a BLUE capture has one, from its
 * header; raw and CSV captures have none. */
typedef struct CaptureSegment {
    uint64_t sample_start;
    double frequency;     /* Hz; NaN when the segment gives none */
    const char *datetime; /* the start as the capture writes it (ISO 8601), or null */
    int64_t global_index; /* the segment's index in the recording system's stream, -1 for none */
} CaptureSegment;

/* Answers non-zero when a blocking follow-read should stop. */
typedef int (*tolvane_stop_fn)(void);

/* Opens the capture at path. sample_type (TOLVANE_STYPE_*) and endian (TOLVANE_ENDIAN_*)
 * are hints for captures that do not declare them (raw, CSV). Null on any failure. */
QN_API Reader *tolvane_create(const char *path, int32_t sample_type, int32_t endian);
/* tolvane_create that also tells why an open failed: *error (when error is not null) is
 * the errno of the failure to open or read a file that stopped it, or 0 when the capture
 * was refused for what it holds (or it opened). */
QN_API Reader *tolvane_open(const char *path, int32_t sample_type, int32_t endian, int32_t *error);

/* What tolvane_open_with is asked for. channel chooses one channel of a capture whose frames
 * interleave several (a SigMF recording with core:num_channels above 1), -1 for none: such a
 * capture is refused without one. */
typedef struct TolvaneOpenOptions {
    int32_t sample_type;
    int32_t endian;
    int64_t channel;
} TolvaneOpenOptions;

/* tolvane_open with options. On failure null, *error as for tolvane_open, and when why is
 * not null one line saying why goes into it (cut to why_size bytes with its NUL; empty when
 * there is no more to say than the errno or that the capture cannot be opened). */
QN_API Reader *tolvane_open_with(const char *path, const TolvaneOpenOptions *options, int32_t *error, char *why,
                                 size_t why_size);
QN_API void tolvane_destroy(Reader *reader);

/* Converts up to min(count, capacity) samples into out; 0 at the end of the capture, and
 * after a read error (tolvane_get_error tells the two apart). A read of a million samples
 * or more from a regular file runs on up to four threads (no more than the process may
 * use), all joined before it returns. */
QN_API size_t tolvane_read(Reader *reader, size_t count, cf32 *out, size_t capacity);
QN_API size_t tolvane_read_max_out(const Reader *reader, size_t n);
/* Back to the first sample, clearing a read error; metadata stays. */
QN_API void tolvane_reset(Reader *reader);

/* The errno of the read error that stopped reading, 0 when there was none (reads then end
 * only at the end of the capture), and the index of the first sample it kept from being
 * read. The samples before it were all returned; from the error on, reads and follow-reads
 * return 0 until tolvane_reset. */
QN_API int32_t tolvane_get_error(const Reader *reader);
QN_API uint64_t tolvane_get_error_sample(const Reader *reader);

QN_API int32_t tolvane_get_file_type(const Reader *reader);
QN_API int32_t tolvane_get_sample_type(const Reader *reader);
QN_API int32_t tolvane_get_mode(const Reader *reader);
QN_API int32_t tolvane_get_endian(const Reader *reader);
QN_API double tolvane_get_fs(const Reader *reader);
QN_API double tolvane_get_fc(const Reader *reader);
QN_API double tolvane_get_t0(const Reader *reader);
QN_API int32_t tolvane_get_fs_source(const Reader *reader);
QN_API int32_t tolvane_get_fc_source(const Reader *reader);
QN_API int32_t tolvane_get_t0_source(const Reader *reader);
/* The capture's segments, in sample order as the capture lists them; entries stay owned by
 * the reader, and an index at or beyond the count gives null. */
QN_API size_t tolvane_num_captures(const Reader *reader);
QN_API const CaptureSegment *tolvane_capture(const Reader *reader, size_t index);
/* Channels interleaved in the capture's frames (1 for most), and the one read. */
QN_API uint32_t tolvane_get_num_channels(const Reader *reader);
QN_API uint32_t tolvane_get_channel(const Reader *reader);
/* Sample count: the samples present (for BLUE within the declared payload); a CSV capture
 * is counted on first use without moving the read position. */
QN_API uint64_t tolvane_get_num_samples(Reader *reader);
/* The samples the capture declares: a BLUE header's count, the samples present where no
 * count is declared. More than tolvane_get_num_samples for a cut capture (a writer that
 * died before writing all it declared); reading stops at what is present. */
QN_API uint64_t tolvane_get_declared_samples(Reader *reader);
/* Bytes of a partial last sample. */
QN_API uint64_t tolvane_get_trailing_bytes(const Reader *reader);
QN_API void tolvane_info(Reader *reader, ReaderInfo *info);

/* Keywords (BLUE keyword area and extended header) and the BLUE header fields, in file
 * order. Entries stay owned by the reader; out-of-range indexes and unknown tags give null. */
QN_API size_t tolvane_num_keywords(const Reader *reader);
QN_API size_t tolvane_num_header_fields(const Reader *reader);
QN_API const KeywordEntry *tolvane_keyword(const Reader *reader, size_t index);
QN_API const KeywordEntry *tolvane_header_field(const Reader *reader, size_t index);
QN_API const char *tolvane_keyword_tag(const Reader *reader, size_t index);
QN_API const char *tolvane_header_tag(const Reader *reader, size_t index);
QN_API const KeywordEntry *tolvane_find_keyword(const Reader *reader, const char *tag);
QN_API const KeywordEntry *tolvane_find_header_field(const Reader *reader, const char *tag);

/* Follow mode: returns the whole samples that have arrived, waiting (polling every
 * 100 ms) while none have. 0 only when the capture ended (see tolvane_get_ending) or a
 * read error stopped the reading (see tolvane_get_error; the ending is then "none").
 * A file that becomes shorter than the position read (its writer cut it, or began it
 * anew) ends with TOLVANE_END_TRUNCATED: what follows is no continuation of what was read. */
QN_API size_t tolvane_read_follow(Reader *reader, size_t count, cf32 *out, size_t capacity);
QN_API size_t tolvane_read_follow_max_out(const Reader *reader, size_t n);
QN_API int32_t tolvane_get_ending(const Reader *reader);
/* Budgets in milliseconds, 0 = wait without limit: for data, and for the end-of-capture
 * marker once a stop was requested. */
QN_API uint32_t tolvane_get_follow_timeout_ms(const Reader *reader);
QN_API void tolvane_set_follow_timeout_ms(Reader *reader, uint32_t ms);
QN_API uint32_t tolvane_get_follow_grace_ms(const Reader *reader);
QN_API void tolvane_set_follow_grace_ms(Reader *reader, uint32_t ms);
QN_API void tolvane_set_stop_fn(Reader *reader, tolvane_stop_fn stop);

QN_EXTERN_C_END

#endif
