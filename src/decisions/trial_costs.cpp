#include "decisions/trial_costs.hpp"

#include <bit>

namespace vexa {

namespace {

constexpr std::uint32_t UNIT = 1u << COST_FRACTION_BITS;

// 2^F log2(m) for 1 <= m < 2^30, rounded down or up, in integers alone;
// why the rounding holds: docs/proofs.md, "Logarithms in integers, rounded one way".
constexpr std::uint32_t log2_fixed(std::uint32_t m, bool up) {
    constexpr std::uint32_t Q = 30;
    const auto k = static_cast<std::uint32_t>(std::bit_width(m)) - 1;
    std::uint64_t y = std::uint64_t{m} << (Q - k);
    std::uint32_t result = k;
    for (std::uint32_t i = 0; i < COST_FRACTION_BITS; ++i) {
        std::uint64_t square = y * y;
        const std::uint32_t digit = square >= std::uint64_t{2} << (2 * Q) ? 1 : 0;
        const std::uint32_t shift = Q + digit;
        if (up) square += (std::uint64_t{1} << shift) - 1;
        y = square >> shift;
        result = 2 * result + digit;
    }
    return result + (up ? 1 : 0);
}

// The bounds L and H of each decision's cost (docs/proofs.md), with 2^12 = FLAG_SCALE.
// log2(4096 (4096 - p) + p) is below 24, but rounded up it can reach it:
// L is then 0, still a lower bound.
constexpr DecisionCosts costs_of(std::uint32_t from, std::uint32_t to) {
    static_assert(FLAG_SCALE == 4096);
    DecisionCosts c{};
    for (std::uint32_t p = from; p < to; ++p) {
        const std::uint32_t lower_1 = 12 * UNIT - log2_fixed(p, true);
        const std::uint32_t upper_1 = 24 * UNIT - log2_fixed(4095 * p, false);
        const std::uint32_t upper_0 = 12 * UNIT - log2_fixed(4096 - p, false);
        const std::uint32_t log_0 = log2_fixed(4096 * (4096 - p) + p, true);
        const std::uint32_t lower_0 = log_0 >= 24 * UNIT ? 0 : 24 * UNIT - log_0;
        c.packed[2 * p] = lower_0 | std::uint64_t{upper_0} << 32;
        c.packed[2 * p + 1] = lower_1 | std::uint64_t{upper_1} << 32;
    }
    return c;
}

// In four evaluations: one would exceed clang's default step limit.
constexpr DecisionCosts PART_0 = costs_of(1, 1024);
constexpr DecisionCosts PART_1 = costs_of(1024, 2048);
constexpr DecisionCosts PART_2 = costs_of(2048, 3072);
constexpr DecisionCosts PART_3 = costs_of(3072, 4096);

constexpr DecisionCosts joined() {
    DecisionCosts c{};
    for (std::uint32_t i = 0; i < 2 * FLAG_SCALE; ++i) {
        c.packed[i] = PART_0.packed[i] | PART_1.packed[i] | PART_2.packed[i] | PART_3.packed[i];
    }
    return c;
}

constexpr std::uint64_t largest_cost(const DecisionCosts& c) {
    std::uint64_t largest = 0;
    for (const std::uint64_t e : c.packed) {
        if ((e >> 32) > largest) largest = e >> 32;
        if ((e & 0xFFFFFFFFu) > (e >> 32)) return ~std::uint64_t{0};   // a lower bound above its upper
    }
    return largest;
}

}  // namespace

constexpr DecisionCosts DECISION_COSTS = joined();

// A chunk's sums stay below 2^32 in each half, so the low half never carries.
static_assert(largest_cost(DECISION_COSTS) * 8 * COST_CHUNK_BYTES < (std::uint64_t{1} << 32));

}  // namespace vexa
