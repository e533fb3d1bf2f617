#include "wfm/rs_core.h"

#include <bit>
#include <cstring>
#include <numeric>

static_assert(std::endian::native == std::endian::little, "the encoder register packs symbol j into byte j of a word");

namespace {

constexpr uint32_t kWords = RS_MAX_ROOTS / 8;

// The whole register is the little-endian number formed by its symbols, so one
// shift step (symbol j takes symbol j + 1) is a right shift by 8 bits across
// the NW words, and the feedback update is NW XORs with a table row.
template <uint32_t NW>
void lfsr_words(const uint8_t (*tab)[RS_MAX_ROOTS], const uint8_t *data, size_t n, uint8_t mask, uint64_t *out) {
    uint64_t r[NW] = {};
    for (size_t i = 0; i < n; ++i) {
        const uint8_t *row = tab[(data[i] & mask) ^ static_cast<uint8_t>(r[0])];
        for (uint32_t k = 0; k < NW; ++k) {
            uint64_t t;
            std::memcpy(&t, row + 8 * k, 8);
            const uint64_t next = k + 1 < NW ? r[k + 1] << 56 : 0;
            r[k] = ((r[k] >> 8) | next) ^ t;
        }
    }
    for (uint32_t k = 0; k < NW; ++k) out[k] = r[k];
}

struct Field {
    const rs_code_t &c;
    uint8_t mul(uint8_t a, uint8_t b) const {
        if (a == 0 || b == 0) return 0;
        uint32_t e = uint32_t{c.index_of[a]} + c.index_of[b];  // both logs below nn
        if (e >= c.nn) e -= c.nn;
        return c.alpha_to[e];
    }
    // alpha^e for any integer exponent.
    uint8_t pow(int64_t e) const {
        const int64_t nn = c.nn;
        return c.alpha_to[((e % nn) + nn) % nn];
    }
    uint8_t inv(uint8_t a) const { return c.alpha_to[(c.nn - c.index_of[a]) % c.nn]; }
};

// Syndrome i of the remainder r (nroots symbols, highest degree first) at the
// generator's root i; equal to the codeword's, since the generator vanishes there.
void remainder_syndromes(const rs_code_t &c, const uint8_t *rem, uint8_t *synd) {
    const int64_t nn = c.nn, prim = c.desc.prim, fcr = c.desc.first_root;
    const uint32_t nr = c.nroots;
    // Summed in the log domain: term j is rem[j] * root^(nr-1-j), its log grows
    // by log(root) per step towards the first symbol.
    uint32_t logr[RS_MAX_ROOTS];
    for (uint32_t j = 0; j < nr; ++j) logr[j] = c.index_of[rem[j]];
    for (uint32_t i = 0; i < nr; ++i) {
        const uint32_t lroot = static_cast<uint32_t>((((prim * (fcr + static_cast<int64_t>(i))) % nn) + nn) % nn);
        uint32_t e = 0;
        uint8_t s = 0;
        for (uint32_t j = nr; j-- > 0;) {
            if (logr[j] != c.nn) {
                uint32_t l = logr[j] + e;
                if (l >= c.nn) l -= c.nn;
                s ^= c.alpha_to[l];
            }
            e += lroot;
            if (e >= c.nn) e -= c.nn;
        }
        synd[i] = s;
    }
}

// Remainder of the received codeword by the generator: its parity XOR the
// parity re-encoded from its data.
void remainder_of(const rs_code_t &c, const uint8_t *cw, uint8_t *rem) {
    const uint32_t k = c.nn - c.nroots;
    sx::rs::lfsr_encode(c.enc_tab, c.nroots, cw, k, static_cast<uint8_t>(c.nn), rem);
    for (uint32_t j = 0; j < c.nroots; ++j) rem[j] ^= static_cast<uint8_t>(cw[k + j] & c.nn);
}

}  // namespace

