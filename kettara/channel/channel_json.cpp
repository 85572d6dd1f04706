#include "channel_json.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace wfm {
namespace {

const cJSON *item(const cJSON *obj, const char *key) { return cJSON_GetObjectItemCaseSensitive(obj, key); }

// Reads the keys of one impairment object; the first value it cannot take is kept as the
// record's refusal, and later checks leave it standing.
class Reader {
public:
    explicit Reader(const char *&refusal) : refusal_(refusal) {}

    void refuse(const char *why) {
        if (!refusal_) refusal_ = why;
    }

    // A finite number within [lo, hi] (open above when hi_open), or fallback when absent.
    double number(const cJSON *obj, const char *key, double fallback, double lo, double hi, const char *why,
                  bool hi_open = false) {
        const cJSON *v = item(obj, key);
        if (!v) return fallback;
        if (!cJSON_IsNumber(v) || !within(v->valuedouble, lo, hi, hi_open)) {
            refuse(why);
            return fallback;
        }
        return v->valuedouble;
    }

    // A number or a two-number range [lo, hi], both ends within the bounds.
    WfmChannelValue value(const cJSON *obj, const char *key, double fallback, double lo, double hi,
                          const char *why, bool hi_open = false) {
        WfmChannelValue out{fallback, 0.0, 0};
        const cJSON *v = item(obj, key);
        if (!v) return out;
        if (cJSON_IsArray(v) && cJSON_GetArraySize(v) == 2) {
            const cJSON *a = cJSON_GetArrayItem(v, 0), *b = cJSON_GetArrayItem(v, 1);
            if (cJSON_IsNumber(a) && cJSON_IsNumber(b) && within(a->valuedouble, lo, hi, hi_open) &&
                within(b->valuedouble, lo, hi, hi_open))
                return WfmChannelValue{a->valuedouble, b->valuedouble, 1};
        } else if (cJSON_IsNumber(v) && within(v->valuedouble, lo, hi, hi_open)) {
            out.lo = v->valuedouble;
            return out;
        }
        refuse(why);
        return out;
    }

    // An array of finite numbers within [lo, hi] into out; its length, or 0 when refused.
    uint64_t numbers(const cJSON *obj, const char *key, double *out, uint64_t cap, double lo, double hi,
                     const char *why) {
        const cJSON *v = item(obj, key);
        if (!v) return 0;
        const int n = cJSON_IsArray(v) ? cJSON_GetArraySize(v) : -1;
        if (n < 1 || static_cast<uint64_t>(n) > cap) {
            refuse(why);
            return 0;
        }
        for (int i = 0; i < n; ++i) {
            const cJSON *e = cJSON_GetArrayItem(v, i);
            if (!cJSON_IsNumber(e) || !within(e->valuedouble, lo, hi, false)) {
                refuse(why);
                return 0;
            }
            out[i] = e->valuedouble;
        }
        return static_cast<uint64_t>(n);
    }

    // An object or nothing; another JSON type is refused.
    const cJSON *object(const cJSON *obj, const char *key, const char *why) {
        const cJSON *v = item(obj, key);
        if (v && !cJSON_IsObject(v)) {
            refuse(why);
            return nullptr;
        }
        return v;
    }

private:
    static bool within(double v, double lo, double hi, bool hi_open) {
        return std::isfinite(v) && v >= lo && (hi_open ? v < hi : v <= hi);
    }

