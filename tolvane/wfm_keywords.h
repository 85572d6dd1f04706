/* Typed keyword records of a BLUE extended header: sizes, encoding, decoding,
 * and the check of the standard keywords whose form is fixed. */
#ifndef WFM_KEYWORDS_H
#define WFM_KEYWORDS_H

#include "qn_api.h"

QN_EXTERN_C_BEGIN

/* One decoded keyword (or header field). `data` holds count x elem_size bytes in host
 * byte order and is owned by whoever received the entry (release it with free). */
typedef struct KeywordEntry {
    char tag[256]; /* NUL-terminated, at most 255 characters */
    char type;     /* type letter: A B I L T X F D */
    uint64_t elem_size;
    uint64_t count; /* elements, never 0 */
    void *data;
} KeywordEntry;

/* Bytes per element of a type letter, 0 when the letter is unsupported. */
QN_API size_t wfm_kw_elem_size(char type);

/* Total record length for a tag and value bytes: 8 + (tag + values) rounded up to 8.
 * 0 when the record would not fit its 32-bit length field. */
QN_API size_t wfm_kw_entry_size(size_t tag_len, size_t value_bytes);

/* Encodes one record into dst (capacity cap bytes). values hold count elements in host
 * byte order. Returns the record length, or 0 when refused (nothing is written then). */
QN_API size_t wfm_kw_encode(void *dst, size_t cap, const char *tag, char type, const void *values,
                            size_t count, int big_endian);

/* Decodes the record at src (avail bytes). Returns 0 when decoded into *entry (the caller
 * frees entry->data), 1 when the record is valid but skipped (nothing allocated), -1 when
 * it is invalid. From a result of 0 or 1 on, *consumed holds the record length. */
QN_API int wfm_kw_decode(const void *src, size_t avail, int big_endian, KeywordEntry *entry,
                         size_t *consumed);

/* 1 when tag is a standard keyword in its valid form, 0 when tag is not a standard
 * keyword, -1 when it is one in a wrong form (or one that may not be added). */
QN_API int wfm_kw_check_standard(const char *tag, char type, const char *value, size_t len);

QN_EXTERN_C_END

#endif
