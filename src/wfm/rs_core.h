// Generic Reed-Solomon codec over GF(2^m), m = 2..8, for full-length codes of
// n = 2^m - 1 symbols: a systematic encoder and an errors-only decoder
// (Berlekamp-Massey, Chien search, Forney). The CCSDS (255,223) code is one
// instance of it; any other descriptor that passes rs_code_valid works too.
//
// Symbols are bytes; only the low m bits of each are read. A codeword is laid
// out first-transmitted first: the k = n - nroots data symbols, then the
// nroots parity symbols (the highest-degree coefficient comes first).
#pragma once
#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { RS_MAX_ROOTS = 64 };

typedef struct rs_desc_t {
    int32_t m;          /* symbol bits, 2..8 */
    uint16_t poly;      /* field polynomial without its x^m term: odd, below 2^m, primitive */
    uint32_t nroots;    /* parity symbols: even, 2..64, below 2^m - 1 */
    int32_t first_root; /* the generator's first consecutive root is alpha^(prim * first_root) */
    int32_t prim;       /* primitive element power: coprime with 2^m - 1, 1..2^m - 2 */
} rs_desc_t;

/* A built code: log/antilog tables, the generator and the encoder's feedback
 * table. Caller-owned (rs_code_bytes() bytes, 64-byte aligned); read-only once
 * built, so one code serves any number of threads. */
typedef struct rs_code_t {
    /* Row f holds f * g_(nroots-1-j) at byte j (zero past nroots): the whole
     * register update for feedback symbol f, applied as a few 64-bit XORs. */
    alignas(64) uint8_t enc_tab[256][RS_MAX_ROOTS];
    uint8_t alpha_to[256];            /* alpha^i for i < n; alpha_to[n] = 0 (log of zero is n) */
    uint8_t index_of[256];            /* log of each element; index_of[0] = n */
    uint8_t genpoly[RS_MAX_ROOTS + 1]; /* generator coefficients, ascending degree; monic */
    rs_desc_t desc;
    uint32_t nn;      /* 2^m - 1, symbols per codeword */
    uint32_t nroots;
    uint32_t valid;   /* 1 once rs_init succeeded */
} rs_code_t;

/* 1 when desc passes the shape tests (symbol size, polynomial odd and in range,
 * nroots even and in range, prim coprime with 2^m - 1), else 0. Whether the
 * polynomial is primitive is found out by rs_init. */
SX_API int rs_code_valid(const rs_desc_t *desc);
/* sizeof(rs_code_t), for callers that allocate codes themselves (ctypes). */
SX_API size_t rs_code_bytes(void);
/* Builds a code from desc. 0, or -4 for an invalid descriptor or a field
 * polynomial that is not primitive (the code is then marked invalid). */
SX_API int rs_init(rs_code_t *code, const rs_desc_t *desc);
/* The nroots + 1 generator coefficients, ascending degree, or null for an
 * invalid code. */
SX_API const uint8_t *rs_generator(const rs_code_t *code);
/* data    n - nroots symbols; parity  nroots symbols written. 0 or -4. */
SX_API int rs_encode(const rs_code_t *code, const uint8_t *data, uint8_t *parity);
/* The nroots syndromes of an n-symbol codeword (syndrome i is the codeword
 * evaluated at the generator's root i). Returns how many are non-zero (0: a
 * codeword), or -4 for an invalid code. synd may be null. */
SX_API int rs_syndromes(const rs_code_t *code, const uint8_t *codeword, uint8_t *synd);
/* 1 when every syndrome is zero, 0 when not, -4 for an invalid code. */
SX_API int rs_codeword_ok(const rs_code_t *code, const uint8_t *codeword);
/* Corrects up to nroots/2 symbol errors in place. Returns the symbols
 * corrected (0 for a codeword), -1 when uncorrectable (the codeword is left
 * unchanged) or -4 for an invalid code. */
SX_API int rs_decode(const rs_code_t *code, uint8_t *codeword);

#ifdef __cplusplus
}

namespace sx::rs {
// Runs the encoder's shift register over n symbols of data with the feedback
// table of `code` (or another table of the same shape, such as the CCSDS
// dual-basis one); parity receives the nroots register symbols.
void lfsr_encode(const uint8_t (*tab)[RS_MAX_ROOTS], uint32_t nroots, const uint8_t *data, size_t n,
                 uint8_t sym_mask, uint8_t *parity);
// Decodes from the nroots parity-check remainder symbols (received parity XOR
// re-encoded parity, conventional basis): fills the error positions (symbol
// index in the codeword) and values. Returns the error count, 0 for none, -1
// when uncorrectable.
int decode_from_remainder(const rs_code_t &code, const uint8_t *remainder, uint32_t *pos, uint8_t *val);
}  // namespace sx::rs
#endif
