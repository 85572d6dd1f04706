#include "rs_core.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <numeric>

#include "rs_core.hpp"

namespace {

constexpr uint8_t kNoLog = 255;

// Field arithmetic on a codec's tables. Every logarithm is below nn, so the sum of two
// indexes the doubled alpha_to table directly.
struct Gf {
    const RsCodec &rs;

    uint8_t mul(uint8_t a, uint8_t b) const {
        if (a == 0 || b == 0) return 0;
        return rs.alpha_to[rs.index_of[a] + rs.index_of[b]];
    }
    // a * alpha^e with e < nn.
    uint8_t mul_exp(uint8_t a, uint32_t e) const { return a == 0 ? 0 : rs.alpha_to[rs.index_of[a] + e]; }
    uint32_t log(uint8_t a) const { return rs.index_of[a]; }
    uint32_t reduce(uint32_t e) const { return e >= rs.nn ? e - rs.nn : e; }
    // Log of a / b for non-zero operands.
    uint32_t log_div(uint8_t a, uint8_t b) const { return reduce(log(a) + rs.nn - log(b)); }
};

// Berlekamp-Massey over the nroots syndromes: fills lambda (nroots + 1 coefficients, lambda[0] = 1)
// and returns the register length L.
uint32_t berlekamp_massey(const Gf &gf, const uint8_t *synd, uint8_t *lambda) {
    const uint32_t nroots = gf.rs.nroots;
    uint8_t prev[RS_MAX_NROOTS + 1] = {1};
    uint8_t saved[RS_MAX_NROOTS + 1];
    std::fill_n(lambda, nroots + 1, uint8_t{0});
    lambda[0] = 1;
    uint32_t L = 0;
    uint32_t shift = 1;
    uint8_t prev_discrepancy = 1;
    for (uint32_t r = 0; r < nroots; ++r) {
        uint8_t d = synd[r];
        for (uint32_t i = 1; i <= L; ++i) d ^= gf.mul(lambda[i], synd[r - i]);
        if (d == 0) {
            ++shift;
            continue;
        }
        const uint32_t coef_log = gf.log_div(d, prev_discrepancy);
        const bool grow = 2 * L <= r;
        if (grow) std::memcpy(saved, lambda, nroots + 1);
        for (uint32_t i = 0; i + shift <= nroots; ++i) lambda[i + shift] ^= gf.mul_exp(prev[i], coef_log);
        if (grow) {
            L = r + 1 - L;
            std::memcpy(prev, saved, nroots + 1);
            prev_discrepancy = d;
            shift = 1;
        } else {
            ++shift;
        }
    }
    return L;
}

// Chien search: positions k (codeword index nn - 1 - k) where lambda(alpha^(-prim k)) = 0.
// Returns how many were found, or -1 when that differs from L.
int chien_search(const Gf &gf, const uint8_t *lambda, uint32_t L, uint32_t *positions) {
    const RsCodec &rs = gf.rs;
    // The non-zero terms only: log of lambda_i * alpha^(-prim k i), and its step per k.
    uint32_t term[RS_MAX_NROOTS];
    uint32_t step[RS_MAX_NROOTS];
    uint32_t nterms = 0;
    for (uint32_t i = 1; i <= L; ++i) {
        if (lambda[i] == 0) continue;
        term[nterms] = gf.log(lambda[i]);
        step[nterms++] = (rs.nn - static_cast<uint32_t>((uint64_t{rs.prim} * i) % rs.nn)) % rs.nn;
    }
    uint32_t found = 0;
    for (uint32_t k = 0; k < rs.nn && found < L; ++k) {
        uint8_t value = 1;
        for (uint32_t i = 0; i < nterms; ++i) {
            value ^= rs.alpha_to[term[i]];
            term[i] = gf.reduce(term[i] + step[i]);
        }
        if (value == 0) positions[found++] = k;
    }
    // A degree-L polynomial has at most L roots, so stopping at L loses no extra one.
    return found == L ? static_cast<int>(found) : RS_UNCORRECTABLE;
}

// Sum of coeffs[i] x^(i - power_offset) for i = first, first + every, ... below end, x = alpha^xlog.
uint8_t eval_terms(const Gf &gf, const uint8_t *coeffs, uint32_t first, uint32_t end, uint32_t every,
                   uint32_t xlog, uint32_t power_offset) {
    uint8_t sum = 0;
    for (uint32_t i = first; i < end; i += every) {
        if (coeffs[i] == 0) continue;
        const uint32_t e = static_cast<uint32_t>((uint64_t{xlog} * (i - power_offset)) % gf.rs.nn);
        sum ^= gf.mul_exp(coeffs[i], e);
    }
    return sum;
}

}  // namespace

