#include "wfm_channel_write.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace wfm {
namespace {

void add_value(cJSON *obj, const char *key, const WfmChannelValue &v) {
    if (!v.ranged) {
        cJSON_AddNumberToObject(obj, key, v.lo);
        return;
    }
    cJSON *pair = cJSON_AddArrayToObject(obj, key);
    cJSON_AddItemToArray(pair, cJSON_CreateNumber(v.lo));
    cJSON_AddItemToArray(pair, cJSON_CreateNumber(v.hi));
}

bool given(const WfmChannelValue &v) { return v.ranged || v.lo != 0.0; }

void add_numbers(cJSON *obj, const char *key, const double *values, uint64_t n) {
    cJSON *arr = cJSON_AddArrayToObject(obj, key);
    for (uint64_t i = 0; arr && i < n; ++i) cJSON_AddItemToArray(arr, cJSON_CreateNumber(values[i]));
}

void add_pa(cJSON *ch, const WfmChannelSpec &c) {
    static const char *const kModels[] = {"", "rapp", "saleh", "cubic"};
    if (c.pa_model == WFM_PA_NONE || c.pa_model > WFM_PA_CUBIC) return;
    cJSON *pa = cJSON_AddObjectToObject(ch, "pa");
    if (!pa) return;
    cJSON_AddStringToObject(pa, "model", kModels[c.pa_model]);
    if (c.pa_model == WFM_PA_RAPP) {
        cJSON_AddNumberToObject(pa, "smoothness", c.pa_smoothness);
        cJSON_AddNumberToObject(pa, "saturation", c.pa_saturation);
    } else if (c.pa_model == WFM_PA_SALEH) {
        cJSON_AddNumberToObject(pa, "alpha_a", c.saleh_alpha_a);
        cJSON_AddNumberToObject(pa, "beta_a", c.saleh_beta_a);
        cJSON_AddNumberToObject(pa, "alpha_p", c.saleh_alpha_p);
        cJSON_AddNumberToObject(pa, "beta_p", c.saleh_beta_p);
    } else {
        cJSON_AddNumberToObject(pa, "iip3_db", c.pa_iip3_db);
    }
    if (given(c.pa_drive_db)) add_value(pa, "drive_db", c.pa_drive_db);
}

void add_fading(cJSON *ch, const WfmChannelSpec &c) {
    if (c.fading_model == WFM_FADING_NONE) return;
    cJSON *f = cJSON_AddObjectToObject(ch, "fading");
    if (!f) return;
    cJSON_AddStringToObject(f, "model", c.fading_model == WFM_FADING_RICIAN ? "rician" : "rayleigh");
    add_value(f, "doppler", c.doppler);
    if (c.fading_model == WFM_FADING_RICIAN) add_value(f, "k_db", c.k_db);
    cJSON_AddNumberToObject(f, "sinusoids", c.sinusoids);
}

}  // namespace

void add_channel(cJSON *obj, const WfmChannelSpec *channel, const char *key) {
    if (!channel) return;
    const WfmChannelSpec &c = *channel;
    cJSON *ch = cJSON_AddObjectToObject(obj, key);
    if (!ch) return;
    add_pa(ch, c);
    if (c.has_phase_noise) {
        cJSON *pn = cJSON_AddObjectToObject(ch, "phase_noise");
        add_value(pn, "dbc_hz", c.pn_dbc_hz);
        cJSON_AddNumberToObject(pn, "offset", c.pn_offset);
        if (c.pn_has_floor) cJSON_AddNumberToObject(pn, "floor_dbc_hz", c.pn_floor_dbc_hz);
    }
    if (given(c.freq_drift)) add_value(ch, "freq_drift", c.freq_drift);
    if (c.n_profile > 0) {
        cJSON *profile = cJSON_AddArrayToObject(ch, "freq_profile");
        for (uint64_t i = 0; profile && i < c.n_profile && i < WFM_CHANNEL_MAX_PROFILE; ++i) {
            cJSON *pair = cJSON_CreateArray();
            cJSON_AddItemToArray(pair, cJSON_CreateNumber(c.profile_t[i]));
            cJSON_AddItemToArray(pair, cJSON_CreateNumber(c.profile_df[i]));
            cJSON_AddItemToArray(profile, pair);
        }
    }
    if (given(c.clock_ppm)) add_value(ch, "clock_ppm", c.clock_ppm);
    if (given(c.timing_offset)) add_value(ch, "timing_offset", c.timing_offset);
    if (c.n_delays > 0 && c.n_delays <= WFM_CHANNEL_MAX_PATHS) {
        cJSON *mp = cJSON_AddObjectToObject(ch, "multipath");
        add_numbers(mp, "delays", c.path_delay, c.n_delays);
        if (c.n_gains > 0) add_numbers(mp, "gains_db", c.path_gain_db, c.n_gains);
        if (c.n_phases > 0) add_numbers(mp, "phases", c.path_phase, c.n_phases);
        if (!c.normalise) cJSON_AddBoolToObject(mp, "normalise", 0);
    }
    add_fading(ch, c);
}

