// The plan blob: layout, restore without synthesis, and damaged or hostile blobs.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kettara.h"
#include "plan_testing.hpp"

using namespace plan_testing;

namespace {

using Blob = std::vector<unsigned char>;

// Two noiseless segments: the render shows exactly the cached samples.
const std::string kScene =
    R"({"segments": [{"type": "tone", "freq": 0.125, "num_samples": 1000},
                     {"type": "tone", "freq": 0.25, "num_samples": 3000, "off_samples": 5}]})";

Blob save(const Plan *p) {
    Blob b(kettara_save_bytes(p));
    EXPECT_EQ(kettara_save(p, b.data()), b.size());
    return b;
}

PlanPtr restore(const Blob &b) { return PlanPtr(kettara_restore(b.data(), b.size())); }

uint64_t u64_at(const Blob &b, size_t off) {
    uint64_t v;
    std::memcpy(&v, b.data() + off, 8);
    return v;
}

void put_u64(Blob &b, size_t off, uint64_t v) { std::memcpy(b.data() + off, &v, 8); }

size_t table_offset(const Blob &b) { return 24 + u64_at(b, 16); }

// Overwrites every stored sample of the first cache with a value no synthesis gives.
const cf32 kMarker{0.5f, -0.25f};
Blob with_marked_first_cache(Blob b) {
    const size_t entry = table_offset(b) + 8;
    const uint64_t n = u64_at(b, entry);
    for (uint64_t k = 0; k < n; ++k) std::memcpy(b.data() + entry + 8 + 8 * k, &kMarker, 8);
    return b;
}

bool first_segment_marked(const Plan *p) {
    const Samples r = render(p, "");
    return r.size() > 999 && r[0].re == kMarker.re && r[999].im == kMarker.im;
}

class PlanBlob : public testing::Test {
protected:
    void SetUp() override {
        plan_ = prepare(kScene);
        ASSERT_TRUE(plan_);
        blob_ = save(plan_.get());
        baseline_ = render(plan_.get(), "");
    }
    bool renders_like_original(const Plan *p) const {
        return p && kettara_len(p) == kettara_len(plan_.get()) &&
               kettara_n_sources(p) == kettara_n_sources(plan_.get()) &&
               identical(render(p, ""), baseline_);
    }
    PlanPtr plan_;
    Blob blob_;
    Samples baseline_;
};

TEST_F(PlanBlob, LayoutIsHeaderTextAndCaches) {
    ASSERT_EQ(blob_.size(), 32 + kScene.size() + (8 + 8 * 1000) + (8 + 8 * 3000));
    EXPECT_EQ(std::memcmp(blob_.data(), "PLN0\x01\x00\x01\x00", 8), 0);
    EXPECT_EQ(u64_at(blob_, 8), 0x4C2CF47801CD1ECBu);
    EXPECT_EQ(u64_at(blob_, 16), kScene.size());
    EXPECT_EQ(std::string(blob_.begin() + 24, blob_.begin() + 24 + kScene.size()), kScene);
    const size_t table = table_offset(blob_);
    EXPECT_EQ(u64_at(blob_, table), 2u);
    EXPECT_EQ(u64_at(blob_, table + 8), 1000u);
    EXPECT_EQ(u64_at(blob_, table + 16 + 8000), 3000u);
    cf32 first;
    std::memcpy(&first, blob_.data() + table + 16, 8);
    EXPECT_EQ(first.re, baseline_[0].re);
    EXPECT_EQ(kettara_save_bytes(nullptr), 0u);
    EXPECT_EQ(kettara_save(nullptr, blob_.data()), 0u);
    EXPECT_EQ(kettara_save(plan_.get(), nullptr), 0u);
}

TEST_F(PlanBlob, SizeOfAHundredByteSceneWithOneCache) {
    std::string scene = R"({"segments": [{"type": "tone", "num_samples": 1000}]})";
    scene.resize(100, ' ');
    const PlanPtr p = prepare(scene);
    ASSERT_TRUE(p);
    EXPECT_EQ(kettara_save_bytes(p.get()), 8140u);
}

TEST_F(PlanBlob, RestoreTakesTheStoredCaches) {
    EXPECT_TRUE(renders_like_original(restore(blob_).get()));
    const PlanPtr marked = restore(with_marked_first_cache(blob_));
    ASSERT_TRUE(marked);
    EXPECT_TRUE(first_segment_marked(marked.get()));
    Blob spare_byte = with_marked_first_cache(blob_);
    spare_byte[7] = 0x5A;
    EXPECT_TRUE(first_segment_marked(restore(spare_byte).get()));
}