namespace sx::rs {

void lfsr_encode(const uint8_t (*tab)[RS_MAX_ROOTS], uint32_t nroots, const uint8_t *data, size_t n, uint8_t mask,
                 uint8_t *parity) {
    uint64_t w[kWords];
    switch ((nroots + 7) / 8) {
        case 1: lfsr_words<1>(tab, data, n, mask, w); break;
        case 2: lfsr_words<2>(tab, data, n, mask, w); break;
        case 3: lfsr_words<3>(tab, data, n, mask, w); break;
        case 4: lfsr_words<4>(tab, data, n, mask, w); break;
        case 5: lfsr_words<5>(tab, data, n, mask, w); break;
        case 6: lfsr_words<6>(tab, data, n, mask, w); break;
        case 7: lfsr_words<7>(tab, data, n, mask, w); break;
        default: lfsr_words<8>(tab, data, n, mask, w); break;
    }
    std::memcpy(parity, w, nroots);
}

int decode_from_remainder(const rs_code_t &c, const uint8_t *rem, uint32_t *pos, uint8_t *val) {
    const Field f{c};
    const uint32_t nr = c.nroots, nn = c.nn;
    uint8_t s[RS_MAX_ROOTS];
    remainder_syndromes(c, rem, s);
    bool any = false;
    for (uint32_t i = 0; i < nr; ++i) any |= s[i] != 0;
    if (!any) return 0;

    // Berlekamp-Massey: the shortest register generating the syndromes is the
    // error locator lambda(x) = prod (1 - X_k x).
    uint8_t lam[RS_MAX_ROOTS + 1] = {1}, b[RS_MAX_ROOTS + 1] = {1}, t[RS_MAX_ROOTS + 1];
    uint32_t L = 0;
    for (uint32_t r = 0; r < nr; ++r) {
        uint8_t d = 0;
        for (uint32_t j = 0; j <= L && j <= r; ++j) d ^= f.mul(lam[j], s[r - j]);
        if (d == 0) {
            std::memmove(b + 1, b, nr);
            b[0] = 0;
            continue;
        }
        // After step r neither polynomial has a term above degree r + 1.
        const uint32_t top = r + 1 < nr ? r + 1 : nr;
        t[0] = lam[0];
        for (uint32_t j = 1; j <= top; ++j) t[j] = lam[j] ^ f.mul(d, b[j - 1]);
        if (2 * L <= r) {
            const uint8_t dinv = f.inv(d);
            for (uint32_t j = 0; j <= top; ++j) b[j] = f.mul(lam[j], dinv);
            L = r + 1 - L;
        } else {
            std::memmove(b + 1, b, nr);
            b[0] = 0;
        }
        std::memcpy(lam, t, top + 1);
    }
    uint32_t deg = 0;
    for (uint32_t j = 0; j <= nr; ++j)
        if (lam[j]) deg = j;
    if (deg == 0 || deg != L || 2 * deg > nr) return -1;

    // Chien search: the error at degree e has X = alpha^(prim*e); lambda
    // vanishes at X^-1. Each term's log steps by -j*prim per degree.
    const int64_t prim = c.desc.prim, fcr = c.desc.first_root;
    uint32_t logt[RS_MAX_ROOTS + 1], step[RS_MAX_ROOTS + 1];
    for (uint32_t j = 0; j <= deg; ++j) {
        logt[j] = c.index_of[lam[j]];
        step[j] = static_cast<uint32_t>((nn - (static_cast<uint64_t>(j) * prim) % nn) % nn);
    }
    uint32_t found = 0;
    for (uint32_t e = 0; e < nn && found < deg; ++e) {
        uint8_t sum = 0;
        for (uint32_t j = 0; j <= deg; ++j) {
            if (logt[j] != nn) {
                sum ^= c.alpha_to[logt[j]];
                logt[j] += step[j];
                if (logt[j] >= nn) logt[j] -= nn;
            }
        }
        if (sum == 0) pos[found++] = e;
    }
    if (found != deg) return -1;

    // Forney: Y = X^(1 - first_root) * omega(X^-1) / lambda'(X^-1), with
    // omega = S(x) * lambda(x) mod x^nroots.
    uint8_t omega[RS_MAX_ROOTS];
    for (uint32_t i = 0; i < nr; ++i) {
        uint8_t o = 0;
        for (uint32_t j = 0; j <= deg && j <= i; ++j) o ^= f.mul(lam[j], s[i - j]);
        omega[i] = o;
    }
    for (uint32_t k = 0; k < found; ++k) {
        const int64_t e = pos[k];
        const uint8_t xinv = f.pow(-prim * e);
        uint8_t num = 0, den = 0, xp = 1;
        for (uint32_t i = 0; i < nr; ++i) {
            num ^= f.mul(omega[i], xp);
            if ((i & 1) == 0 && i + 1 <= deg) den ^= f.mul(lam[i + 1], xp);
            xp = f.mul(xp, xinv);
        }
        if (den == 0) return -1;
        const uint8_t y = f.mul(f.mul(num, f.inv(den)), f.pow(prim * e * (1 - fcr)));
        if (y == 0) return -1;
        val[k] = y;
        pos[k] = nn - 1 - static_cast<uint32_t>(e);  // degree e is codeword symbol nn-1-e
    }
    return static_cast<int>(found);
}

}  // namespace sx::rs

