#include "conv.h"

const ConvSpec CCSDS_TM_CONV = {7u, 2u, {0x79u, 0x5Bu, 0u, 0u, 0u, 0u}, 2u};
