// An interval that holds a block's trial count, found without the trial
// coder's serial chain. A trial count is only ever compared with thresholds
// (the rate bands, the flat bit, the other estimate of the delta decision),
// and those lie far apart; the interval settles the comparison unless a
// threshold falls inside it, and then the exact pass decides. The walk
// visits the trial cells in the exact pass's order and adapts them the same
// way, so every decision sees the same cells and bit as there; what it adds
// up per decision is a pair of costs from a table indexed by the summed
// cells and the bit. Why the interval holds the exact count: docs/proofs.md,
// "The trial count's interval".
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
