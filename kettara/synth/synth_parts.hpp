// Owning handles of the primitives a synthesiser is built from.
#pragma once

#include <memory>

#include "awgn_core.h"
#include "fir_core.h"
#include "lo_core.h"
#include "pn_core.h"
#include "resamp_core.h"

namespace qn::synth {

template <auto Destroy>
struct Destroyer {
    template <typename T>
    void operator()(T *p) const { Destroy(p); }
};
template <typename T, auto Destroy>
using Owned = std::unique_ptr<T, Destroyer<Destroy>>;

using LoPtr = Owned<Lo, lo_destroy>;
using AwgnPtr = Owned<Awgn, awgn_destroy>;
using PnPtr = Owned<PnGen, pn_destroy>;
using FirPtr = Owned<Fir, fir_destroy>;
using ResampPtr = Owned<Resamp, resamp_destroy>;

}  // namespace qn::synth
