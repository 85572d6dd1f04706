// Reading SigMF captures: the datatype, rate and centre frequency of the ".sigmf-meta"
// document, the samples of the ".sigmf-data" file beside it.
#include <cjson/cJSON.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <cstring>
#include <string>

#include "container_readers.hpp"
#include "tolvane_core.hpp"

namespace tolvane {
namespace {

constexpr uint32_t kMaxChannels = 65536;

struct JsonDeleter {
    void operator()(cJSON *j) const { cJSON_Delete(j); }
};

std::optional<std::pair<int, bool>> sigmf_datatype(const char *t) {
    for (int stype = 0; stype < kSampleTypeCount; ++stype) {
        const size_t n = std::strlen(STYPE_NAME[stype]);
        if (std::strncmp(t, STYPE_NAME[stype], n) == 0) return std::pair{stype, std::strstr(t + n, "be") != nullptr};
    }
    return std::nullopt;
}

// Interleaved channels: the count the document declares and the one the caller chose. A
// recording of several channels is read only as one chosen channel.
bool choose_channel(Reader &r, const cJSON *global) {
    const cJSON *declared = cJSON_GetObjectItemCaseSensitive(global, "core:num_channels");
    if (declared == nullptr) return true;
    const double n = cJSON_IsNumber(declared) ? declared->valuedouble : 0.0;
    if (!(n >= 1.0 && n <= kMaxChannels && n == std::floor(n))) {
        r.refusal = "core:num_channels must be a whole number from 1 to " + std::to_string(kMaxChannels);
        return false;
    }
    r.channels = static_cast<uint32_t>(n);
    if (r.channels > 1 && r.wanted_channel < 0) {
        r.refusal = "this SigMF recording interleaves " + std::to_string(r.channels) +
                    " channels: choose one with channel=K (0 to " + std::to_string(r.channels - 1) + ")";
        return false;
    }
    r.channel = r.wanted_channel > 0 ? static_cast<uint32_t>(std::min<int64_t>(r.wanted_channel, kMaxChannels)) : 0;
    return true;
}

// A whole number from 0 that the document gives, or nothing.
std::optional<uint64_t> count_member(const cJSON *object, const char *key) {
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(object, key);
    if (!cJSON_IsNumber(v) || !(v->valuedouble >= 0.0 && v->valuedouble < 9.2e18)) return std::nullopt;
    return static_cast<uint64_t>(v->valuedouble);
}

// Every "captures" entry as a segment: its first sample, frequency, datetime and index.
void load_captures(Reader &r, const cJSON *captures) {
    if (!cJSON_IsArray(captures)) return r.link_capture_times();
    const cJSON *entry = nullptr;
    cJSON_ArrayForEach(entry, captures) {
        if (!cJSON_IsObject(entry)) continue;
        const cJSON *freq = cJSON_GetObjectItemCaseSensitive(entry, "core:frequency");
        const cJSON *when = cJSON_GetObjectItemCaseSensitive(entry, "core:datetime");
        const auto index = count_member(entry, "core:global_index");
        r.add_capture(count_member(entry, "core:sample_start").value_or(0),
                      cJSON_IsNumber(freq) && std::isfinite(freq->valuedouble) ? freq->valuedouble : std::nan(""),
                      cJSON_IsString(when) ? when->valuestring : "", index ? static_cast<int64_t>(*index) : -1);
    }
    r.link_capture_times();
}

}  // namespace

bool open_sigmf(Reader &r, const std::string &path) {
    FilePtr meta_file = r.open_for_reading(base_of(path) + std::string(kSigmfMetaSuffix));
    if (!meta_file) return false;
    const auto length = file_length(meta_file.get());
    if (!length || *length == 0) return false;
    std::string text(static_cast<size_t>(*length), '\0');
    if (r.read_head(meta_file.get(), text.data(), text.size()) != text.size()) return false;
    std::unique_ptr<cJSON, JsonDeleter> meta(cJSON_ParseWithLength(text.data(), text.size()));
    const cJSON *global = cJSON_GetObjectItemCaseSensitive(meta.get(), "global");
    const cJSON *datatype = cJSON_GetObjectItemCaseSensitive(global, "core:datatype");
    if (!cJSON_IsString(datatype)) return false;
    const auto type = sigmf_datatype(datatype->valuestring);
    if (!type) return false;
    r.file_type = TOLVANE_FTYPE_SIGMF;
    std::tie(r.sample_type, r.endian) = std::pair{type->first, type->second ? 1 : 0};
    r.mode = is_real_type(r.sample_type) ? TOLVANE_MODE_SCALAR : TOLVANE_MODE_COMPLEX;
    if (!choose_channel(r, global)) return false;

    const cJSON *rate = cJSON_GetObjectItemCaseSensitive(global, "core:sample_rate");
    if (cJSON_IsNumber(rate) && std::isfinite(rate->valuedouble)) r.fs = rate->valuedouble;
    r.fs_source = r.fs != 0.0 ? TOLVANE_FS_SIGMF : TOLVANE_FS_NONE;
    const cJSON *captures = cJSON_GetObjectItemCaseSensitive(meta.get(), "captures");
    const cJSON *freq = cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(captures, 0), "core:frequency");
    if (cJSON_IsArray(captures) && cJSON_IsNumber(freq) && std::isfinite(freq->valuedouble)) {
        r.fc = freq->valuedouble;
        r.fc_source = TOLVANE_FC_SIGMF;
    }
    load_captures(r, captures);
    r.file = r.open_for_reading(path);
    if (!r.file) return false;
    r.num_samples = samples_in_file(r);
    compute_trailing(r);
    return true;
}

}  // namespace tolvane
