// The null rule, checked function by function: a table of calls of a library's exported
// functions with null objects, each judged by its result, and the check that the table
// covers every function the library's public headers export.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

#include "qn_api.h"
#include "wfm_draw.h"

// One exported function called with null objects (and null buffers beside non-zero counts);
// `neutral` makes the call and answers whether the result is the neutral one.
struct NullCall {
    const char *name;
    std::function<bool()> neutral;
};

// The result equals a value-initialised one: 0, 0.0 or null.
#define RETURNS_ZERO(fn, ...) NullCall{#fn, [] { return fn(__VA_ARGS__) == decltype(fn(__VA_ARGS__)){}; }}
#define RETURNS(fn, expected, ...) NullCall{#fn, [] { return fn(__VA_ARGS__) == (expected); }}
#define RETURNS_INVALID(fn, ...) RETURNS(fn, QN_ERR_INVALID, __VA_ARGS__)
// A record returned by value is all zero bytes.
#define RETURNS_ZEROED(fn, ...) NullCall{#fn, [] { return null_calls::all_zero(fn(__VA_ARGS__)); }}
// Functions without a result: the call must return, and writes nothing (see Untouched).
#define DOES_NOTHING(fn, ...) NullCall{#fn, [] { return fn(__VA_ARGS__), true; }}

namespace null_calls {

template <typename T>
bool all_zero(const T &v) {
    unsigned char zero[sizeof v] = {};
    return std::memcmp(&v, zero, sizeof v) == 0;
}

// An output buffer handed to the calls: any byte a call writes there shows as a change of
// its fill pattern.
struct Untouched {
    static constexpr unsigned char kFill = 0xA5;
    alignas(16) unsigned char bytes[1024];

    Untouched() { std::memset(bytes, kFill, sizeof bytes); }
    bool intact() const {
        return std::all_of(std::begin(bytes), std::end(bytes), [](unsigned char b) { return b == kFill; });
    }
    template <typename T>
    T *as() {
        return static_cast<T *>(static_cast<void *>(bytes));
    }
};

inline Untouched &out_buffer() {
    static Untouched buffer;
    return buffer;
}

template <typename T>
T *out() {
    return out_buffer().as<T>();
}

// Every call gives its neutral result and leaves the output buffer as it was.
inline void expect_neutral(const std::vector<NullCall> &table) {
    for (const NullCall &call : table) {
        EXPECT_TRUE(call.neutral()) << call.name;
        EXPECT_TRUE(out_buffer().intact()) << call.name << " wrote into the output buffer";
    }
}

// Every exported function is called by the table, or listed as taking no object at all.
inline void expect_covered(const std::vector<NullCall> &table, const std::set<std::string> &no_object,
                           const std::vector<std::string> &exported) {
    std::set<std::string> called;
    for (const NullCall &call : table) called.insert(call.name);
    for (const std::string &name : exported)
        EXPECT_TRUE(called.count(name) || no_object.count(name)) << name << " is missing from the null table";
    for (const std::string &name : called)
        EXPECT_NE(std::find(exported.begin(), exported.end(), name), exported.end()) << name << " is not exported";
}

inline std::vector<NullCall> joined(std::initializer_list<std::vector<NullCall>> parts) {
    std::vector<NullCall> table;
    for (const auto &part : parts) table.insert(table.end(), part.begin(), part.end());
    return table;
}

// The draws both libraries carry.
inline std::vector<NullCall> draw_calls() {
    return {
        RETURNS_ZERO(wfm_compose_spans, nullptr, 2, out<ComposeSpan>(), 2),
        RETURNS_ZERO(wfm_draw_segment_seed, nullptr),
        RETURNS_ZEROED(wfm_draw_instance_lengths, nullptr, 0, 1, 0),
        RETURNS_ZEROED(wfm_draw_source_values, nullptr, 0, 1, 0, 0),
    };
}

}  // namespace null_calls
