#include "wfm_classes.hpp"

#include <cmath>

#include "wfm_spec.h"

namespace qn {
namespace {

constexpr LinearClass kClasses[] = {
    {WFM_BITMOD_NONE, WFM_TYPE_COUNT, "ask", 2, 1},
    {WFM_BITMOD_BPSK, WFM_TYPE_BPSK, "psk", 2, 1},
    {WFM_BITMOD_QPSK, WFM_TYPE_QPSK, "psk", 4, 2},
    {WFM_BITMOD_8PSK, WFM_TYPE_8PSK, "psk", 8, 3},
    {WFM_BITMOD_16PSK, WFM_TYPE_16PSK, "psk", 16, 4},
    {WFM_BITMOD_32PSK, WFM_TYPE_32PSK, "psk", 32, 5},
    {WFM_BITMOD_64PSK, WFM_TYPE_64PSK, "psk", 64, 6},
    {WFM_BITMOD_16QAM, WFM_TYPE_16QAM, "qam", 16, 4},
    {WFM_BITMOD_64QAM, WFM_TYPE_64QAM, "qam", 64, 6},
    {WFM_BITMOD_256QAM, WFM_TYPE_256QAM, "qam", 256, 8},
    {WFM_BITMOD_1024QAM, WFM_TYPE_1024QAM, "qam", 1024, 10},
    {WFM_BITMOD_OQPSK, WFM_TYPE_OQPSK, "psk", 4, 2},
    {WFM_BITMOD_PI4QPSK, WFM_TYPE_PI4QPSK, "psk", 4, 2},
    {WFM_BITMOD_OOK, WFM_TYPE_OOK, "ask", 2, 1},
    {WFM_BITMOD_4ASK, WFM_TYPE_4ASK, "ask", 4, 2},
    {WFM_BITMOD_8ASK, WFM_TYPE_8ASK, "ask", 8, 3},
    {WFM_BITMOD_32QAM, WFM_TYPE_32QAM, "qam", 32, 5},
    {WFM_BITMOD_128QAM, WFM_TYPE_128QAM, "qam", 128, 7},
    {WFM_BITMOD_16APSK, WFM_TYPE_16APSK, "apsk", 16, 4},
    {WFM_BITMOD_32APSK, WFM_TYPE_32APSK, "apsk", 32, 5},
};
static_assert(sizeof kClasses / sizeof kClasses[0] == WFM_BITMOD_COUNT, "one class per mapping");

}  // namespace

const LinearClass *linear_class_of_bitmod(uint32_t bitmod) {
    return bitmod < WFM_BITMOD_COUNT ? &kClasses[bitmod] : nullptr;
}

const LinearClass *linear_class_of_type(uint32_t type) {
    for (const LinearClass &c : kClasses) {
        if (c.type == type) return &c;
    }
    return nullptr;
}

const LinearClass *symbol_rate_class_of_type(uint32_t type) {
    return type > WFM_TYPE_DSSS ? linear_class_of_type(type) : nullptr;
}

const char *apsk_rings_error(uint32_t bitmod, const double *ratios, uint64_t n) {
    const uint64_t wanted = bitmod == WFM_BITMOD_16APSK ? 1 : bitmod == WFM_BITMOD_32APSK ? 2 : 0;
    if (wanted == 0) return nullptr;
    if (n != wanted || !ratios) {
        return "apsk_rings takes one ratio per ring beyond the inner one: one for 16apsk, two for 32apsk";
    }
    double inner = 1.0;
    for (uint64_t i = 0; i < n; ++i) {
        if (!(ratios[i] > inner) || !std::isfinite(ratios[i])) {
            return "apsk_rings must be finite ring radius ratios greater than 1 and increasing outwards";
        }
        inner = ratios[i];
    }
    return nullptr;
}

double ebno_offset_db(const LinearClass &c) { return std::log10(static_cast<double>(c.bits_per_symbol)) * 10.0; }

}  // namespace qn
