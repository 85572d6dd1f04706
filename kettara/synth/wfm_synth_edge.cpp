// The C interface of the synthesiser: null checks, and configuration handed to the
// installed family when it takes that configuration (QN_OK without effect when not).
#include <memory>

#include "synth.hpp"
#include "synth_setup.hpp"
#include "wfm_synth_core.hpp"

namespace {

// The installed family's configuration interface of kind T, or null.
template <typename T>
T *setup_of(Synth *s) {
    return dynamic_cast<T *>(s->family.get());
}

}  // namespace

int qn::synth_set_looping_bits(Synth *s, const uint8_t *bits, size_t n, size_t loop_start, uint32_t modulation) {
    if (!s) return QN_ERR_INVALID;
    auto *bits_setup = setup_of<qn::synth::BitsSetup>(s);
    return bits_setup ? bits_setup->set_bits(bits, n, loop_start, modulation) : QN_OK;
}

void qn::synth_noise_onto(Synth *s, float gain, const cf32 *signal, cf32 *out, size_t n) {
    if (!s || !out || !signal || n == 0) return;
    const NoiseOnto onto{gain, signal};
    s->noise_steps(out, n, &onto);
}

extern "C" {

void wfm_synth_destroy(Synth *s) { delete s; }

int wfm_synth_set_bits(Synth *s, const uint8_t *bits, size_t n, uint32_t modulation) {
    return qn::synth_set_looping_bits(s, bits, n, 0, modulation);
}

int wfm_synth_set_apsk_rings(Synth *s, const double *ratios, size_t n) {
    if (!s) return QN_ERR_INVALID;
    if (!ratios && n != 0) return QN_ERR_INVALID;
    auto *rings = setup_of<qn::synth::RingsSetup>(s);
    return rings ? rings->set_apsk_rings(ratios, n) : QN_OK;
}

int wfm_synth_set_symbols(Synth *s, const cf32 *symbols, size_t n) {
    if (!s) return QN_ERR_INVALID;
    auto *symbols_setup = setup_of<qn::synth::SymbolsSetup>(s);
    return symbols_setup ? symbols_setup->set_symbols(symbols, n) : QN_OK;
}

int wfm_synth_set_dsss(Synth *s, const uint8_t *acq_code, size_t acq_len, size_t acq_reps,
                       const uint8_t *data_code, size_t code_len, const uint8_t *sync, size_t sync_len,
                       const uint8_t *payload, size_t payload_len, uint32_t crc) {
    if (!s) return QN_ERR_INVALID;
    auto *dsss = setup_of<qn::synth::DsssSetup>(s);
    return dsss ? dsss->set_framed(acq_code, acq_len, acq_reps, data_code, code_len, sync, sync_len, payload,
                                   payload_len, crc)
                : QN_OK;
}

int wfm_synth_set_dsss_cont(Synth *s, const uint8_t *code, size_t code_len, uint32_t data_mode,
                            const uint8_t *data, size_t data_len, double chips_per_bit) {
    if (!s) return QN_ERR_INVALID;
    auto *dsss = setup_of<qn::synth::DsssSetup>(s);
    return dsss ? dsss->set_continuous(code, code_len, data_mode, data, data_len, chips_per_bit, s->pn != nullptr)
                : QN_OK;
}

int wfm_synth_set_rrc(Synth *s, const float *taps, size_t n) {
    if (!s) return QN_ERR_INVALID;
    if (!s->family->traits.plays_symbols) return QN_OK;
    return s->shaping.set_rrc(taps, n);
}

void wfm_synth_set_chirp_span(Synth *s, uint64_t span) {
    if (!s) return;
    if (auto *chirp = setup_of<qn::synth::ChirpSpan>(s)) chirp->set_span(span);
}

void wfm_synth_reseed_noise(Synth *s, uint32_t seed) {
    if (s && s->awgn) awgn_reseed(s->awgn.get(), seed);
}

void wfm_synth_reset(Synth *s) {
    if (s) s->reset();
}

void wfm_synth_steps(Synth *s, cf32 *out, size_t n) {
    if (s && out && n > 0) s->steps(out, n);
}

void wfm_synth_noise_steps(Synth *s, cf32 *out, size_t n) {
    if (s && out && n > 0) s->noise_steps(out, n);
}

uint32_t wfm_synth_get_wtype(const Synth *s) { return s ? s->wtype : 0; }
void wfm_synth_set_wtype(Synth *s, uint32_t wtype) {
    if (s) s->change_type(wtype);
}
int wfm_synth_get_nsps(const Synth *s) { return s ? s->shaping.nsps : 0; }
void wfm_synth_set_nsps(Synth *s, int nsps) {
    if (s) s->shaping.nsps = nsps > 0 ? nsps : 1;
}
int wfm_synth_get_sym_pos(const Synth *s) { return s ? s->shaping.sym_pos : 0; }
void wfm_synth_set_sym_pos(Synth *s, int sym_pos) {
    if (s) s->shaping.sym_pos = sym_pos;
}
float wfm_synth_get_cur_re(const Synth *s) { return s ? s->shaping.cur.re : 0.0f; }
void wfm_synth_set_cur_re(Synth *s, float v) {
    if (s) s->shaping.cur.re = v;
}
float wfm_synth_get_cur_im(const Synth *s) { return s ? s->shaping.cur.im : 0.0f; }
void wfm_synth_set_cur_im(Synth *s, float v) {
    if (s) s->shaping.cur.im = v;
}

size_t wfm_synth_state_bytes(const Synth *s) { return s ? s->state_bytes() : 0; }
void wfm_synth_get_state(const Synth *s, void *out) {
    if (s && out) s->get_state(static_cast<uint8_t *>(out));
}
int wfm_synth_set_state(Synth *s, const void *blob) {
    if (!s || !blob) return QN_ERR_INVALID;
    return s->set_state(static_cast<const uint8_t *>(blob));
}

}  // extern "C"
