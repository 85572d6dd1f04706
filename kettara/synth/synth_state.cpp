// The "WFMS" state blob of a synthesiser: the header, the shaping stage's position and
// held symbol, the family's positions in their slots, which parts are present, then the
// states of the filter, interpolator, oscillator, noise and PN generators that are.
#include <array>
#include <cstring>
#include <memory>
#include <new>

#include "synth.hpp"

namespace {

using qn::synth::get;
using qn::synth::kStateFixedBytes;
using qn::synth::put;

constexpr uint16_t kStateVersion = 2;
constexpr size_t kSymPos = 16;
constexpr size_t kCurRe = 20;
constexpr size_t kCurIm = 24;
constexpr size_t kPrimed = 77;
constexpr size_t kPresence = 78;  // fir, resamp, lo, awgn, pn
constexpr size_t kParts = 5;

// Which of the optional parts the synthesiser has, in blob order.
std::array<bool, kParts> presence(const Synth &s) {
    return {s.shaping.fir != nullptr, s.shaping.resamp != nullptr, s.lo != nullptr, s.awgn != nullptr,
            s.pn != nullptr};
}

}  // namespace

size_t Synth::state_bytes() const {
    size_t n = kStateFixedBytes;
    if (shaping.fir) n += fir_state_bytes(shaping.fir.get());
    if (shaping.resamp) n += resamp_state_bytes(shaping.resamp.get());
    if (lo) n += lo_state_bytes(lo.get());
    if (awgn) n += awgn_state_bytes(awgn.get());
    if (pn) n += pn_state_bytes(pn.get());
    return n + family->extra_state_bytes();
}

void Synth::get_state(uint8_t *blob) const {
    std::memset(blob, 0, kStateFixedBytes);
    qn::blob::write_header(blob, "WFMS", kStateVersion, static_cast<uint32_t>(state_bytes()));
    put<int32_t>(blob, kSymPos, shaping.sym_pos);
    put<float>(blob, kCurRe, shaping.cur.re);
    put<float>(blob, kCurIm, shaping.cur.im);
    family->save(blob);
    blob[kPrimed] = shaping.primed;
    const std::array<bool, kParts> present = presence(*this);
    for (size_t i = 0; i < kParts; ++i) blob[kPresence + i] = present[i];
    size_t off = kStateFixedBytes;
    if (shaping.fir) {
        fir_get_state(shaping.fir.get(), blob + off);
        off += fir_state_bytes(shaping.fir.get());
    }
    if (shaping.resamp) {
        resamp_get_state(shaping.resamp.get(), blob + off);
        off += resamp_state_bytes(shaping.resamp.get());
    }
    if (lo) {
        lo_get_state(lo.get(), blob + off);
        off += lo_state_bytes(lo.get());
    }
    if (awgn) {
        awgn_get_state(awgn.get(), blob + off);
        off += awgn_state_bytes(awgn.get());
    }
    if (pn) {
        pn_get_state(pn.get(), blob + off);
        off += pn_state_bytes(pn.get());
    }
    family->save_extra(blob + off);
}

// Writes the running fields and the sub-object states; the first refusal stops it.
int Synth::apply_state(const uint8_t *blob) {
    shaping.sym_pos = get<int32_t>(blob, kSymPos);
    shaping.cur = cf32{get<float>(blob, kCurRe), get<float>(blob, kCurIm)};
    family->restore(blob);
    shaping.primed = blob[kPrimed];
    size_t off = kStateFixedBytes;
    if (shaping.fir) {
        if (fir_set_state(shaping.fir.get(), blob + off) != QN_OK) return QN_ERR_STATE;
        off += fir_state_bytes(shaping.fir.get());
    }
    if (shaping.resamp) {
        if (resamp_set_state(shaping.resamp.get(), blob + off) != QN_OK) return QN_ERR_STATE;
        off += resamp_state_bytes(shaping.resamp.get());
    }
    if (lo) {
        if (lo_set_state(lo.get(), blob + off) != QN_OK) return QN_ERR_STATE;
        off += lo_state_bytes(lo.get());
    }
    if (awgn) {
        if (awgn_set_state(awgn.get(), blob + off) != QN_OK) return QN_ERR_STATE;
        off += awgn_state_bytes(awgn.get());
    }
    if (pn) {
        if (pn_set_state(pn.get(), blob + off) != QN_OK) return QN_ERR_STATE;
        off += pn_state_bytes(pn.get());
    }
    family->restore_extra(blob + off);
    return QN_OK;
}

// Everything that can be checked is checked before anything changes; should a sub-object
// still refuse its part, the synthesiser's own earlier state is put back.
int Synth::set_state(const uint8_t *blob) {
    const size_t expected = state_bytes();
    if (!qn::blob::header_matches(blob, "WFMS", kStateVersion, expected)) return QN_ERR_STATE;
    const std::array<bool, kParts> present = presence(*this);
    for (size_t i = 0; i < kParts; ++i) {
        if ((blob[kPresence + i] != 0) != present[i]) return QN_ERR_STATE;
    }
    const int32_t pos = get<int32_t>(blob, kSymPos);
    if (pos < 0 || pos >= shaping.nsps || !family->fits(blob)) return QN_ERR_STATE;
    if (!family->extra_fits(blob + expected - family->extra_state_bytes())) return QN_ERR_STATE;

    std::unique_ptr<uint8_t[]> backup(new (std::nothrow) uint8_t[expected]);
    if (!backup) return QN_ERR_INVALID;
    get_state(backup.get());
    if (apply_state(blob) != QN_OK) {
        apply_state(backup.get());
        return QN_ERR_STATE;
    }
    return QN_OK;
}
