// Explicit symbols: the given complex symbols played cyclically.
#include <stdexcept>
#include <vector>

#include "synth_family.hpp"
#include "synth_setup.hpp"

namespace qn::synth {
namespace {

Traits symbols_traits() {
    Traits t;
    t.plays_symbols = true;
    return t;
}

class Symbols final : public Family, public SymbolsSetup {
public:
    Symbols() : Family(symbols_traits()) {}

    int set_symbols(const cf32 *symbols, size_t n) override {
        if (!symbols || n == 0) return QN_ERR_INVALID;
        try {
            symbols_.assign(symbols, symbols + n);
        } catch (const std::exception &) {
            return QN_ERR_INVALID;
        }
        idx_ = 0;
        return QN_OK;
    }
    void draw(PnGen *pn, cf32 *dst, size_t count, cf32 fallback) override {
        if (symbols_.empty()) return Family::draw(pn, dst, count, fallback);
        for (size_t i = 0; i < count; ++i) {
            dst[i] = symbols_[idx_];
            if (++idx_ == symbols_.size()) idx_ = 0;
        }
    }
    void rewind() override { idx_ = 0; }
    void save(uint8_t *fixed) const override { put<uint64_t>(fixed, slot::kSymIdx, idx_); }
    [[nodiscard]] bool fits(const uint8_t *fixed) const override { return positions_fit(fixed, 0, symbols_.size()); }
    void restore(const uint8_t *fixed) override { idx_ = get<uint64_t>(fixed, slot::kSymIdx); }

private:
    std::vector<cf32> symbols_;
    uint64_t idx_ = 0;
};

}  // namespace

std::unique_ptr<Family> make_symbols_family(const Params &) { return std::make_unique<Symbols>(); }

}  // namespace qn::synth
