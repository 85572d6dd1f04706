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

double ebno_offset_db(const LinearClass &c) { return std::log10(static_cast<double>(c.bits_per_symbol)) * 10.0; }

}  // namespace qn
