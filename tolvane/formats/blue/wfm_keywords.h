/* Typed keyword records of a BLUE extended header: sizes, encoding, decoding,
 * and the check of the standard keywords whose form is fixed. */
#ifndef WFM_KEYWORDS_H
#define WFM_KEYWORDS_H

#include "qn_api.h"

QN_EXTERN_C_BEGIN

/* Null arguments follow the null rule of qn_api.h. */

/* Results of wfm_kw_decode besides QN_ERR_INVALID (an invalid record). */
enum { WFM_KW_DECODED = 0, WFM_KW_SKIPPED = 1 };
/* Results of wfm_kw_check_standard; a null tag gives QN_ERR_INVALID, the value of
 * WFM_KW_WRONG_FORM. */
enum { WFM_KW_WRONG_FORM = -1, WFM_KW_NOT_STANDARD = 0, WFM_KW_STANDARD = 1 };

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

/* Decodes the record at src (avail bytes). Returns WFM_KW_DECODED when decoded into *entry
 * (the caller frees entry->data), WFM_KW_SKIPPED when the record is valid but skipped (nothing
 * allocated), QN_ERR_INVALID when it is invalid. From a result of WFM_KW_DECODED or
 * WFM_KW_SKIPPED on, *consumed holds the record length. */
QN_API int wfm_kw_decode(const void *src, size_t avail, int big_endian, KeywordEntry *entry,
                         size_t *consumed);

/* WFM_KW_STANDARD when tag is a standard keyword in its valid form, WFM_KW_NOT_STANDARD when
 * it is not a standard keyword, WFM_KW_WRONG_FORM when it is one in a wrong form (or one
 * that may not be added). */
QN_API int wfm_kw_check_standard(const char *tag, char type, const char *value, size_t len);

QN_EXTERN_C_END

#endif
