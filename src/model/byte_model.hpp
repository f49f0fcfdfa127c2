// Generic path: every byte after a block's 16-byte head is predicted by the
// match model; a match flag says whether the prediction holds, and only a
// byte that was not predicted goes through the paired byte tree, under the
// byte now predicted (table A) and the byte just coded (table B). The tables'
// upper halves serve the byte that ends a run of predicted bytes.
#pragma once

#include <cstdint>

#include "coder/bit_models.hpp"
#include "coder/range_coder.hpp"
#include "model/match_model.hpp"

namespace vexa {

inline constexpr std::uint32_t MATCH_HALF = 65536;    // upper table halves

// Codes block[0 .. length-1] at rates ra (table A) and rb (table B, match
// flags); in the first block of a file it also chooses the hash multiplier
// and codes it as two direct bytes, low first.
void encode_generic_block(RangeCoder& rc, BitTables& t, MatchModel& m, const std::uint8_t* block,
                          std::uint32_t length, std::uint32_t flat, std::uint32_t ra, std::uint32_t rb);
void decode_generic_block(RangeCoder& rc, BitTables& t, MatchModel& m, std::uint8_t* block,
                          std::uint32_t length, std::uint32_t flat, std::uint32_t ra, std::uint32_t rb);

}  // namespace vexa