extern "C" {

int rs_code_valid(const rs_desc_t *d) {
    if (d == nullptr || d->m < 2 || d->m > 8) return 0;
    const uint32_t nn = (1u << d->m) - 1;
    if ((d->poly & 1) == 0 || d->poly > nn) return 0;
    if (d->nroots < 2 || d->nroots > RS_MAX_ROOTS || d->nroots % 2 != 0 || d->nroots >= nn) return 0;
    if (d->prim < 1 || static_cast<uint32_t>(d->prim) >= nn || std::gcd(static_cast<uint32_t>(d->prim), nn) != 1)
        return 0;
    return 1;
}

size_t rs_code_bytes(void) { return sizeof(rs_code_t); }

int rs_init(rs_code_t *c, const rs_desc_t *d) {
    if (c == nullptr) return SX_ERR_INVALID;
    std::memset(c, 0, sizeof *c);
    if (!rs_code_valid(d)) return SX_ERR_INVALID;
    c->desc = *d;
    c->nn = (1u << d->m) - 1;
    c->nroots = d->nroots;
    const uint32_t nn = c->nn;
    // alpha is primitive exactly when its powers return to 1 first after nn steps.
    uint32_t sr = 1;
    for (uint32_t i = 0; i < nn; ++i) {
        if (i > 0 && sr == 1) return SX_ERR_INVALID;
        c->alpha_to[i] = static_cast<uint8_t>(sr);
        c->index_of[sr] = static_cast<uint8_t>(i);
        sr <<= 1;
        if (sr > nn) sr = (sr ^ d->poly) & nn;
    }
    if (sr != 1) return SX_ERR_INVALID;
    c->alpha_to[nn] = 0;
    c->index_of[0] = static_cast<uint8_t>(nn);

    const Field f{*c};
    uint8_t *g = c->genpoly;
    g[0] = 1;
    for (uint32_t i = 0; i < d->nroots; ++i) {
        const uint8_t root = f.pow(static_cast<int64_t>(d->prim) * (d->first_root + static_cast<int64_t>(i)));
        g[i + 1] = g[i];
        for (uint32_t j = i; j > 0; --j) g[j] = g[j - 1] ^ f.mul(g[j], root);
        g[0] = f.mul(g[0], root);
    }
    for (uint32_t fb = 0; fb <= nn; ++fb)
        for (uint32_t j = 0; j < d->nroots; ++j)
            c->enc_tab[fb][j] = f.mul(static_cast<uint8_t>(fb), g[d->nroots - 1 - j]);
    c->valid = 1;
    return SX_OK;
}

const uint8_t *rs_generator(const rs_code_t *c) { return c != nullptr && c->valid ? c->genpoly : nullptr; }

int rs_encode(const rs_code_t *c, const uint8_t *data, uint8_t *parity) {
    if (c == nullptr || !c->valid || data == nullptr || parity == nullptr) return SX_ERR_INVALID;
    sx::rs::lfsr_encode(c->enc_tab, c->nroots, data, c->nn - c->nroots, static_cast<uint8_t>(c->nn), parity);
    return SX_OK;
}

int rs_syndromes(const rs_code_t *c, const uint8_t *cw, uint8_t *synd) {
    if (c == nullptr || !c->valid || cw == nullptr) return SX_ERR_INVALID;
    uint8_t rem[RS_MAX_ROOTS], s[RS_MAX_ROOTS];
    remainder_of(*c, cw, rem);
    remainder_syndromes(*c, rem, s);
    int nonzero = 0;
    for (uint32_t i = 0; i < c->nroots; ++i) nonzero += s[i] != 0;
    if (synd != nullptr) std::memcpy(synd, s, c->nroots);
    return nonzero;
}

int rs_codeword_ok(const rs_code_t *c, const uint8_t *cw) {
    if (c == nullptr || !c->valid || cw == nullptr) return SX_ERR_INVALID;
    uint8_t rem[RS_MAX_ROOTS];
    remainder_of(*c, cw, rem);
    uint8_t any = 0;
    for (uint32_t j = 0; j < c->nroots; ++j) any |= rem[j];
    return any == 0;
}

int rs_decode(const rs_code_t *c, uint8_t *cw) {
    if (c == nullptr || !c->valid || cw == nullptr) return SX_ERR_INVALID;
    uint8_t rem[RS_MAX_ROOTS];
    remainder_of(*c, cw, rem);
    uint8_t any = 0;
    for (uint32_t j = 0; j < c->nroots; ++j) any |= rem[j];
    if (any == 0) return 0;
    uint32_t pos[RS_MAX_ROOTS];
    uint8_t val[RS_MAX_ROOTS];
    const int n = sx::rs::decode_from_remainder(*c, rem, pos, val);
    if (n <= 0) return -1;
    for (int k = 0; k < n; ++k) cw[pos[k]] ^= val[k];
    return n;
}

}  // extern "C"
