#include "wfm_spec.h"

extern "C" {

const char *const TYPE_NAMES[WFM_TYPE_COUNT] = {
    "tone", "noise", "pn", "bpsk", "qpsk", "chirp", "bits", "symbols", "dsss",
    "8psk", "16psk", "32psk", "64psk", "16qam", "64qam", "256qam", "1024qam",
    "oqpsk", "pi4qpsk", "ook", "4ask", "8ask", "32qam", "128qam", "16apsk", "32apsk"};
const char *const MODE_NAMES[WFM_MODE_COUNT] = {"auto", "fs", "ebno", "esno"};
const char *const LFSR_NAMES[WFM_LFSR_COUNT] = {"galois", "fibonacci"};
const char *const BITMOD_NAMES[WFM_BITMOD_COUNT] = {
    "none", "bpsk", "qpsk", "8psk", "16psk", "32psk", "64psk", "16qam", "64qam", "256qam", "1024qam",
    "oqpsk", "pi4qpsk", "ook", "4ask", "8ask", "32qam", "128qam", "16apsk", "32apsk"};
const char *const CRC_NAMES[WFM_CRC_COUNT] = {"none", "crc16"};
const char *const SEED_ADVANCE_NAMES[WFM_SEED_ADVANCE_COUNT] = {"none", "noise", "all"};

}
