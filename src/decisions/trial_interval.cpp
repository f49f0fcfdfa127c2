#include "decisions/trial_interval.hpp"

#include <algorithm>

#include "decisions/trial_costs.hpp"
#include "decisions/trial_count.hpp"
#include "model/structured_model.hpp"

namespace vexa {

namespace {

// The fixed-point sums Lf and Hf.
struct CostSums {
    std::uint64_t lower = 0, upper = 0;

    // One chunk's packed sums, whose halves cannot have carried.
    [[gnu::always_inline]] void add(std::uint64_t packed) {
        lower += packed & 0xFFFFFFFFu;
        upper += packed >> 32;
    }

    CountInterval interval() const {
        constexpr std::uint32_t shift = COST_FRACTION_BITS + 3;
        return {static_cast<std::uint32_t>(lower >> shift), static_cast<std::uint32_t>(upper >> shift)};
    }
};

// A byte through the trial tree: the exact pass's cells and adaptation, and
// each decision's two cost bounds added into `packed`. Nothing here waits
// for the previous decision except through the cells themselves.
template <typename Rates>
[[gnu::always_inline]] inline void interval_pair_byte(Prob* ta, Prob* tb, std::uint32_t value, Rates rates,
                                                   std::uint64_t& packed) {
    walk_pair_byte(ta, tb, value, [&](Prob& a, Prob& b, std::uint32_t bit) __attribute__((always_inline)) {
        const std::uint32_t pa = a, pb = b;
        assert(pa + pb > 0);
        packed += DECISION_COSTS.packed[2 * (pa + pb) + bit];
        a = adapted_pair(pa, bit, rates.a);
        b = adapted_pair(pb, bit, rates.b);
    });
}

template <typename Rates>
[[gnu::always_inline]] inline CountInterval interval_generic(Prob* trial, const std::uint8_t* block,
                                                              std::uint32_t length, Rates rates) {
    CostSums sums;
    for (std::uint32_t from = 2; from < length; from += COST_CHUNK_BYTES) {
        const std::uint32_t to = std::min(length, from + COST_CHUNK_BYTES);
        std::uint64_t packed = 0;
        for (std::uint32_t i = from; i < to; ++i) {
            interval_pair_byte(trial + 256 * block[i - 1], trial + TRIAL_B_BASE + 256 * block[i - 2], block[i], rates,
                            packed);
        }
        sums.add(packed);
    }
    return sums.interval();
}

template <typename Rates>
[[gnu::always_inline]] inline CountInterval interval_quarter(Prob* trial, const std::uint8_t* block,
                                                              std::uint32_t length, std::uint32_t start,
                                                              const DataProfile& profile, Rates rates) {
    CostSums sums;
    const std::uint32_t end = length / 4;
    for (std::uint32_t from = start; from < end; from += COST_CHUNK_BYTES) {
        std::uint64_t packed = 0;
        walk_quarter(block, from, std::min(end, from + COST_CHUNK_BYTES), profile,
                     [&](std::uint32_t a, std::uint32_t b, std::uint32_t x) __attribute__((always_inline)) {
                         interval_pair_byte(trial + 256 * a, trial + TRIAL_B_BASE + 256 * b, x, rates, packed);
                     });
        sums.add(packed);
    }
    return sums.interval();
}

}  // namespace

// The pipeline's trial rates as constants, as in the exact pass.
CountInterval interval_generic_block(BitTables& tables, const std::uint8_t* block, std::uint32_t length,
                                     std::uint32_t ra, std::uint32_t rb) {
    load_trial_table(tables);
    if (ra == TRIAL_RATE_A && rb == TRIAL_RATE_B) {
        return interval_generic(tables.trial, block, length, FixedRates<TRIAL_RATE_A, TRIAL_RATE_B>{});
    }
    return interval_generic(tables.trial, block, length, HeldRates{ra, rb});
}

CountInterval interval_structured_block(BitTables& tables, const std::uint8_t* block, std::uint32_t length,
                                        std::uint32_t start, const DataProfile& profile, std::uint32_t ra,
                                        std::uint32_t rb) {
    load_trial_table(tables);
    CountInterval interval{};
    with_block_rates(ra, rb, [&](auto rates) { interval = interval_quarter(tables.trial, block, length, start, profile, rates); });
    return interval;
}

}  // namespace vexa
