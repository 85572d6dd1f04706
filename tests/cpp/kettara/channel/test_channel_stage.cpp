// The whole stage of one source: a saved state continues the same samples, and a refused
// blob changes nothing.
#include <gtest/gtest.h>

#include <memory>

#include "channel_stage.hpp"
#include "plan_testing.hpp"
#include "wfm_synth_core.h"

using qn::channel::ChannelStage;
using qn::channel::Fading;

namespace {

struct SynthFree {
    void operator()(Synth *s) const { wfm_synth_destroy(s); }
};
using SynthPtr = std::unique_ptr<Synth, SynthFree>;

SynthPtr qpsk() { return SynthPtr(wfm_synth_create(WFM_TYPE_QPSK, 0, 3, 4, 7, 0, 1.0, 0.01, 100.0, 0.0, 0)); }

WfmChannelSpec everything() {
    WfmChannelSpec c{};
    c.pa_model = WFM_PA_SALEH;
    c.saleh_alpha_a = 2.1587;
    c.saleh_beta_a = 1.1517;
    c.saleh_alpha_p = 4.0033;
    c.saleh_beta_p = 9.1040;
    c.has_phase_noise = 1;
    c.pn_dbc_hz.lo = -70;
    c.pn_offset = 0.001;
    c.freq_drift.lo = 1e-6;
    c.clock_ppm.lo = 30;
    c.timing_offset.lo = 0.4;
    c.n_delays = c.n_gains = 2;
    c.path_delay[1] = 3.5;
    c.path_gain_db[1] = -6;
    c.normalise = 1;
    c.fading_model = WFM_FADING_RAYLEIGH;
    c.doppler.lo = 0.01;
    c.sinusoids = 16;
    return c;
}

TEST(ChannelStage, SavedStateContinuesTheSameSamples) {
    const WfmChannelSpec spec = everything();
    const auto values = qn::channel::fixed_values(spec);
    auto whole = ChannelStage::create(spec, values, 1.0, 3, 3);
    SynthPtr whole_source = qpsk();
    plan_testing::Samples all(6000);
    whole->steps(whole_source.get(), all.data(), all.size());

    auto first = ChannelStage::create(spec, values, 1.0, 3, 3);
    SynthPtr source = qpsk();
    plan_testing::Samples part(2345);
    first->steps(source.get(), part.data(), part.size());
    std::vector<unsigned char> stage(first->state_bytes()), synth(wfm_synth_state_bytes(source.get()));
    first->get_state(stage.data());
    wfm_synth_get_state(source.get(), synth.data());

    auto later = ChannelStage::create(spec, values, 1.0, 3, 3);
    SynthPtr later_source = qpsk();
    std::vector<unsigned char> wrong = stage;
    wrong[0] = 'X';
    EXPECT_FALSE(later->set_state(wrong.data()));
    // A damaged part deep inside (the last fading process) is refused and changes nothing.
    wrong = stage;
    wrong[wrong.size() - Fading::kStateBytes] = 'X';
    {
        auto fresh = ChannelStage::create(spec, values, 1.0, 3, 3);
        SynthPtr fresh_source = qpsk();
        EXPECT_FALSE(fresh->set_state(wrong.data()));
        plan_testing::Samples start(100);
        fresh->steps(fresh_source.get(), start.data(), start.size());
        EXPECT_TRUE(plan_testing::identical(start, plan_testing::Samples(all.begin(), all.begin() + 100)));
    }
    ASSERT_TRUE(later->set_state(stage.data()));
    ASSERT_EQ(wfm_synth_set_state(later_source.get(), synth.data()), QN_OK);
    plan_testing::Samples rest(all.size() - part.size());
    later->steps(later_source.get(), rest.data(), rest.size());
    EXPECT_TRUE(plan_testing::identical(rest, plan_testing::Samples(all.begin() + 2345, all.end())));
}

TEST(ChannelStage, ResetStartsTheSameStreamAgain) {
    const WfmChannelSpec spec = everything();
    auto stage = ChannelStage::create(spec, qn::channel::fixed_values(spec), 1.0, 3, 3);
    SynthPtr source = qpsk();
    plan_testing::Samples a(3000), b(3000);
    stage->steps(source.get(), a.data(), a.size());
    stage->reset();
    source = qpsk();
    stage->steps(source.get(), b.data(), b.size());
    EXPECT_TRUE(plan_testing::identical(a, b));
}

}  // namespace
