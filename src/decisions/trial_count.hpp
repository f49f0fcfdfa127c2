// The generic path's trial pass: the count that the rates and the flat bit
// of a block are chosen from (block_codes), where its interval cannot
// settle them (trial_interval).
#pragma once

#include <cstdint>

#include "coder/bit_models.hpp"
#include "coder/range_coder.hpp"

namespace vexa {

inline constexpr std::uint32_t TRIAL_RATE_A = 5;   // rates of the whole-block trial pass
inline constexpr std::uint32_t TRIAL_RATE_B = 6;

// Bytes the trial coder counts for block[2 .. length-1] under the previous
// byte and the byte two back, from the current lower halves of tables A and
// B. Touches only the trial table and the trial counters of `rc`.
std::uint32_t estimate_generic_block(RangeCoder& rc, BitTables& t, const std::uint8_t* block,
                                     std::uint32_t length, std::uint32_t ra = TRIAL_RATE_A,
                                     std::uint32_t rb = TRIAL_RATE_B);

}  // namespace vexa