TEST_F(PlanBlob, DamagedCachesAreSynthesisedAgain) {
    Blob stamp = with_marked_first_cache(blob_);
    stamp[12] ^= 1;
    EXPECT_TRUE(renders_like_original(restore(stamp).get()));

    const Blob marked = with_marked_first_cache(blob_);
    const size_t table = table_offset(marked);
    for (size_t cut : {table + 8, table + 15, table + 16 + 4000, marked.size() - 1}) {
        const Blob shorter(marked.begin(), marked.begin() + cut);
        EXPECT_TRUE(renders_like_original(restore(shorter).get())) << cut;
    }
    // Hostile counts restore by synthesis without trying to allocate what they claim.
    for (const auto &[offset, value] : std::vector<std::pair<size_t, uint64_t>>{
             {table, (uint64_t{1} << 61) - 2}, {table, ~uint64_t{0}}, {table, 0},
             {table + 8, uint64_t{1} << 62}, {table + 8, ~uint64_t{0} / 4 + 1}}) {
        Blob hostile = marked;
        put_u64(hostile, offset, value);
        EXPECT_TRUE(renders_like_original(restore(hostile).get())) << offset << " " << value;
    }
}

TEST_F(PlanBlob, EditedTextResynthesisesOnlyTheSegmentsItChanged) {
    Blob edited = with_marked_first_cache(blob_);
    const std::string from = R"("num_samples": 3000)", to = R"("num_samples": 2999)";
    std::string text(edited.begin() + 24, edited.begin() + table_offset(edited));
    text.replace(text.find(from), from.size(), to);
    std::copy(text.begin(), text.end(), edited.begin() + 24);
    const PlanPtr p = restore(edited);
    ASSERT_TRUE(p);
    EXPECT_EQ(kettara_len(p.get()), 1000u + 2999u + 5u);
    EXPECT_TRUE(first_segment_marked(p.get()));
    const Samples r = render(p.get(), "");
    for (size_t k = 1000; k < 3999; ++k) ASSERT_EQ(r[k].re, baseline_[k].re) << k;
}

TEST_F(PlanBlob, WrongHeaderOrTextIsRefused) {
    const auto refused = [](Blob b) { return !restore(b); };
    for (size_t byte : {0, 3, 4, 5, 6}) {
        Blob b = blob_;
        b[byte] ^= 0x40;
        EXPECT_TRUE(refused(b)) << byte;
    }
    for (uint64_t text_len : {blob_.size() - 31, uint64_t{1} << 63, ~uint64_t{0} - 16, ~uint64_t{0}}) {
        Blob b = blob_;
        put_u64(b, 16, text_len);
        EXPECT_TRUE(refused(b)) << text_len;
    }
    Blob bad_scene = blob_;
    bad_scene[24] = '[';
    EXPECT_TRUE(refused(bad_scene));
    EXPECT_TRUE(refused(Blob(blob_.begin(), blob_.begin() + 31)));
    for (size_t cut : {size_t{0}, size_t{23}, table_offset(blob_), table_offset(blob_) + 7})
        EXPECT_TRUE(refused(Blob(blob_.begin(), blob_.begin() + cut))) << cut;
    EXPECT_EQ(kettara_restore(nullptr, 100), nullptr);
    EXPECT_EQ(kettara_restore(blob_.data(), 0), nullptr);
}

TEST_F(PlanBlob, FilesRoundTrip) {
    const std::string path = testing::TempDir() + "plan_blob_test.pln";
    ASSERT_EQ(kettara_dump(plan_.get(), path.c_str()), 0);
    EXPECT_TRUE(renders_like_original(PlanPtr(kettara_load(path.c_str())).get()));
    std::FILE *f = std::fopen(path.c_str(), "wb");
    std::fclose(f);
    EXPECT_EQ(kettara_load(path.c_str()), nullptr);
    std::remove(path.c_str());
    EXPECT_EQ(kettara_load(path.c_str()), nullptr);
    EXPECT_EQ(kettara_dump(plan_.get(), "/nonexistent-dir/plan.pln"), -1);
    EXPECT_EQ(kettara_dump(nullptr, path.c_str()), -1);
    EXPECT_EQ(kettara_dump(plan_.get(), nullptr), -1);
    EXPECT_EQ(kettara_load(nullptr), nullptr);
}

}  // namespace
