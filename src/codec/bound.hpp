// The largest file that compressing any input of a given length can give.
// The format has no stored fallback for data that does not compress, so the
// bound has to follow from the coder itself.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "coder/bit_models.hpp"
#include "format/format.hpp"

namespace vexa {

// The terms of the bound, named as its proof uses them.
namespace bound {

// Costs in units of 1/10000 bit.
inline constexpr std::uint64_t COST_UNIT = 10000;

// One adaptive cell table: its cells' scale, the rates that its blocks may
// use, and what one decision on a cell costs at most, amortised over the
// cell's life (step 5 of the proof).
struct CellTable {
    std::uint32_t scale;
    std::uint32_t min_rate, max_rate;
    std::uint64_t cost;
};

inline constexpr CellTable TABLE_A{PAIR_SCALE, RATE_A_MIN, RATE_A_MAX, 17925};
inline constexpr CellTable TABLE_B{PAIR_SCALE, RATE_B_MIN, RATE_B_MAX, 23809};
inline constexpr CellTable MATCH_FLAGS{FLAG_SCALE, RATE_B_MIN, RATE_B_MAX, 23748};

inline constexpr std::uint64_t DIRECT_BIT_COST = 10001;
inline constexpr std::uint64_t TRUNCATION_COST = 4;
inline constexpr std::uint64_t PAIR_DECISION_COST =
    (TABLE_A.cost + TABLE_B.cost + 1) / 2 + TRUNCATION_COST;
inline constexpr std::uint64_t FLAG_DECISION_COST = MATCH_FLAGS.cost + TRUNCATION_COST;
inline constexpr std::uint64_t BYTE_COST = FLAG_DECISION_COST + 8 * std::max(PAIR_DECISION_COST, DIRECT_BIT_COST);
inline constexpr std::uint64_t BLOCK_COST = 19 * DIRECT_BIT_COST;
inline constexpr std::uint64_t MULTIPLIER_COST = 16 * DIRECT_BIT_COST;
inline constexpr std::uint64_t FLUSH_BYTES = 5;

}  // namespace bound

// For every length the format's 32-bit length field can hold; above that,
// where no file exists, the largest value.
//
// Why no file is larger: docs/proofs.md, "The largest compressed size".
constexpr std::uint64_t compressed_size_bound(std::uint64_t length) noexcept {
    using namespace bound;
    if (length == 0) return 4 + FLUSH_BYTES;
    if (length > MAX_INPUT_LENGTH) return std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t blocks = (length + BLOCK_CAPACITY - 1) / BLOCK_CAPACITY;
    const std::uint64_t cost = MULTIPLIER_COST + blocks * BLOCK_COST + length * BYTE_COST;
    return HEADER_BYTES_MAX + FLUSH_BYTES + cost / (8 * COST_UNIT);
}

namespace bound {

// Step 5 for one table: whether no sequence of decisions on one of its cells,
// from half the scale and under any mix of its rates, costs more than
// table.cost per decision. step(p, bit, rate) is the cell's adaptation. The
// check runs 1e-6 bit below the cost, which covers its tolerance of 1e-12
// per edge and the rounding of the doubles (near 1e-13 here).
template <typename Step>
bool cell_cost_is_amortised(const CellTable& table, Step step) {
    const std::uint32_t scale = table.scale;
    const double k = static_cast<double>(table.cost) / COST_UNIT - 1e-6;
    constexpr double unreached = -std::numeric_limits<double>::infinity();
    constexpr double tolerance = 1e-12;
    std::vector<double> heaviest(scale + 1, unreached);
    heaviest[scale / 2] = 0;
    // Relaxing upwards and then downwards follows the runs of equal bits that
    // make the heavy paths. A positive cycle never settles; any weight above 0
    // already refutes the cost.
    for (std::uint32_t sweep = 0; sweep < 2 * scale; ++sweep) {
        bool changed = false, heavy = false;
        const auto relax = [&](std::uint32_t p) {
            if (heaviest[p] == unreached) return;
            for (std::uint32_t rate = table.min_rate; rate <= table.max_rate; ++rate) {
                for (std::uint32_t bit = 0; bit < 2; ++bit) {
                    const std::uint32_t kept = bit ? p : scale - p;
                    const std::uint32_t next = step(p, bit, rate);
                    const double w = std::log2(static_cast<double>(scale) / kept) - k;
                    if (heaviest[p] + w > heaviest[next] + tolerance) {
                        heaviest[next] = heaviest[p] + w;
                        changed = true;
                        heavy = heavy || heaviest[next] > 0;
                    }
                }
            }
        };
        if (heaviest[0] != unreached || heaviest[scale] != unreached) return false;   // a certain bit
        for (std::uint32_t p = 1; p < scale; ++p) relax(p);
        for (std::uint32_t p = scale - 1; p > 0; --p) relax(p);
        if (heavy) return false;   // weights only grow
        if (!changed) return true;
    }
    return false;
}

}  // namespace bound
}  // namespace vexa