namespace kettara {

uint32_t rs_root_log(const RsCodec &rs, uint32_t i) {
    return static_cast<uint32_t>((uint64_t{rs.prim} * (uint64_t{rs.fcr} + i)) % rs.nn);
}

int rs_correct(const RsCodec &rs, uint8_t *codeword, const uint8_t *synd) {
    const Gf gf{rs};
    uint8_t lambda[RS_MAX_NROOTS + 1];
    const uint32_t L = berlekamp_massey(gf, synd, lambda);
    if (L == 0 || L > rs.t) return RS_UNCORRECTABLE;

    uint32_t positions[RS_MAX_NROOTS];
    if (chien_search(gf, lambda, L, positions) == RS_UNCORRECTABLE) return RS_UNCORRECTABLE;

    // Omega(x) = S(x) lambda(x) mod x^L.
    uint8_t omega[RS_MAX_NROOTS] = {};
    for (uint32_t i = 0; i < L; ++i)
        for (uint32_t j = 0; j <= i; ++j) omega[i] ^= gf.mul(synd[j], lambda[i - j]);

    // X^(1 - fcr) with the exponent taken modulo nn.
    const uint32_t one_minus_fcr = (1 + rs.nn - rs.fcr % rs.nn) % rs.nn;
    for (uint32_t e = 0; e < L; ++e) {
        const uint32_t k = positions[e];
        const uint32_t x_log = static_cast<uint32_t>((uint64_t{rs.prim} * k) % rs.nn);
        const uint32_t xinv_log = (rs.nn - x_log) % rs.nn;
        const uint8_t num = eval_terms(gf, omega, 0, L, 1, xinv_log, 0);
        // lambda'(x) in characteristic 2: the odd terms, each lowered by one power.
        const uint8_t den = eval_terms(gf, lambda, 1, L + 1, 2, xinv_log, 1);
        if (num == 0 || den == 0) continue;
        const uint32_t scale = static_cast<uint32_t>((uint64_t{x_log} * one_minus_fcr) % rs.nn);
        const uint8_t value = gf.mul_exp(num, gf.reduce(scale + gf.log_div(1, den)));
        codeword[rs.nn - 1 - k] ^= value;
    }
    return static_cast<int>(L);
}

}  // namespace kettara

