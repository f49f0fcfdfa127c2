#include "decisions/block_codes.hpp"

#include <iterator>

#include "decisions/trial_count.hpp"
#include "filters/delta.hpp"
#include "model/structured_model.hpp"

namespace vexa {

namespace {

BlockCodes codes_for(std::uint32_t count, std::uint32_t n) { return {choose_flat(count, n), choose_rates(count, n)}; }

bool same_codes(const BlockCodes& x, const BlockCodes& y) {
    return x.flat == y.flat && x.rates.rate_a == y.rates.rate_a && x.rates.rate_b == y.rates.rate_b;
}

}  // namespace

RateBand choose_rates(std::uint32_t count, std::uint32_t n) {
    const double t = count, len = n;
    for (const RateBand& band : RATE_BANDS) {
        if (t < band.bound * len) return band;
    }
    return RATE_BANDS[std::size(RATE_BANDS) - 1];
}

std::uint32_t choose_flat(std::uint32_t count, std::uint32_t n) {
    const double coded = n > 2 ? n - 2 : 0;
    return static_cast<double>(count) > FLAT_THRESHOLD * coded ? 1 : 0;
}

// Both codes grow with the count, so codes equal at the two ends of the
// interval hold for every count in it; only where they differ does the
// exact pass run.
BlockCodes choose_codes(RangeCoder& rc, BitTables& t, const std::uint8_t* block, std::uint32_t n,
                        TrialTally& tally) {
    const CountInterval counts = interval_generic_block(t, block, n, TRIAL_RATE_A, TRIAL_RATE_B);
    const BlockCodes low = codes_for(counts.lo, n);
    if (same_codes(low, codes_for(counts.hi, n))) {
        ++tally.settled;
        return low;
    }
    ++tally.exact;
    return codes_for(estimate_generic_block(rc, t, block, n), n);
}

// Intervals that do not overlap settle the comparison; otherwise both exact
// counts decide.
std::uint32_t choose_delta(RangeCoder& rc, BitTables& t, std::uint8_t* block, std::uint32_t length,
                           const DataProfile& profile, std::uint32_t ra, std::uint32_t rb, TrialTally& tally) {
    const CountInterval plain = interval_structured_block(t, block, length, profile.far_stride, profile, ra, rb);
    // The filter is causal and the count reads only the first quarter, so
    // filtering that quarter gives the same count as filtering the block.
    const std::uint32_t quarter = length / 4;
    delta_encode(block, 0, quarter, profile.channels, profile.sample_width);
    const CountInterval filtered = interval_structured_block(t, block, length, profile.stride, profile, ra, rb);
    if (plain.lo > filtered.hi || plain.hi <= filtered.lo) {
        ++tally.settled;
        delta_decode(block, 0, quarter, profile.channels, profile.sample_width);
        return plain.lo > filtered.hi ? 1 : 0;
    }
    ++tally.exact;
    const std::uint32_t filtered_count =
        estimate_structured_block(rc, t, block, length, profile.stride, profile, ra, rb);
    delta_decode(block, 0, quarter, profile.channels, profile.sample_width);
    const std::uint32_t plain_count =
        estimate_structured_block(rc, t, block, length, profile.far_stride, profile, ra, rb);
    return plain_count > filtered_count ? 1 : 0;
}

}  // namespace vexa
