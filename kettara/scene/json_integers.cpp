#include "json_integers.hpp"

#include <cctype>
#include <string_view>
#include <vector>

#include "checked.hpp"

namespace qn {

namespace {

// Digits beyond which a decimal integer may not be exact as a double (2^53 has 16).
constexpr std::size_t kExactDigits = 15;

// Every number token of the text in order (strings skipped, keys included).
std::vector<std::string_view> number_tokens(std::string_view text) {
    std::vector<std::string_view> tokens;
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (c == '"') {
            for (++i; i < text.size() && text[i] != '"'; ++i)
                if (text[i] == '\\') ++i;
            ++i;
        } else if (c == '-' || std::isdigit(static_cast<unsigned char>(c))) {
            const std::size_t start = i;
            while (i < text.size() && (std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == '-' ||
                                       text[i] == '+' || text[i] == '.' || text[i] == 'e' || text[i] == 'E'))
                ++i;
            tokens.push_back(text.substr(start, i - start));
        } else {
            ++i;
        }
    }
    return tokens;
}

// The token as an integer modulo 2^64 when it is a long integer literal.
std::optional<uint64_t> long_integer(std::string_view token) {
    const bool negative = !token.empty() && token[0] == '-';
    const std::string_view digits = token.substr(negative ? 1 : 0);
    if (digits.size() <= kExactDigits) return std::nullopt;
    uint64_t v = 0;
    for (char d : digits) {
        if (!std::isdigit(static_cast<unsigned char>(d))) return std::nullopt;
        v = v * 10 + static_cast<uint64_t>(d - '0');
    }
    return negative ? 0 - v : v;
}

// The number items of the tree in document order (cJSON builds them in text order).
void number_items(const cJSON *item, std::vector<const cJSON *> &out) {
    for (; item; item = item->next) {
        if (cJSON_IsNumber(item)) out.push_back(item);
        number_items(item->child, out);
    }
}

}  // namespace

ExactIntegers::ExactIntegers(const char *text, const cJSON *root) {
    if (!text || !root) return;
    const std::vector<std::string_view> tokens = number_tokens(text);
    std::vector<const cJSON *> items;
    number_items(root, items);
    if (tokens.size() < items.size()) return;  // text cJSON read otherwise than this lexer: doubles stand
    for (std::size_t k = 0; k < items.size(); ++k)
        if (const auto v = long_integer(tokens[k])) values_.emplace(items[k], *v);
}

std::optional<uint64_t> ExactIntegers::of(const cJSON *item) const {
    const auto found = values_.find(item);
    if (found == values_.end()) return std::nullopt;
    return found->second;
}

uint32_t seed_of(const cJSON *item, const ExactIntegers &exact) {
    if (const auto v = exact.of(item)) return static_cast<uint32_t>(*v);
    return seed_from_number(item->valuedouble);
}

}  // namespace qn
