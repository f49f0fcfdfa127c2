// The largest file that compressing any input of a given length can give.
// The format has no stored fallback for data that does not compress, so the
// bound has to follow from the coder itself; the proof is below.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "coder/bit_models.hpp"
#include "format/format.hpp"

namespace vexa {

// The terms of the bound, named as the proof below uses them.
namespace bound {

// Costs in units of 1/10000 bit.
inline constexpr std::uint64_t COST_UNIT = 10000;

// One adaptive cell table: its cells' scale, the rates that its blocks may
// use, and what one decision on a cell costs at most, amortised over the
// cell's life (step 5).
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
// Proof. Let n > 0 be the length and b = ceil(n / 524288) its blocks.
//
// 1. The file is the length (4 bytes), the class word (4) and, for media,
//    the profile (8): at most 16 bytes, then the coder's body. An empty input
//    has no class word and a body of exactly the 5 flushed bytes (low is 0),
//    9 bytes in all.
//
// 2. Body bytes come only from shift_low. Each call adds one to emitted +
//    cache_size, which is 1 at the start, and cache_size is at least 1 after
//    any call; so emitted <= calls = S + 5, S being the renormalising shifts
//    and 5 those of the flush.
//
// 3. range starts at 2^32 - 1 and never exceeds it. Decision i takes it from
//    r_i to r'_i, and every shift multiplies it by 2^8, so
//    8 S <= sum over decisions of cost_i = log2(r_i / r'_i).
//
// 4. Before every decision r >= 2^24. A direct bit keeps r >> 1 or the rest:
//    cost <= log2(2 r / (r - 1)) < 1.0001 bits. A decision under the bound
//    (r >> 12) p, p out of 4096, costs log2(4096 / (4096 - p)) at most for a
//    0 and log2(4096 / p) + e for a 1, where e = log2(2^24 / (2^24 - 4095))
//    < 0.0004 covers the truncation of r >> 12. A pair decision has p = a + b,
//    two cells of scale 2048, and since the arithmetic mean is at least the
//    geometric one, log2(4096 / (a + b)) <= (log2(2048 / a) + log2(2048 / b)) / 2,
//    and likewise for a 0: at most the mean of what cells a and b would cost
//    alone, plus e. A match flag is one cell of scale 4096, plus e.
//
// 5. Take one cell: it starts at half its scale and each decision on it moves
//    it by adapted() at the rate of its block. Table A's blocks use rates 3-6,
//    table B's and the flags' 2-6 (the only ones a decoder accepts, see
//    pipeline_test). In the graph of the cell's values, with an edge for each
//    bit and rate, weighted (cost of the bit at that value) - K, every cell's
//    life is a path from half the scale. cell_cost_is_amortised() computes
//    d(v), the heaviest weight of a path from there to v, by Bellman-Ford;
//    once it settles, every edge u->v has d(u) + w <= d(v), so no path weighs
//    more than the largest d, which it requires to be 0: the cell's decisions
//    cost at most K bits each on average, whatever its blocks' rates and
//    their order. bound_test runs it with the adaptation of bit_models.hpp
//    for each table above; each cost is the least multiple of 0.0001 bit that
//    passes. Cells live apart, so a table's decisions in the whole file cost
//    at most its K each on average. Mixing rates is what costs: under one
//    rate alone a cell's long-run cost is 1.01-1.22 bits per decision (rates
//    6 to 2), but a block at rate 2 pushes a cell to an extreme cheaply and a
//    block at rate 6 then pays for leaving it slowly.
//
// 6. So a generic byte, one flag and then 8 pair decisions or 8 direct bits,
//    costs at most BYTE_COST; a head or media byte, 8 pair decisions, less.
//    Every block adds at most 19 direct bits (flat, two rate bytes, and the
//    text bit or the row context and delta bits), the first generic block 16
//    more (the hash multiplier). Adding up,
//
//      size <= 16 + 5 + floor((MULTIPLIER_COST + b BLOCK_COST + n BYTE_COST) / (8 COST_UNIT)),
//
//    about 2.384 n. The worst measured is far below: 1.0624 n, from sound of
//    127 lanes whose bytes are each the dearest of four fixed successors of
//    the byte before (see bound_test); 1.0025 n from random data, which takes
//    the flat path; 18 bytes from 1 byte, against a bound of 27.
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
