// Content detection: the one place that decides what container a capture is, before the
// reader of that container opens it.
#include <cstring>
#include <optional>

#include "container_readers.hpp"
#include "tolvane_core.hpp"

namespace tolvane {
namespace {

enum class Container { raw, csv, blue, detached_blue, sigmf };

// The containers whose file name alone says what they are.
std::optional<Container> container_by_name(const std::string &path) {
    if (is_sigmf_data_path(path)) return Container::sigmf;
    if (ends_with(path, ".det")) return Container::detached_blue;
    return std::nullopt;
}

// The first line of a text capture must be a CSV row.
bool looks_like_csv(const unsigned char *head, size_t n) {
    if (std::memchr(head, 0, n) != nullptr) return false;
    size_t at = 0;
    while (at < n && (head[at] == '\r' || head[at] == '\n')) ++at;
    size_t end = at;
    while (end < n && head[end] != '\r' && head[end] != '\n') ++end;
    if (end - at >= 255) return false;
    char line[256] = {};
    std::memcpy(line, head + at, end - at);
    return parse_csv_row(line).has_value();
}

// The container of the n bytes at the head of a capture; nothing for a BLUE magic
// without a whole header control block behind it.
std::optional<Container> container_by_content(const std::string &path, const unsigned char *head, size_t n) {
    if (n >= 4 && std::memcmp(head, "BLUE", 4) == 0)
        return n == blue::kHcbSize ? std::optional{Container::blue} : std::nullopt;
    if ((n > 0 && looks_like_csv(head, n)) || ends_with(path, ".csv")) return Container::csv;
    return Container::raw;
}

}  // namespace

bool open_reader(Reader &r, const std::string &path) {
    if (const auto named = container_by_name(path))
        return *named == Container::sigmf ? open_sigmf(r, path) : open_detached_blue(r, path);
    FilePtr file = r.open_for_reading(path);
    if (!file) return false;
    unsigned char head[blue::kHcbSize];
    const size_t n = r.read_head(file.get(), head, sizeof head);
    if (r.error != 0) return false;  // a directory, or a device that fails
    const auto container = container_by_content(path, head, n);
    if (!container) return false;
    switch (*container) {
        case Container::blue:
            return open_blue(r, path, std::move(file), head);
        case Container::csv:
            open_csv(r, std::move(file));
            return true;
        default:
            open_raw(r, std::move(file));
            return true;
    }
}

}  // namespace tolvane
