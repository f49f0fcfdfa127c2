// The per-decision cost table of the trial count's interval (docs/proofs.md
// says what the entries bound and why that bounds the count). Built at
// compile time in a translation unit of its own, which takes a few seconds.
#pragma once

#include <cstdint>

#include "coder/bit_models.hpp"

namespace vexa {

// Costs are in units of 2^-18 bit: rounding widens each decision's bounds by
// at most a unit on either side, a 512 KiB block's by at most 2 bytes each.
inline constexpr std::uint32_t COST_FRACTION_BITS = 18;
// Bytes whose costs are summed in one 64-bit word before it is split.
inline constexpr std::uint32_t COST_CHUNK_BYTES = 128;

// Entry 2p + bit, for p the sum of the two cells: the lower bound of the
// decision's cost in the low 32 bits, the upper bound in the high 32 bits.
// The cells never sum to 0 (each stays strictly inside its scale), and
// entries 0 and 1 are 0.
struct DecisionCosts {
    std::uint64_t packed[2 * FLAG_SCALE];
};
extern const DecisionCosts DECISION_COSTS;

}  // namespace vexa
