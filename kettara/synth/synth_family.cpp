// The registry of waveform families: a new family is a new file and one row here.
#include "synth_family.hpp"

#include <new>

#include "wfm_spec.h"

namespace qn::synth {

bool positions_fit(const uint8_t *fixed, size_t data_len, size_t symbols_len) {
    const auto position_ok = [](uint64_t at, size_t len) { return len == 0 ? at == 0 : at < len; };
    return position_ok(get<uint64_t>(fixed, slot::kDataPos), data_len) &&
           position_ok(get<uint64_t>(fixed, slot::kSymIdx), symbols_len);
}

std::unique_ptr<Family> make_family(const Params &p) {
    struct Row {
        uint32_t wtype;
        Create create;
    };
    static constexpr Row kRows[] = {
        {WFM_TYPE_TONE, make_tone_family},    {WFM_TYPE_NOISE, make_tone_family},
        {WFM_TYPE_PN, make_pn_family},        {WFM_TYPE_BPSK, make_pn_family},
        {WFM_TYPE_QPSK, make_pn_family},      {WFM_TYPE_CHIRP, make_tone_family},
        {WFM_TYPE_BITS, make_bits_family},    {WFM_TYPE_SYMBOLS, make_symbols_family},
        {WFM_TYPE_DSSS, make_dsss_family},    {WFM_TYPE_8PSK, make_linear_family},
        {WFM_TYPE_16PSK, make_linear_family}, {WFM_TYPE_32PSK, make_linear_family},
        {WFM_TYPE_64PSK, make_linear_family}, {WFM_TYPE_16QAM, make_linear_family},
        {WFM_TYPE_64QAM, make_linear_family}, {WFM_TYPE_256QAM, make_linear_family},
        {WFM_TYPE_1024QAM, make_linear_family}, {WFM_TYPE_OQPSK, make_linear_family},
        {WFM_TYPE_PI4QPSK, make_linear_family}, {WFM_TYPE_OOK, make_linear_family},
        {WFM_TYPE_4ASK, make_linear_family},  {WFM_TYPE_8ASK, make_linear_family},
        {WFM_TYPE_32QAM, make_linear_family}, {WFM_TYPE_128QAM, make_linear_family},
        {WFM_TYPE_16APSK, make_linear_family}, {WFM_TYPE_32APSK, make_linear_family},
    };
    Create create = make_tone_family;  // an unknown type holds its value, as a tone does
    for (const Row &r : kRows) {
        if (r.wtype == p.wtype) create = r.create;
    }
    try {
        return create(p);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

}  // namespace qn::synth