void add_frontend(cJSON *obj, const WfmFrontendSpec *frontend, const char *key) {
    if (!frontend) return;
    const WfmFrontendSpec &f = *frontend;
    cJSON *fe = cJSON_AddObjectToObject(obj, key);
    if (!fe) return;
    if (f.has_iq_imbalance) {
        cJSON *iq = cJSON_AddObjectToObject(fe, "iq_imbalance");
        add_value(iq, "gain_db", f.iq_gain_db);
        add_value(iq, "phase_deg", f.iq_phase_deg);
    }
    if (f.has_dc_offset) {
        const double pair[2] = {f.dc_re, f.dc_im};
        add_numbers(fe, "dc_offset", pair, 2);
    }
}


double profile_offset(const double *t, const double *df, uint64_t n, double time) {
    if (n == 0) return 0.0;
    if (time <= t[0]) return df[0];
    if (time >= t[n - 1]) return df[n - 1];
    uint64_t i = 1;
    while (t[i] < time) ++i;
    return df[i - 1] + (df[i] - df[i - 1]) * ((time - t[i - 1]) / (t[i] - t[i - 1]));
}

void channel_frequency_span(const WfmChannelSpec *channel, double freq, double fs, uint64_t n, double &lo,
                            double &hi) {
    lo = hi = 0.0;
    if (!channel) return;
    const WfmChannelSpec &c = *channel;
    const double rate = fs > 0.0 && std::isfinite(fs) ? fs : 1.0;
    const double end = static_cast<double>(n) / rate;  // seconds
    auto widen = [&](double v) {
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    };
    // The offset is piecewise linear in t: its extremes lie at the ends and at profile points.
    for (double drift : {c.freq_drift.lo, c.freq_drift.ranged ? c.freq_drift.hi : c.freq_drift.lo}) {
        std::vector<double> times{0.0, end};
        for (uint64_t i = 0; i < c.n_profile && i < WFM_CHANNEL_MAX_PROFILE; ++i)
            if (c.profile_t[i] > 0.0 && c.profile_t[i] < end) times.push_back(c.profile_t[i]);
        for (double t : times) {
            const uint64_t points = std::min<uint64_t>(c.n_profile, WFM_CHANNEL_MAX_PROFILE);
            widen(drift * t + profile_offset(c.profile_t, c.profile_df, points, t));
        }
    }
    if (c.fading_model != WFM_FADING_NONE) {
        const double fd = c.doppler.ranged ? std::max(c.doppler.lo, c.doppler.hi) : c.doppler.lo;
        lo -= fd;
        hi += fd;
    }
    for (double ppm : {c.clock_ppm.lo, c.clock_ppm.ranged ? c.clock_ppm.hi : c.clock_ppm.lo}) {
        const double shift = freq * ppm * 1e-6;
        if (shift < 0.0) lo += shift;
        else hi += shift;
    }
}

}  // namespace wfm
