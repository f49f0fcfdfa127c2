// Bounds on the trial count without the trial coder's serial chain. A block's
// trial count is only ever compared with thresholds (the rate bands, the
// flat bit, the other estimate of the delta decision), and those lie far
// apart; the bounds settle the comparison unless a threshold falls between
// them, and then the exact pass decides. The bounds walk the trial cells in
// the exact pass's order and adapt them the same way, so every decision sees
// the same cells and bit as there; what they add up per decision is a pair
// of costs from a table indexed by the summed cells and the bit.
//
// Why [lo, hi] holds the exact count. The exact pass keeps a width r with
// 2^24 <= r < 2^32 before each decision: it starts at 2^32 - 1, and is
// shifted left by 8 while below 2^24, each shift counting one byte. With
// p = a + b (each cell stays strictly inside its scale, so 2 <= p <= 4094)
// a decision narrows r to
//     r' = floor(r / 2^12) p            on a 1,
//     r' = r - floor(r / 2^12) p        on a 0.
// From r/2^12 - 1 < floor(r/2^12) <= r/2^12 and r >= 2^24, the ratio
// rho = r'/r satisfies
//     4095 p / 2^24 < rho <= p / 2^12                          on a 1,
//     (2^12 - p) / 2^12 <= rho < (2^12 (2^12 - p) + p) / 2^24  on a 0,
// so the decision's cost -log2 rho lies in [L, H] with
//     L = 12 - log2 p,                       H = 24 - log2(4095 p)      on a 1,
//     L = 24 - log2(2^12 (2^12 - p) + p),    H = 12 - log2(2^12 - p)    on a 0.
// The final width is r_0 prod(rho) 2^(8 count) with r_0 = 2^32 - 1, and it
// lies in [2^24, r_0]. Taking logarithms, with C the sum of the costs,
//     C - 8 < C + 24 - log2 r_0 <= 8 count <= C.
// Let Lf and Hf be sums in units of 2^-F bit (F = COST_FRACTION_BITS) with
// Lf <= 2^F sum(L) <= 2^F C <= 2^F sum(H) <= Hf. Then count <= Hf / 2^(F+3)
// and count > Lf / 2^(F+3) - 1, so for the integer count
//     floor(Lf / 2^(F+3)) <= count <= floor(Hf / 2^(F+3)).
// The table's entries are L rounded down and H rounded up, from logarithms
// taken in integers with directed rounding (trial_costs.cpp), so no
// floating-point detail enters. The walk adds them in the two 32-bit halves
// of one word for COST_CHUNK_BYTES bytes at a time, which a static_assert
// there shows cannot carry from the low half into the high one.
#pragma once

#include <cstdint>

#include "coder/bit_models.hpp"
#include "filters/detect.hpp"

namespace vexa {

// An interval that holds a trial count.
struct CountInterval {
    std::uint32_t lo, hi;
};

// Decisions that an interval settled alone, and those that took the exact pass.
struct TrialTally {
    std::uint32_t settled = 0;
    std::uint32_t exact = 0;
};

// An interval that holds what estimate_generic_block counts for
// block[2 .. length-1] at rates ra and rb, from the lower halves of tables A and B.
CountInterval interval_generic_block(BitTables& tables, const std::uint8_t* block, std::uint32_t length,
                                     std::uint32_t ra, std::uint32_t rb);

// An interval that holds what estimate_structured_block counts over
// positions start .. length/4 - 1 at rates ra and rb.
CountInterval interval_structured_block(BitTables& tables, const std::uint8_t* block, std::uint32_t length,
                                        std::uint32_t start, const DataProfile& profile, std::uint32_t ra,
                                        std::uint32_t rb);

}  // namespace vexa
