// Typed keyword codec of the BLUE extended header, shared by the capture writer
// (encoding) and the capture reader (decoding).
//
// Entry layout (all numbers in the capture's byte order):
//   0  i32  entry length in bytes, a multiple of 8
//   4  i16  entry length minus value length (= 8 + tag length + padding)
//   6  u8   tag length, 1..255
//   7  u8   type code: A B I L T X F D
//   8  ...  value: count elements of the code's size
//   .  ...  tag, ASCII, no terminator
//   .  0-7  zero padding up to the entry length
// Entry length = 8 + tag length + value length + padding, where padding =
// (-(tag length + value length)) mod 8.
#pragma once
#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Longest keyword tag (the tag-length byte). */
#define WFM_KW_TAG_MAX 255

/* A decoded keyword (or HCB field published as one). The value is owned: count ×
 * elem_size bytes in host byte order, allocated with malloc; release it with
 * wfm_kw_record_clear. For code 'A' the value holds the characters (not NUL-
 * terminated unless the producer put a NUL there). */
typedef struct wfm_kw_record {
    char tag[WFM_KW_TAG_MAX + 1]; /* NUL-terminated */
    char code;                    /* 'A','B','I','L','T','X','F','D' */
    size_t elem_size;             /* bytes per element: 1, 2, 4 or 8 */
    size_t count;                 /* number of elements, >= 1 */
    uint8_t *value;               /* owned, count × elem_size bytes */
} wfm_kw_record;

/* Element size of a type code: A,B 1; I 2; L,T,F 4; X,D 8; 0 for any other code. */
SX_API size_t wfm_kw_elem_size(char code);

/* Entry length for a tag of `tag_len` bytes and a value of `value_bytes` bytes
 * (a multiple of 8, >= 8). Returns 0 if the sum would overflow. */
SX_API size_t wfm_kw_entry_size(size_t tag_len, size_t value_bytes);

/* Encodes one entry into dst[0..cap). value holds `count` elements of the code's
 * size in host order; each element is byte-reversed for big_endian != 0. Returns
 * the bytes written (the entry length) or 0 on refusal: a null argument, unknown
 * code, count 0, tag length outside 1..255, an entry whose length does not fit
 * the 32-bit length field, or cap (counted up to 2^31-1) smaller than the entry.
 * The whole entry is zeroed first, so padding is zero. */
SX_API size_t wfm_kw_encode(uint8_t *dst, size_t cap, const char *tag, char code, const void *value, size_t count,
                            int big_endian);

/* Decodes one entry from entry[0..avail).
 *  0  decoded: *out is filled (out->value owned by the caller), *entry_len set;
 *  1  skipped (unknown code, empty value, or value length not a multiple of the
 *     element size): nothing allocated, *entry_len set so the walk can continue;
 * -1  malformed (fewer than 8 bytes, inconsistent lengths, tag past the entry)
 *     or the value buffer could not be allocated: stop walking.
 * Any of out / entry_len may not be null; *out is left untouched unless 0 is returned. */
SX_API int wfm_kw_decode(const uint8_t *entry, size_t avail, int big_endian, wfm_kw_record *out, size_t *entry_len);

/* Frees the record's value and sets it to null; a null record does nothing. */
SX_API void wfm_kw_record_clear(wfm_kw_record *r);

/* Checks a standard BLUE keyword:
 *  1  tag is standard and the value is well formed,
 * -1  tag is standard but ill formed or never accepted (SUBREC_DEF, SUBREC_DESCRIP, T4INDEX),
 *  0  tag is not a standard keyword.
 * ACQDATE: code A, 6 or 8 chars of digits and '.', a 6-char value has '.' third.
 * ACQTIME: code A, exactly "HH:MM:SS" (digits and ':' at 2 and 5).
 * COMMENT, TIMELINE: any code-A value. value_len is in bytes. */
SX_API int wfm_kw_check_standard(const char *tag, char code, const void *value, size_t value_len);

#ifdef __cplusplus
}
#endif
