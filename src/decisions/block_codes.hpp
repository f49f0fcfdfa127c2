// What a compressor decides for each block, all from trial counts: the flat
// bit and the rates, whether the delta filter pays on a structured block,
// and which blocks the filters may touch at all. The last is asked by both
// directions, from codes the decoder reads. A count is compared only with
// thresholds that lie far apart, so an interval that holds it
// (trial_interval.hpp) settles most decisions, and the exact trial pass
// runs only where it cannot.
#pragma once

#include <cstdint>

#include "coder/bit_models.hpp"
#include "coder/range_coder.hpp"
#include "decisions/trial_interval.hpp"
#include "format/format.hpp"

namespace vexa {

// The rates of a block from its trial count; see RATE_BANDS.
RateBand choose_rates(std::uint32_t count, std::uint32_t n);
// 1 when the trial count says the block barely compresses; see FLAT_THRESHOLD.
std::uint32_t choose_flat(std::uint32_t count, std::uint32_t n);

struct BlockCodes {
    std::uint32_t flat;
    RateBand rates;
};

// The flat bit and rates of block[0 .. n-1], from the lower halves of tables
// A and B as they stand. Counts in `tally` whether the interval settled it.
BlockCodes choose_codes(RangeCoder& rc, BitTables& t, const std::uint8_t* block, std::uint32_t n,
                        TrialTally& tally);

// Whether the delta filter pays on the first quarter of a structured block,
// counted at the block's rates: 1 when the plain estimate exceeds the
// filtered one. The block is unchanged afterwards (the bytes past its end
// that the filter touches are restored too).
std::uint32_t choose_delta(RangeCoder& rc, BitTables& t, std::uint8_t* block, std::uint32_t length,
                           const DataProfile& profile, std::uint32_t ra, std::uint32_t rb, TrialTally& tally);

// The filters are tried on modelled blocks only: flat blocks, and those
// whose rate says their trial count was 0.95 bytes per byte or more, are
// near random.
inline bool block_filters_allowed(std::uint32_t flat, std::uint32_t rate_a) {
    return !flat && rate_a < FILTER_RATE_A_LIMIT;
}

// The x86 filter's arithmetic is that of signed 32-bit positions: blocks that
// end past 2^31 - 1 (in inputs of 2 GiB or more) are left as they are.
inline bool branch_filter_fits(std::uint64_t block_end) { return block_end < (std::uint64_t{1} << 31); }

}  // namespace vexa