    const char *&refusal_;
};

constexpr double kHuge = 1e300;

void parse_pa(Reader &r, const cJSON *pa, WfmChannelSpec &c) {
    const char *model = cJSON_GetStringValue(item(pa, "model"));
    if (!model) return r.refuse("\"pa\" needs a \"model\": \"rapp\", \"saleh\" or \"cubic\"");
    if (std::strcmp(model, "rapp") == 0) {
        c.pa_model = WFM_PA_RAPP;
        c.pa_smoothness = r.number(pa, "smoothness", 2.0, 1e-3, 1e3, "\"pa\" \"smoothness\" must be a number in [0.001, 1000]");
        c.pa_saturation = r.number(pa, "saturation", 1.0, 1e-9, 1e9, "\"pa\" \"saturation\" must be a positive number");
    } else if (std::strcmp(model, "saleh") == 0) {
        c.pa_model = WFM_PA_SALEH;
        const char *why = "\"pa\" saleh coefficients (\"alpha_a\", \"beta_a\", \"alpha_p\", \"beta_p\") must be "
                          "non-negative numbers, \"alpha_a\" above 0";
        c.saleh_alpha_a = r.number(pa, "alpha_a", 2.1587, 1e-9, kHuge, why);
        c.saleh_beta_a = r.number(pa, "beta_a", 1.1517, 0.0, kHuge, why);
        c.saleh_alpha_p = r.number(pa, "alpha_p", 4.0033, 0.0, kHuge, why);
        c.saleh_beta_p = r.number(pa, "beta_p", 9.1040, 0.0, kHuge, why);
    } else if (std::strcmp(model, "cubic") == 0) {
        c.pa_model = WFM_PA_CUBIC;
        if (!item(pa, "iip3_db")) return r.refuse("\"pa\" model \"cubic\" needs \"iip3_db\"");
        c.pa_iip3_db = r.number(pa, "iip3_db", 0.0, -200.0, 200.0, "\"pa\" \"iip3_db\" must be a number in [-200, 200]");
    } else {
        return r.refuse("\"pa\" \"model\" must be \"rapp\", \"saleh\" or \"cubic\"");
    }
    c.pa_drive_db = r.value(pa, "drive_db", 0.0, -100.0, 100.0, "\"pa\" \"drive_db\" must be a number in [-100, 100]");
}

void parse_phase_noise(Reader &r, const cJSON *pn, WfmChannelSpec &c) {
    c.has_phase_noise = 1;
    if (!item(pn, "dbc_hz") || !item(pn, "offset"))
        return r.refuse("\"phase_noise\" needs \"dbc_hz\" and \"offset\"");
    c.pn_dbc_hz = r.value(pn, "dbc_hz", -100.0, -300.0, 0.0, "\"phase_noise\" \"dbc_hz\" must be a number in [-300, 0]");
    c.pn_offset = r.number(pn, "offset", 0.01, 1e-300, kHuge, "\"phase_noise\" \"offset\" must be a positive number");
    if (item(pn, "floor_dbc_hz")) {
        c.pn_has_floor = 1;
        c.pn_floor_dbc_hz = r.number(pn, "floor_dbc_hz", -300.0, -300.0, 0.0,
                                     "\"phase_noise\" \"floor_dbc_hz\" must be a number in [-300, 0]");
    }
}

void parse_profile(Reader &r, const cJSON *profile, WfmChannelSpec &c) {
    const char *why = "\"freq_profile\" must be 1 to 64 pairs [t, df] of finite numbers, the times increasing";
    const int n = cJSON_IsArray(profile) ? cJSON_GetArraySize(profile) : -1;
    if (n < 1 || n > WFM_CHANNEL_MAX_PROFILE) return r.refuse(why);
    for (int i = 0; i < n; ++i) {
        const cJSON *pair = cJSON_GetArrayItem(profile, i);
        const cJSON *t = cJSON_GetArrayItem(pair, 0), *df = cJSON_GetArrayItem(pair, 1);
        if (!cJSON_IsArray(pair) || cJSON_GetArraySize(pair) != 2 || !cJSON_IsNumber(t) || !cJSON_IsNumber(df) ||
            !std::isfinite(t->valuedouble) || !std::isfinite(df->valuedouble) ||
            (i > 0 && !(t->valuedouble > c.profile_t[i - 1])))
            return r.refuse(why);
        c.profile_t[i] = t->valuedouble;
        c.profile_df[i] = df->valuedouble;
    }
    c.n_profile = static_cast<uint64_t>(n);
}

void parse_multipath(Reader &r, const cJSON *mp, WfmChannelSpec &c) {
    constexpr uint64_t cap = WFM_CHANNEL_MAX_PATHS;
    c.n_delays = r.numbers(mp, "delays", c.path_delay, cap, 0.0, 4096.0,
                           "\"multipath\" \"delays\" must be 1 to 16 numbers in [0, 4096] (samples)");
    c.n_gains = r.numbers(mp, "gains_db", c.path_gain_db, cap, -300.0, 300.0,
                          "\"multipath\" \"gains_db\" must be 1 to 16 numbers in [-300, 300]");
    c.n_phases = r.numbers(mp, "phases", c.path_phase, cap, -1e6, 1e6,
                           "\"multipath\" \"phases\" must be 1 to 16 finite numbers (radians)");
    const cJSON *normalise = item(mp, "normalise");
    c.normalise = !cJSON_IsFalse(normalise);
    if (c.n_delays == 0) return r.refuse("\"multipath\" needs \"delays\"");
    if ((item(mp, "gains_db") && c.n_gains != c.n_delays) || (item(mp, "phases") && c.n_phases != c.n_delays))
        return r.refuse("\"multipath\" \"delays\", \"gains_db\" and \"phases\" must have the same length");
}

void parse_fading(Reader &r, const cJSON *f, WfmChannelSpec &c) {
    const char *model = cJSON_GetStringValue(item(f, "model"));
    if (model && std::strcmp(model, "rayleigh") == 0) c.fading_model = WFM_FADING_RAYLEIGH;
    else if (model && std::strcmp(model, "rician") == 0) c.fading_model = WFM_FADING_RICIAN;
    else return r.refuse("\"fading\" \"model\" must be \"rayleigh\" or \"rician\"");
    if (!item(f, "doppler")) return r.refuse("\"fading\" needs \"doppler\"");
    c.doppler = r.value(f, "doppler", 0.0, 0.0, kHuge, "\"fading\" \"doppler\" must be a number of 0 or more");
    c.k_db = r.value(f, "k_db", 0.0, -100.0, 100.0, "\"fading\" \"k_db\" must be a number in [-100, 100]");
    c.sinusoids = static_cast<uint32_t>(
        r.number(f, "sinusoids", 16.0, 1.0, 1024.0, "\"fading\" \"sinusoids\" must be a whole number in [1, 1024]"));
    const cJSON *n = item(f, "sinusoids");
    if (n && cJSON_IsNumber(n) && n->valuedouble != std::floor(n->valuedouble))
        r.refuse("\"fading\" \"sinusoids\" must be a whole number in [1, 1024]");
}

template <typename T>
bool allocate(T *&out) {
    out = static_cast<T *>(std::calloc(1, sizeof(T)));
    return out != nullptr;
}

}  // namespace