extern "C" {

int rs_code_valid(const RsSpec *spec) {
    if (!spec || spec->symsize < 2 || spec->symsize > 8) return 0;
    const uint32_t nn = (1u << spec->symsize) - 1u;
    if (spec->gfpoly == 0 || spec->gfpoly >= (1u << spec->symsize) || (spec->gfpoly & 1u) == 0) return 0;
    if (spec->nroots < 2 || spec->nroots > RS_MAX_NROOTS || spec->nroots >= nn || spec->nroots % 2 != 0) return 0;
    if (spec->prim == 0 || std::gcd(spec->prim, nn) != 1) return 0;
    return 1;
}

int rs_init(RsCodec *out, const RsSpec *spec) {
    if (!out || !rs_code_valid(spec)) return 0;
    RsCodec rs{};
    rs.symsize = spec->symsize;
    rs.gfpoly = spec->gfpoly;
    rs.nroots = spec->nroots;
    rs.fcr = spec->fcr;
    rs.prim = spec->prim;
    rs.nn = (1u << spec->symsize) - 1u;
    rs.kk = rs.nn - rs.nroots;
    rs.t = rs.nroots / 2;
    std::fill(std::begin(rs.index_of), std::end(rs.index_of), kNoLog);

    const uint32_t top = 1u << rs.symsize;
    uint32_t x = 1;
    for (uint32_t i = 0; i < rs.nn; ++i) {
        if (rs.index_of[x] != kNoLog) return 0;  // the powers cycle early: not primitive
        rs.alpha_to[i] = static_cast<uint8_t>(x);
        rs.index_of[x] = static_cast<uint8_t>(i);
        x <<= 1;
        if (x & top) x ^= top | rs.gfpoly;
    }
    if (x != 1) return 0;
    for (uint32_t i = 0; i + 1 < rs.nn; ++i) rs.alpha_to[rs.nn + i] = rs.alpha_to[i];

    // g(x) = product over j of (x + alpha^root_j), built one factor at a time.
    const Gf gf{rs};
    rs.genpoly[0] = 1;
    for (uint32_t j = 0; j < rs.nroots; ++j) {
        const uint8_t root = rs.alpha_to[kettara::rs_root_log(rs, j)];
        for (uint32_t i = j + 1; i > 0; --i) rs.genpoly[i] = rs.genpoly[i - 1] ^ gf.mul(root, rs.genpoly[i]);
        rs.genpoly[0] = gf.mul(root, rs.genpoly[0]);
    }
    *out = rs;
    return 1;
}

const uint8_t *rs_generator(const RsCodec *rs) { return rs ? rs->genpoly : nullptr; }

void rs_encode(const RsCodec *rs, const uint8_t *data, uint8_t *parity) {
    if (!rs || !data || !parity) return;
    const Gf gf{*rs};
    const uint32_t nroots = rs->nroots;
    // Division register: parity[j] holds the coefficient of x^(nroots - 1 - j); each data
    // symbol shifts it by one and feeds back (symbol + top coefficient) x g(x).
    std::memset(parity, 0, nroots);
    for (uint32_t i = 0; i < rs->kk; ++i) {
        const uint8_t feedback = static_cast<uint8_t>((data[i] & rs->nn) ^ parity[0]);
        std::memmove(parity, parity + 1, nroots - 1);
        parity[nroots - 1] = 0;
        for (uint32_t j = 0; j < nroots; ++j) parity[j] ^= gf.mul(rs->genpoly[nroots - 1 - j], feedback);
    }
}

// Only the low m bits of each symbol count.
static bool field_syndromes(const RsCodec &rs, const uint8_t *codeword, uint8_t *synd) {
    const Gf gf{rs};
    uint8_t received[RS_MAX_NN];
    uint32_t root_log[RS_MAX_NROOTS];
    for (uint32_t j = 0; j < rs.nn; ++j) received[j] = codeword[j] & rs.nn;
    for (uint32_t i = 0; i < rs.nroots; ++i) root_log[i] = kettara::rs_root_log(rs, i);
    return kettara::horner_syndromes(rs.nn, rs.nroots, received, synd,
                                     [&](uint32_t i, uint8_t s) { return gf.mul_exp(s, root_log[i]); });
}

void rs_syndromes(const RsCodec *rs, const uint8_t *codeword, uint8_t *synd) {
    if (rs && codeword && synd) field_syndromes(*rs, codeword, synd);
}

int rs_codeword_ok(const RsCodec *rs, const uint8_t *codeword) {
    if (!rs || !codeword) return 0;
    uint8_t synd[RS_MAX_NROOTS];
    return field_syndromes(*rs, codeword, synd) ? 1 : 0;
}

int rs_decode(const RsCodec *rs, uint8_t *codeword) {
    if (!rs || !codeword) return QN_ERR_INVALID;
    uint8_t synd[RS_MAX_NROOTS];
    if (field_syndromes(*rs, codeword, synd)) return 0;
    return kettara::rs_correct(*rs, codeword, synd);
}

}  // extern "C"
