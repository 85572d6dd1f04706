// Integers that a JSON text writes beyond what a double holds exactly. cJSON keeps only a
// double for a number, which rounds a seed such as 2^53 + 1; these are read again from the
// digits of the text, so that a seed means the same in a scene, in render overrides and in
// the plan's seed argument.
#pragma once

#include <cjson/cJSON.h>

#include <cstdint>
#include <optional>
#include <unordered_map>

namespace qn {

class ExactIntegers {
public:
    // The integer literals of text beyond 2^53 in magnitude, by the item of root (the tree
    // cJSON parsed from text) that holds each.
    ExactIntegers(const char *text, const cJSON *root);

    // The integer item holds modulo 2^64 (a negative one in two's complement), when the text
    // wrote it as an integer literal beyond 2^53; nothing otherwise.
    std::optional<uint64_t> of(const cJSON *item) const;

private:
    std::unordered_map<const cJSON *, uint64_t> values_;
};

// A seed read from a number item: its low 32 bits, from the digits when the double
// cannot hold them, else as seed_from_number reads the double.
uint32_t seed_of(const cJSON *item, const ExactIntegers &exact);

}  // namespace qn