bool parse_channel(const cJSON *source, WfmChannelSpec *&out) {
    out = nullptr;
    const cJSON *obj = item(source, "channel");
    if (!obj) return true;
    if (!allocate(out)) return false;
    WfmChannelSpec &c = *out;
    Reader r(c.refusal);
    if (!cJSON_IsObject(obj)) {
        r.refuse("\"channel\" must be an object");
        return true;
    }
    if (const cJSON *pa = r.object(obj, "pa", "\"pa\" must be an object")) parse_pa(r, pa, c);
    if (const cJSON *pn = r.object(obj, "phase_noise", "\"phase_noise\" must be an object")) parse_phase_noise(r, pn, c);
    c.freq_drift = r.value(obj, "freq_drift", 0.0, -kHuge, kHuge, "\"freq_drift\" must be a finite number");
    if (const cJSON *profile = item(obj, "freq_profile")) parse_profile(r, profile, c);
    c.clock_ppm = r.value(obj, "clock_ppm", 0.0, -1000.0, 1000.0, "\"clock_ppm\" must be a number in [-1000, 1000]");
    c.timing_offset = r.value(obj, "timing_offset", 0.0, 0.0, 1.0, "\"timing_offset\" must be a number in [0, 1) (samples)", true);
    if (const cJSON *mp = r.object(obj, "multipath", "\"multipath\" must be an object")) parse_multipath(r, mp, c);
    if (const cJSON *f = r.object(obj, "fading", "\"fading\" must be an object")) parse_fading(r, f, c);
    return true;
}

bool parse_frontend(const cJSON *segment, WfmFrontendSpec *&out) {
    out = nullptr;
    const cJSON *obj = item(segment, "frontend");
    if (!obj) return true;
    if (!allocate(out)) return false;
    WfmFrontendSpec &f = *out;
    Reader r(f.refusal);
    if (!cJSON_IsObject(obj)) {
        r.refuse("\"frontend\" must be an object");
        return true;
    }
    if (const cJSON *iq = r.object(obj, "iq_imbalance", "\"iq_imbalance\" must be an object")) {
        f.has_iq_imbalance = 1;
        f.iq_gain_db = r.value(iq, "gain_db", 0.0, -20.0, 20.0, "\"iq_imbalance\" \"gain_db\" must be a number in [-20, 20]");
        f.iq_phase_deg = r.value(iq, "phase_deg", 0.0, -45.0, 45.0, "\"iq_imbalance\" \"phase_deg\" must be a number in [-45, 45]");
    }
    if (item(obj, "dc_offset")) {
        const char *why = "\"dc_offset\" must be [re, im], two finite numbers (full-scale units)";
        double pair[2] = {0.0, 0.0};
        if (r.numbers(obj, "dc_offset", pair, 2, -1e6, 1e6, why) != 2) r.refuse(why);
        f.has_dc_offset = 1;
        f.dc_re = pair[0];
        f.dc_im = pair[1];
    }
    return true;
}

}  // namespace wfm
